#include "ui/StatisticsPresenter.h"

#include "app/AppContext.h"
#include "support/DateTime.h"

namespace telegate {

namespace {

std::string Time(TDateTime t) {
    return t > 0 ? FormatDateTime(t) : std::string();
}

std::string Frames(const TFrameCounts& c) {
    return std::to_string(c.I) + "/" + std::to_string(c.S) + "/" + std::to_string(c.U);
}

}  // namespace

std::vector<TStatisticsRow> StatisticsRows(const TLinkStatistics& s, bool connected, bool english) {
    const auto pick = [english](const char* ru, const char* en) { return english ? en : ru; };
    const auto u = [](uint64_t v) { return std::to_string(v); };
    const int64_t gi = s.LastGIDurationMs();
    std::vector<TStatisticsRow> rows = {
        {pick("Соединение", "Connection"), connected ? pick("Есть", "Yes") : pick("Нет", "No")},
        {pick("Соединено с", "Connected since"), Time(s.ConnectedSince)},
        {pick("Соединений", "Connects"), u(s.Connects)},
        {pick("Разрывов", "Disconnects"), u(s.Disconnects)},
        {pick("Причина последнего разрыва", "Last disconnect reason"),
         DisconnectReasonText(s.LastDisconnectReason)},
        {pick("Время последнего разрыва", "Last disconnect"), Time(s.LastDisconnectTime)},
        {pick("I/S/U принято", "I/S/U received"), Frames(s.In)},
        {pick("Байт принято", "Octets received"), u(s.In.Octets)},
        {pick("I/S/U передано", "I/S/U sent"), Frames(s.Out)},
        {pick("Байт передано", "Octets sent"), u(s.Out.Octets)},
        {"ASDU", u(s.AsduTotal())},
        {pick("Объектов", "Objects"), u(s.ObjectsReceived)},
        {pick("Последний общий опрос", "Last interrogation"), Time(s.LastGIStart)},
        {pick("Длительность, мс", "Duration, ms"), gi < 0 ? std::string() : std::to_string(gi)},
        {pick("Объектов опроса", "Interrogated objects"), u(s.LastGIObjects)},
        {"t1", u(s.T1Expiries)},
        {pick("Ошибок последовательности", "Sequence errors"), u(s.SequenceErrors)},
        {pick("Отрицательных подтверждений", "Negative confirmations"), u(s.NegativeConfirmations)},
        {pick("Неполученных подтверждений", "Missing confirmations"), u(s.MissingConfirmations)},
        {pick("Макс. неподтв. передано/принято", "Max. unacknowledged sent/received"),
         std::to_string(s.MaxUnackedOut) + "/" + std::to_string(s.MaxUnackedIn)},
    };
    for (size_t t = 0; t < s.AsduByType.size(); ++t)
        if (s.AsduByType[t] != 0) rows.push_back({"ASDU " + std::to_string(t), u(s.AsduByType[t])});
    return rows;
}

bool TStatisticsPresenter::Select(int kp) {
    if (!FCtx.Stations.IsStation(kp)) return false;
    FKp = kp;
    return true;
}

bool TStatisticsPresenter::English() const {
    return FCtx.LangCode == kLangEnglish;
}

std::string TStatisticsPresenter::Caption() const {
    const std::string name = FCtx.Stations.IsStation(FKp) ? FCtx.Stations.KP_arr[FKp].NameKP : "";
    return std::string(English() ? "Statistics" : "Статистика") + " - " + name;
}

std::vector<TStatisticsRow> TStatisticsPresenter::Rows() const {
    if (!FCtx.Stations.IsStation(FKp)) return {};
    return StatisticsRows(FCtx.Statistics.Load(FKp), FCtx.Stations.KP_arr[FKp].Connected,
                          English());
}

}  // namespace telegate
