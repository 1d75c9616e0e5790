#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Journal.h"
#include "support/LinePrinter.h"

namespace telegate {
namespace {

using namespace std::chrono_literals;

// An output the test controls: it keeps what was written, can be made to fail,
// or to block until released.
struct TOutput {
    std::mutex mu;
    std::condition_variable cv;
    std::string text;
    int writes = 0;
    bool fail = false;
    bool blocked = false;

    TLinePrinter::TWrite Writer() {
        return [this](std::string_view bytes) {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [this] { return !blocked; });
            ++writes;
            if (fail) return false;
            text.append(bytes);
            cv.notify_all();
            return true;
        };
    }
    // Waits until the output holds n lines; false after 5 s.
    bool WaitLines(size_t n) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, 5s, [&] {
            return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= n;
        });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mu);
        blocked = false;
        cv.notify_all();
    }
};

TEST(LinePrinter, LinesFromManyThreadsArriveWholeAndInEachThreadsOrder) {
    TOutput out;
    {
        TLinePrinter printer(out.Writer(), 100000);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&printer, t] {
                for (int i = 0; i < 500; ++i)
                    printer.Print("t" + std::to_string(t) + " " + std::to_string(i) + "\r\nx");
            });
        for (auto& th : threads) th.join();
        EXPECT_EQ(printer.Dropped(), 0u);
    }  // the destructor delivers what is queued
    std::vector<int> next(4, 0);
    size_t lines = 0;
    size_t pos = 0;
    while (pos < out.text.size()) {
        const size_t eol = out.text.find('\n', pos);
        ASSERT_NE(eol, std::string::npos);
        const std::string line = out.text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lines;
        // A line break inside a text became a blank: one output line per Print.
        const int t = line[1] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, 4);
        EXPECT_EQ(line, "t" + std::to_string(t) + " " + std::to_string(next[t]++) + "  x");
    }
    EXPECT_EQ(lines, 2000u);
}

TEST(LinePrinter, StuckOutputNeverHoldsThePrinterOrItsOwner) {
    TOutput out;
    out.blocked = true;
    const auto start = std::chrono::steady_clock::now();
    {
        TLinePrinter printer(out.Writer(), 10);
        for (int i = 0; i < 1000; ++i) printer.Print("line " + std::to_string(i));
        // The queue holds 10 lines and the thread holds a batch; the rest is counted.
        EXPECT_GE(printer.Dropped(), 1000u - 10u - 10u);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(TLinePrinter::closeWaitMs + 2000));
    out.Release();  // the thread left behind finishes its one write and ends
    ASSERT_TRUE(out.WaitLines(1));
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> lock(out.mu);
    EXPECT_EQ(out.writes, 1);
}

TEST(LinePrinter, FailedOutputIsGivenUpAndDropsAreTold) {
    TOutput out;
    out.blocked = true;
    TLinePrinter printer(out.Writer(), 2);
    printer.Print("a");
    std::this_thread::sleep_for(50ms);  // the thread takes "a" and waits in the write
    printer.Print("b");
    printer.Print("c");
    printer.Print("d");  // the queue is full: dropped
    EXPECT_EQ(printer.Dropped(), 1u);
    out.Release();
    ASSERT_TRUE(out.WaitLines(4));
    {
        std::lock_guard<std::mutex> lock(out.mu);
        EXPECT_EQ(out.text, "a\n*** 1 lines dropped\nb\nc\n");
        out.fail = true;  // the reader goes away (a closed pipe)
    }
    printer.Print("e");
    for (int i = 0; i < 500 && printer.OutputAlive(); ++i) std::this_thread::sleep_for(2ms);
    EXPECT_FALSE(printer.OutputAlive());
    const int writes = out.writes;
    for (int i = 0; i < 100; ++i) printer.Print("f");  // returns at once, writes nothing
    EXPECT_EQ(printer.Dropped(), 102u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(out.writes, writes);
}

TEST(LinePrinter, JournalEchoPrintsFilteredLinesWithTheirTimes) {
    TMessBuff journal(3, 0x10000);
    std::vector<std::string> printed;
    journal.SetEcho([&printed](uint32_t, const std::string& line, TDateTime dt) {
        printed.push_back(FormatJournalLine(dt, line));
    });
    journal.Reset(3, 0x10000);                          // the echo survives a new ring
    const TDateTime t = 46000.5 + 1234.0 / 86400000.0;  // 09.12.2025 12:00:01.234
    journal.Put(0, "Error Подтверждение неотправленного APDU_I", t);
    journal.Put(0x10, ">(iec0) filtered out", t);
    journal.Put(0x10000, "(iec5) t1(вышел таймаут!\r\nРазрыв соединения)", t);
    journal.Put(0, "ring full, still echoed", t);
    journal.Put(0, "and this", t);
    EXPECT_EQ(journal.nmess, 3);
    EXPECT_EQ(printed, (std::vector<std::string>{
                           "09.12.2025 12:00:01.234 Error Подтверждение неотправленного APDU_I",
                           "09.12.2025 12:00:01.234 (iec5) t1(вышел таймаут!  Разрыв соединения)",
                           "09.12.2025 12:00:01.234 ring full, still echoed",
                           "09.12.2025 12:00:01.234 and this"}));
}

}  // namespace
}  // namespace telegate
