// Stopwatches and the traffic counter. Elapsed time is measured on the clock's
// monotonic time, so a wall-clock jump never fires or stalls a protocol timer.
// An unstarted stopwatch reads at least one day and so counts as expired for
// every pause shorter than a day.
#pragma once

#include <cstdint>
#include <string>

#include "support/Clock.h"

namespace telegate {

class TTimeChecker {
public:
    explicit TTimeChecker(const IClock& clock, bool prStart = false);
    // Starts at the current instant.
    void Start();
    void Stop() { prStart = false; }
    // Milliseconds since the start (ignores prStart); a day or more when never started.
    int64_t TimeFromStart() const;

    const IClock* clock;
    int64_t tmstamp0 = 0;  // monotonic ms of the start instant
    bool started = false;  // ever started
    bool prStart = false;  // running flag
};

class TTimeCheckPause : public TTimeChecker {
public:
    using TTimeChecker::TTimeChecker;
    // True when more than pause ms have passed. On true, prRestart restarts the
    // stopwatch at the instant just read; otherwise only prStart is cleared and
    // later calls keep returning true until Start.
    bool CheckExpire(int64_t pause, bool prRestart);
};

class TTimeTrace : public TTimeChecker {
public:
    using TTimeChecker::TTimeChecker;
    // When running: delta = elapsed ms, returns "t=<delta>ms" and restarts.
    // When not running: returns "" and leaves delta.
    std::string Check(int64_t& delta);
};

class TTraceTraffic {
public:
    explicit TTraceTraffic(const IClock& clock);
    // Saturates at the int32 range instead of overflowing when nobody queries.
    void AddBytes(int32_t bytes);
    // Octets per second since the last query; unchanged when no time has passed.
    int32_t GetTraffic();

    int32_t nnBytes = 0;
    TTimeTrace timer;
    int32_t Traffic = 0;
};

}  // namespace telegate
