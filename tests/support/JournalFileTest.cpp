#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "support/CodePage.h"
#include "support/JournalFile.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

TEST(JournalFile, NamesAndExpiry) {
    EXPECT_EQ(TJournalFile::FileName(2026, 3, 7), "journal-2026-03-07.log");
    const struct {
        const char* name;
        bool expired;
    } cases[] = {
        {"journal-2026-03-06.log", true},  // the day before the first kept
        {"journal-2025-12-31.log", true},
        {"journal-2026-03-07.log", false},  // the first kept
        {"journal-2026-04-01.log", false},
        {"journal-2026-03-06.txt", false},  // not ours: never removed
        {"journal-2026-3-06.log", false},
        {"journal-2026-03-0x.log", false},
        {"journal-2026_03_06.log", false},
        {"xjournal-2026-03-06.log", false},
        {"iec104.cfg", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TJournalFile::Expired(c.name, 20260307), c.expired) << c.name;
}

class JournalFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tg-journal-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Get(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::set<std::string> Names() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.insert(e.path().filename().string());
        return out;
    }
    static TDateTime At(int y, int m, int d, int hh, int mm) {
        TDateTime dt = 0;
        TryEncodeDateTime(TDateTimeParts{y, m, d, hh, mm, 0, 0}, dt);
        return dt;
    }
    fs::path dir_;
};

TEST_F(JournalFileTest, LinesGoToTheFileOfTheirDayInWindows1251) {
    {
        TJournalFile journal(dir_.string());
        journal.Put(At(2026, 3, 7, 23, 59), "Связь с КП 1 установлена");
        journal.Put(At(2026, 3, 8, 0, 0), "line\nwith a break");
        journal.Put(At(2026, 3, 8, 0, 1), "second");
    }  // written out on destruction
    EXPECT_EQ(Get("journal-2026-03-07.log"),
              Utf8ToCp1251("07.03.2026 23:59:00.000 Связь с КП 1 установлена\r\n"));
    EXPECT_EQ(Get("journal-2026-03-08.log"),
              "08.03.2026 00:00:00.000 line with a break\r\n"
              "08.03.2026 00:01:00.000 second\r\n");
    // A later run appends to the day's file.
    {
        TJournalFile journal(dir_.string());
        journal.Put(At(2026, 3, 8, 9, 0), "again");
    }
    EXPECT_EQ(Get("journal-2026-03-08.log"),
              "08.03.2026 00:00:00.000 line with a break\r\n"
              "08.03.2026 00:01:00.000 second\r\n"
              "08.03.2026 09:00:00.000 again\r\n");
}

TEST_F(JournalFileTest, ADaysFileStopsAtTheCapAndCountsTheLinesLeftOut) {
    // Each line is 23 + 1 + 6 octets + CR LF = 32: three fit in 100 octets.
    {
        TJournalFile journal(dir_.string(), 30, 100);
        for (int k = 0; k < 7; ++k) journal.Put(At(2026, 3, 7, 10, k), "line " + std::to_string(k));
        journal.Put(At(2026, 3, 8, 0, 0), "next 0");
        journal.Put(At(2026, 3, 8, 0, 1), "next 1");
    }
    EXPECT_EQ(Get("journal-2026-03-07.log"),
              Utf8ToCp1251("07.03.2026 10:00:00.000 line 0\r\n"
                           "07.03.2026 10:01:00.000 line 1\r\n"
                           "07.03.2026 10:02:00.000 line 2\r\n"
                           "07.03.2026 10:03:00.000 Журнал: файл дня достиг предела 100 байт; "
                           "дальнейшие строки дня не пишутся, их число будет в конце файла\r\n"
                           "07.03.2026 10:06:00.000 Журнал: строк за день не записано из-за "
                           "предела размера файла: 4\r\n"));
    // A new day starts under the cap again.
    EXPECT_EQ(Get("journal-2026-03-08.log"),
              "08.03.2026 00:00:00.000 next 0\r\n08.03.2026 00:01:00.000 next 1\r\n");
    // A later run of a full day notes the cap once more and counts its own lines,
    // and the count is written when the journal closes.
    {
        TJournalFile journal(dir_.string(), 30, 100);
        journal.Put(At(2026, 3, 8, 0, 2), "next 2");
        journal.Put(At(2026, 3, 8, 0, 3), "next 3");
    }
    const std::string day2 = Get("journal-2026-03-08.log");
    EXPECT_NE(day2.find("00:01:00.000 next 1\r\n08.03.2026 00:02:00.000 next 2\r\n"
                        "08.03.2026 00:03:00.000 "),
              std::string::npos)
        << day2;
    EXPECT_NE(day2.find(Utf8ToCp1251("предела размера файла: 1\r\n")), std::string::npos) << day2;
}

TEST_F(JournalFileTest, OpeningADayRemovesDaysOutsideTheWindowOnly) {
    for (const char* name : {"journal-2026-02-05.log", "journal-2026-02-06.log",
                             "journal-2026-01-01.log", "journal-notes.log", "iec104.cfg"})
        std::ofstream(dir_ / name) << "x";
    {
        TJournalFile journal(dir_.string(), 30);
        journal.Put(At(2026, 3, 7, 12, 0), "today");
    }
    // 30 days kept, today included: 2026-02-06 .. 2026-03-07.
    EXPECT_EQ(Names(), (std::set<std::string>{"journal-2026-02-06.log", "journal-2026-03-07.log",
                                              "journal-notes.log", "iec104.cfg"}));
}

TEST_F(JournalFileTest, AFolderThatCannotBeWrittenIsReportedAndRetried) {
    const fs::path missing = dir_ / "gone";
    TJournalFile journal(missing.string());
    journal.Put(At(2026, 3, 7, 12, 0), "lost");
    std::string error;
    for (int i = 0; i < 500 && error.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        error = journal.LastError();
    }
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    fs::create_directories(missing);
    journal.Put(At(2026, 3, 7, 12, 1), "kept");
    for (int i = 0; i < 500 && !journal.LastError().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(journal.LastError(), "");
}

}  // namespace
}  // namespace telegate
