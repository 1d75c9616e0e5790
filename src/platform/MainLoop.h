// The main thread's loop: posted calls, calls from other threads that wait for
// their result, and repeating timers. Every station client, link layer, the tag
// list, the station table writes and the journal live on this thread.
#pragma once

#include <cstdint>
#include <functional>

namespace telegate {

class IMainLoop {
  public:
    using TimerId = int;
    virtual ~IMainLoop() = default;

    // Queues fn to run on the main thread. Thread-safe.
    virtual void post(std::function<void()> fn) = 0;
    // Runs fn on the main thread while the caller waits; inline when called on the
    // main thread. Returns false (fn not run) when the loop has quit or quits before
    // running it, so a worker never waits forever on a loop that is gone.
    virtual bool invokeAndWait(const std::function<void()>& fn) = 0;

    // Repeating timers; created stopped. Main thread only.
    // Intervals below 1 ms count as 1 ms.
    virtual TimerId addTimer(int intervalMs, std::function<void()> fn) = 0;
    // Forgets the timer; a timer may remove itself from its own callback.
    virtual void removeTimer(TimerId id) = 0;
    virtual void startTimer(TimerId id) = 0;
    virtual void stopTimer(TimerId id) = 0;
    virtual void setInterval(TimerId id, int intervalMs) = 0;
    virtual bool timerActive(TimerId id) const = 0;

    // Runs until quit(); returns the exit code given to quit().
    virtual int run() = 0;
    // Thread-safe.
    virtual void quit(int code = 0) = 0;
    virtual bool isMainThread() const = 0;

    // Where an exception escaping a posted call, an invokeAndWait call (which then
    // still counts as run) or a timer goes: its message and demangled class name.
    // The loop goes on. Set it before run().
    std::function<void(const char* what, const char* type)> onException;
};

}  // namespace telegate
