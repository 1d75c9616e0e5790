// Text lines handed to an output (standard output of the headless program) by a
// thread of their own, so that whoever prints never waits for the output: a
// reader that is slow or stuck fills a bounded queue, after which lines are
// dropped and counted; an output that fails (a closed pipe) is given up for good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "support/DateTime.h"

namespace telegate {

class TLinePrinter {
  public:
    // Writes all of the given bytes; false when the output is gone. Called on the
    // printer's thread only; it may block.
    using TWrite = std::function<bool(std::string_view bytes)>;

    // maxQueued: lines waiting for the output at most.
    explicit TLinePrinter(TWrite write, size_t maxQueued = 10000);
    // Gives the queued lines up to closeWaitMs to reach the output, then drops what
    // is left and returns (a stuck output cannot hold the caller; the thread ends
    // when its last write returns).
    ~TLinePrinter();
    TLinePrinter(const TLinePrinter&) = delete;
    TLinePrinter& operator=(const TLinePrinter&) = delete;

    // Queues one line (a line end is added). Any thread; never blocks, never throws.
    void Print(std::string line) noexcept;
    // Lines dropped so far (queue full, output gone, or a write that failed).
    uint64_t Dropped() const;
    // False once the output has failed.
    bool OutputAlive() const;

    static constexpr int closeWaitMs = 1000;

  private:
    struct TState;
    std::shared_ptr<TState> st_;
};

// One journal line as the headless program prints it:
// "dd.mm.yyyy hh:nn:ss.zzz <text>", with every line break of the text made a blank.
std::string FormatJournalLine(TDateTime dt, std::string_view text);

}  // namespace telegate
