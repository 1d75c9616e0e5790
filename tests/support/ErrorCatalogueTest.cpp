#include <gtest/gtest.h>

#include "support/ErrorReport.h"
#include "support/Notifier.h"
#include "support/ErrorCatalogue.h"

namespace telegate {
namespace {

TEST(ErrLstArm, CatalogueContents) {
    TErrLstArm cat;
    ASSERT_EQ(cat.Count, 9);
    ASSERT_EQ(cat.Code.size(), 9u);
    ASSERT_EQ(cat.mess.size(), 9u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(cat.Code[static_cast<size_t>(i)], 1000 + i);
    EXPECT_EQ(cat.GetMess(1000), "1000: Пустое сообщение");
    EXPECT_EQ(cat.GetMess(1002), "1002: Пуст список КП");
    EXPECT_EQ(cat.GetMess(1003), "1003: Превшена константа MAXTITARM");
    EXPECT_EQ(cat.GetMess(1008), "1008: Неизвестный код сообщения");
}

TEST(ErrLstArm, UnknownCodeGivesLastTextAlone) {
    TErrLstArm cat;
    EXPECT_EQ(cat.GetMess(7), "Неизвестный код сообщения");
    EXPECT_EQ(cat.GetMess(-1), "Неизвестный код сообщения");
    EXPECT_EQ(cat.GetMess(1009), "Неизвестный код сообщения");
    // 1000 + 65536 does not alias 1000 through the 16-bit codes.
    EXPECT_EQ(cat.GetMess(66536), "Неизвестный код сообщения");
}

TEST(ErrLstArm, WithText) {
    TErrLstArm cat;
    EXPECT_EQ(cat.GetMess(1007, "ПС Северная"),
              "1007: Повтор имени КП в текстовом файле типа KpList.dat\rПС Северная");
    EXPECT_EQ(cat.GetMess(5, ""), "Неизвестный код сообщения\r");
}

TEST(ErrorReporter, LimitCountsEveryEarlierBox) {
    TRecordingNotifier n;
    TErrorReporter rep(n, [](int) {});
    rep.Report("Реестр", "первая", 2);
    rep.Report("Реестр", "вторая", 2);
    rep.Report("Реестр", "третья", 2);
    ASSERT_EQ(n.errors.size(), 2u);
    EXPECT_EQ(n.errors[0], "Реестр\rпервая");
    EXPECT_EQ(n.errors[1], "Реестр\rвторая");
    EXPECT_EQ(rep.Count(), 2);
    // A higher limit lets more through, counted together with the earlier ones.
    rep.Report("t", "x", 3);
    rep.Report("t", "y", 3);
    EXPECT_EQ(n.errors.size(), 3u);
    EXPECT_EQ(rep.Count(), 3);
    rep.Report("t", "z", 0);
    rep.Report("t", "z", -5);
    EXPECT_EQ(n.errors.size(), 3u);
}

TEST(ErrorReporter, SeparateReportersCountSeparately) {
    TRecordingNotifier n;
    TErrorReporter a(n, [](int) {});
    TErrorReporter b(n, [](int) {});
    a.Report("a", "1", 1);
    a.Report("a", "2", 1);
    b.Report("b", "1", 1);
    ASSERT_EQ(n.errors.size(), 2u);
    EXPECT_EQ(n.errors[1], "b\r1");
}

class ThrowingNotifier : public INotifier {
  public:
    void ShowError(const std::string&) override {
        ++calls;
        throw std::runtime_error("no display");
    }
    void ShowMessage(const std::string&) override {}
    int calls = 0;
};

TEST(ErrorReporter, NothingEscapes) {
    ThrowingNotifier n;
    int exitCode = -1;
    TErrorReporter rep(n, [&](int code) { exitCode = code; });
    EXPECT_NO_THROW(rep.Report("t", "x", 5));
    EXPECT_EQ(n.calls, 1);
    // The fatal stop still ends the process when the box cannot be shown.
    rep.FatalStop("boom");
    EXPECT_EQ(exitCode, 1);
}

TEST(ErrorReporter, FatalStopShowsBoxAndExitsWithOne) {
    TRecordingNotifier n;
    std::vector<int> codes;
    TErrorReporter rep(n, [&](int code) { codes.push_back(code); });
    rep.FatalStop("!!!Не создан класс TMessBuff!");
    ASSERT_EQ(n.errors.size(), 1u);
    EXPECT_EQ(n.errors[0], "!!!Не создан класс TMessBuff!\rВыполняется Halt()!!!");
    EXPECT_EQ(codes, std::vector<int>{1});
    EXPECT_EQ(rep.Count(), 0);  // the fatal box is not one of the counted reports
}

TEST(ErrorReporterDeathTest, DefaultExitEndsProcessWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TStderrNotifier n;
            TErrorReporter rep(n);
            rep.FatalStop("fatal");
        },
        ::testing::ExitedWithCode(1), "fatal");
}

}  // namespace
}  // namespace telegate
