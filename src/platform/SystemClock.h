#pragma once

#include "support/Clock.h"

namespace telegate {

// The real clocks: local wall time from the system, monotonic time from steady_clock.
class TSystemClock : public IClock {
public:
    TDateTime Now() const override;
    int64_t MonotonicMs() const override;
};

}  // namespace telegate
