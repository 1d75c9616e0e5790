// The source of "now". Wall time (local date-time) is for time tags, journal lines
// and files; monotonic time is for every stopwatch and protocol timer, so that a
// clock set by an operator or NTP never fires or stalls a timer.
#pragma once

#include <atomic>
#include <cstdint>

#include "support/DateTime.h"

namespace telegate {

class IClock {
public:
    virtual ~IClock() = default;
    // Local wall-clock date-time.
    virtual TDateTime Now() const = 0;
    // Milliseconds on a monotonic clock with an arbitrary origin.
    virtual int64_t MonotonicMs() const = 0;
};

// A clock that moves only when told to; for tests. Thread-safe.
class TManualClock : public IClock {
public:
    explicit TManualClock(TDateTime now = 46000.5, int64_t mono = 1'000'000)
        : now_(now), mono_(mono) {}
    TDateTime Now() const override { return now_.load(); }
    int64_t MonotonicMs() const override { return mono_.load(); }
    // Moves both clocks forward by ms.
    void Advance(int64_t ms) {
        mono_ += ms;
        now_.store(now_.load() + static_cast<double>(ms) / kMsPerDay);
    }
    // Sets the wall clock only (as an operator or NTP would).
    void SetWall(TDateTime now) { now_.store(now); }

private:
    std::atomic<double> now_;
    std::atomic<int64_t> mono_;
};

}  // namespace telegate
