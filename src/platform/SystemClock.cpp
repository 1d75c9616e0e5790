#include "platform/SystemClock.h"

#include <chrono>

namespace telegate {

TDateTime TSystemClock::Now() const {
    using namespace std::chrono;
    const int64_t ms =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return UnixMsToLocalDateTime(ms);
}

int64_t TSystemClock::MonotonicMs() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace telegate
