#include "support/Stopwatch.h"

#include <algorithm>

namespace telegate {

namespace {
constexpr int64_t kOneDayMs = 86400000;
}

TTimeChecker::TTimeChecker(const IClock& c, bool start) : clock(&c) {
    if (start) Start();
}

void TTimeChecker::Start() {
    tmstamp0 = clock->MonotonicMs();
    started = true;
    prStart = true;
}

int64_t TTimeChecker::TimeFromStart() const {
    const int64_t now = clock->MonotonicMs();
    if (!started) return kOneDayMs + (now >= 0 ? now % kOneDayMs : 0);
    return now - tmstamp0;
}

bool TTimeCheckPause::CheckExpire(int64_t pause, bool prRestart) {
    const int64_t now = clock->MonotonicMs();
    const int64_t elapsed = started ? now - tmstamp0 : kOneDayMs + (now >= 0 ? now % kOneDayMs : 0);
    if (elapsed <= pause) return false;
    if (prRestart) {
        tmstamp0 = now;
        started = true;
        prStart = true;
    } else {
        prStart = false;
    }
    return true;
}

std::string TTimeTrace::Check(int64_t& delta) {
    if (!prStart) return std::string();
    const int64_t now = clock->MonotonicMs();
    delta = started ? now - tmstamp0 : kOneDayMs;
    tmstamp0 = now;
    started = true;
    return "t=" + std::to_string(delta) + "ms";
}

TTraceTraffic::TTraceTraffic(const IClock& clock) : timer(clock, true) {}

void TTraceTraffic::AddBytes(int32_t bytes) {
    const int64_t sum = static_cast<int64_t>(nnBytes) + bytes;
    nnBytes = static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

int32_t TTraceTraffic::GetTraffic() {
    int64_t delta = 0;
    timer.Check(delta);
    if (delta > 0) {
        const int64_t rate = static_cast<int64_t>(nnBytes) * 1000 / delta;
        Traffic = static_cast<int32_t>(std::clamp<int64_t>(rate, INT32_MIN, INT32_MAX));
        nnBytes = 0;
    }
    return Traffic;
}

}  // namespace telegate
