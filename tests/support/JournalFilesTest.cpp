#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/JournalFiles.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(JournalFiles, FileOfTheLinesDay) {
    const struct {
        const char* line;
        const char* file;
    } cases[] = {
        {"09.12.2026 20:31:05.123 (iec0) station 1 connected", "journal_2026-12-09.txt"},
        {"31.01.2027 00:00:00.000 x", "journal_2027-01-31.txt"},
        {"01.01.2027 00:00:00.000 ", "journal_2027-01-01.txt"},
        // Not a date at the start: one file for all of them, never a strange name.
        {"", "journal.txt"},
        {"9.12.2026 20:31:05.123 short day", "journal.txt"},
        {"32.12.2026 20:31:05.123 day out of range", "journal.txt"},
        {"09.13.2026 20:31:05.123 month out of range", "journal.txt"},
        {"09.12.20a6 20:31:05.123 letters", "journal.txt"},
        {"09.12.2026", "journal.txt"},
        {"../..//../etc/passwd", "journal.txt"},
    };
    for (const auto& c : cases) EXPECT_EQ(JournalFileName(c.line), c.file) << c.line;
}

TEST(JournalFiles, LinesGoToTheirDaysInWindows1251WithCrLf) {
    const fs::path dir =
        fs::temp_directory_path() /
        ("tg-journal-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    const std::string folder = dir.string();
    ASSERT_TRUE(AppendJournalLine(folder, "09.12.2026 23:59:59.999 КП 1 подключен\n"));
    ASSERT_TRUE(AppendJournalLine(folder, "10.12.2026 00:00:00.000 next day"));
    // Several writers at once: every line arrives whole.
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&folder, t] {
            for (int i = 0; i < 50; ++i)
                AppendJournalLine(folder, "09.12.2026 23:59:59.999 w" + std::to_string(t) + "\n");
        });
    for (auto& w : writers) w.join();

    const std::string day1 = ReadAll(dir / "journal_2026-12-09.txt");
    // "КП 1 подключен" in Windows-1251, then CR LF.
    const std::string first =
        "09.12.2026 23:59:59.999 \xCA\xCF 1 \xEF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED\r\n";
    EXPECT_EQ(day1.substr(0, first.size()), first);
    EXPECT_EQ(day1.size(),
              first.size() + 200 * std::string("09.12.2026 23:59:59.999 w0\r\n").size());
    for (int t = 0; t < 4; ++t) {
        const std::string line = "\r\n09.12.2026 23:59:59.999 w" + std::to_string(t) + "\r\n";
        size_t n = 0;
        for (size_t p = day1.find(line.substr(2)); p != std::string::npos;
             p = day1.find(line.substr(2), p + 1))
            ++n;
        EXPECT_EQ(n, 50u) << "writer " << t;
    }
    EXPECT_EQ(ReadAll(dir / "journal_2026-12-10.txt"), "10.12.2026 00:00:00.000 next day\r\n");

    // A folder that cannot take the file is reported.
    EXPECT_FALSE(
        AppendJournalLine((dir / "missing" / "deeper").string(), "09.12.2026 00:00:00.000 x"));
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace telegate
