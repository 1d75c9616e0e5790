// The daily journal files of the data folder: every journal line that passes the
// category mask, as FormatJournalLine makes it, in "journal-YYYY-MM-DD.log" of
// the line's local date, Windows-1251 with CR LF like the program's other text
// files. A thread of its own writes them, so that the main thread and polling
// never wait for the disk; when a new day's file is opened, the files of days
// older than the last keepDays are removed. A day's file stops growing at a size
// cap: one line says the cap was reached, the day's further lines are counted
// instead of written, and their number ends the file at the change of day (or
// when the journal is closed).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/DateTime.h"

namespace telegate {

class TLinePrinter;

class TJournalFile {
  public:
    static constexpr int kKeepDays = 30;
    static constexpr uint64_t kMaxDayBytes = 64ull << 20;

    // folder: where the files are (UTF-8); keepDays: days kept, today included;
    // maxDayBytes: the size a day's file grows to at most (its last two lines,
    // the cap's notice and the count, come on top).
    explicit TJournalFile(std::string folder, int keepDays = kKeepDays,
                          uint64_t maxDayBytes = kMaxDayBytes);
    // Writes out what is queued (at most about a second), then returns.
    ~TJournalFile();
    TJournalFile(const TJournalFile&) = delete;
    TJournalFile& operator=(const TJournalFile&) = delete;

    // Queues one line dated dt. Any thread; never blocks, never throws.
    void Put(TDateTime dt, std::string_view utf8Text) noexcept;
    // What went wrong with the last write ("" while writes succeed); any thread.
    std::string LastError() const;
    // Lines that could not be queued (the writer fell behind by 10,000 lines).
    uint64_t Dropped() const;

    // "journal-YYYY-MM-DD.log".
    static std::string FileName(int year, int month, int day);
    // True for a journal file name of a day before the day firstKept
    // (year * 10000 + month * 100 + day); false for every other name.
    static bool Expired(std::string_view name, int firstKept);

  private:
    struct TWriter;
    std::shared_ptr<TWriter> writer_;
    std::unique_ptr<TLinePrinter> printer_;
};

}  // namespace telegate
