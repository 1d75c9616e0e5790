// The main loop without any GUI toolkit: a queue of calls, a condition variable
// and a timer list on the steady clock. Used headless and in tests.
#pragma once

#include <atomic>
#include <thread>

#include "platform/LoopCore.h"
#include "platform/MainLoop.h"

namespace telegate {

class TPlainMainLoop : public IMainLoop {
  public:
    // The constructing thread is the main thread until run() is called; run()
    // makes the thread that calls it the main thread.
    TPlainMainLoop();
    ~TPlainMainLoop() override;

    void post(std::function<void()> fn) override;
    bool invokeAndWait(const std::function<void()>& fn) override;

    TimerId addTimer(int intervalMs, std::function<void()> fn) override;
    void removeTimer(TimerId id) override;
    void startTimer(TimerId id) override;
    void stopTimer(TimerId id) override;
    void setInterval(TimerId id, int intervalMs) override;
    bool timerActive(TimerId id) const override;

    // Serves calls and timers until quit(). quit() is final: a later run() returns
    // at once and nothing more is served.
    int run() override;
    void quit(int code = 0) override;
    bool isMainThread() const override;

  private:
    static int64_t NowMs();
    void Runner(const std::function<void()>& fn);

    TCallQueue calls_;
    TTimerList timers_;
    std::atomic<std::thread::id> mainThread_;
};

}  // namespace telegate
