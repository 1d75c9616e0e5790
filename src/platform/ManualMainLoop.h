// A main loop that a test steps by hand: posted calls run when the test calls
// RunPending(), timers fire when it moves the manual clock with Advance(). The
// thread that creates it is the main thread.
#pragma once

#include <thread>

#include "platform/LoopCore.h"
#include "platform/MainLoop.h"
#include "support/Clock.h"

namespace telegate {

class TManualMainLoop : public IMainLoop {
  public:
    explicit TManualMainLoop(TManualClock& clock);
    ~TManualMainLoop() override;

    void post(std::function<void()> fn) override;
    bool invokeAndWait(const std::function<void()>& fn) override;

    TimerId addTimer(int intervalMs, std::function<void()> fn) override;
    void removeTimer(TimerId id) override;
    void startTimer(TimerId id) override;
    void stopTimer(TimerId id) override;
    void setInterval(TimerId id, int intervalMs) override;
    bool timerActive(TimerId id) const override;

    // Serves posted calls (timers only move with Advance) until quit().
    int run() override;
    void quit(int code = 0) override;
    bool isMainThread() const override;

    // Runs queued calls, including those they queue, until none is left (at most
    // `limit` rounds, so a call that always re-posts itself cannot hang a test).
    // Returns the number run.
    int RunPending(int limit = 1000);
    // Moves the clock forward by ms; every timer due on the way fires at its due
    // time, earliest first (lowest id on a tie), each turn of a repeating timer
    // separately. Queued calls run before each timer and at the end.
    void Advance(int64_t ms);
    // Blocks the test thread until at least one call is queued or timeoutMs passes
    // (for calls from other threads). True when a call is queued.
    bool WaitForPending(int timeoutMs);
    size_t PendingCount() const { return calls_.Size(); }
    bool Quitted() const { return calls_.Closed(); }
    int ExitCode() const { return calls_.ExitCode(); }

  private:
    void Runner(const std::function<void()>& fn);

    TManualClock& clock_;
    TCallQueue calls_;
    TTimerList timers_;
    std::thread::id mainThread_;
};

}  // namespace telegate
