// The operator window's statistics view: which station it shows, its caption, and
// the rows made from the statistics the publication pass stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/AppContext.h"
#include "support/Notifier.h"
#include "ui/StatisticsPresenter.h"

namespace telegate {
namespace {

std::string Value(const std::vector<TStatisticsRow>& rows, const std::string& name) {
    const auto it = std::find_if(rows.begin(), rows.end(),
                                 [&](const TStatisticsRow& r) { return r.Name == name; });
    return it == rows.end() ? "<none>" : it->Value;
}

TEST(StatisticsRows, FiguresOfAStation) {
    TLinkStatistics s;
    s.Connects = 3;
    s.Disconnects = 2;
    s.LastDisconnectReason = TDisconnectReason::T1Expired;
    s.In = {10, 2, 1, 4567};
    s.Out = {1, 5, 2, 321};
    s.AsduByType[1] = 4;
    s.AsduByType[100] = 2;
    s.ObjectsReceived = 77;
    s.LastGIStart = 46000.5;
    s.LastGIEnd = 46000.5 + 1.5 / 86400.0;
    s.NegativeConfirmations = 1;
    s.MissingConfirmations = 5;
    s.MaxUnackedOut = 3;
    s.MaxUnackedIn = 8;
    const auto rows = StatisticsRows(s, true, false);
    const struct {
        const char* name;
        const char* value;
    } cases[] = {
        {"Соединение", "Есть"},
        {"Соединено с", ""},
        {"Соединений", "3"},
        {"Разрывов", "2"},
        {"Причина последнего разрыва", "t1 expired"},
        {"I/S/U принято", "10/2/1"},
        {"Байт принято", "4567"},
        {"I/S/U передано", "1/5/2"},
        {"Байт передано", "321"},
        {"ASDU", "6"},
        {"ASDU 1", "4"},
        {"ASDU 100", "2"},
        {"ASDU 13", "<none>"},  // types never received have no row
        {"Объектов", "77"},
        {"Последний общий опрос", "09.12.2025 12:00:00"},
        {"Длительность, мс", "1500"},
        {"Отрицательных подтверждений", "1"},
        {"Неполученных подтверждений", "5"},
        {"Макс. неподтв. передано/принято", "3/8"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value, Value(rows, c.name)) << c.name;
    // English captions, and an interrogation that has not ended has no duration.
    s.LastGIEnd = 0;
    const auto en = StatisticsRows(s, false, true);
    EXPECT_EQ("No", Value(en, "Connection"));
    EXPECT_EQ("", Value(en, "Duration, ms"));
    EXPECT_EQ("5", Value(en, "Missing confirmations"));
    EXPECT_EQ(rows.size(), en.size());
}

TEST(StatisticsPresenter, ShowsTheSelectedStationFromTheImage) {
    TManualClock clock{46000.5};
    TRecordingNotifier notifier;
    auto ctx = std::make_unique<TAppContext>(clock, notifier);
    ctx->LangCode = 0;  // the Russian interface
    ctx->Stations.Kol_KP = 2;
    ctx->Stations.KP_arr[1].NameKP = "ПС Северная";
    ctx->Stations.KP_arr[2].NameKP = "ПС Южная";
    ctx->Stations.KP_arr[2].Connected = true;
    TStatisticsPresenter p(*ctx);
    EXPECT_TRUE(p.Rows().empty());  // nothing selected yet
    EXPECT_FALSE(p.Select(0));
    EXPECT_FALSE(p.Select(3));
    ASSERT_TRUE(p.Select(2));
    EXPECT_EQ(2, p.Station());
    EXPECT_EQ("Статистика - ПС Южная", p.Caption());
    TLinkStatistics s;
    s.Connects = 4;
    ctx->Statistics.Store(2, s);
    s.Connects = 9;
    ctx->Statistics.Store(1, s);
    auto rows = p.Rows();
    EXPECT_EQ("4", Value(rows, "Соединений"));
    EXPECT_EQ("Есть", Value(rows, "Соединение"));
    // A later pass's figures on the next refresh.
    s.Connects = 5;
    ctx->Statistics.Store(2, s);
    EXPECT_EQ("5", Value(p.Rows(), "Соединений"));
    ctx->LangCode = kLangEnglish;
    EXPECT_EQ("Statistics - ПС Южная", p.Caption());
    // The station removed from the table: nothing to show.
    ctx->Stations.Kol_KP = 1;
    EXPECT_TRUE(p.Rows().empty());
}

}  // namespace
}  // namespace telegate
