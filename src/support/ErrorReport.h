// Error boxes of the registries, limited by a counter shared by every report of
// one application, and the fatal stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "support/Notifier.h"

namespace telegate {

class TErrorReporter {
  public:
    using TExitFunction = std::function<void(int)>;

    // exitFn ends the process for the fatal stop; by default std::exit.
    explicit TErrorReporter(INotifier& notifier, TExitFunction exitFn = {});

    // When fewer than limit boxes were shown so far, counts one more and shows an
    // error box "title CR text"; otherwise shows nothing. Never throws.
    void Report(std::string_view title, std::string_view text, int limit) noexcept;
    // Shows "text CR Выполняется Halt()!!!" and calls the exit function with 1.
    // Returns only when an injected exit function returns.
    void FatalStop(std::string_view text);

    // Replaces the exit function; an empty one restores std::exit.
    void SetExitFunction(TExitFunction exitFn);

    // Boxes shown by Report so far.
    int32_t Count() const { return count_.load(); }

  private:
    INotifier& notifier_;
    TExitFunction exit_;
    std::atomic<int32_t> count_{0};
};

}  // namespace telegate
