// Pieces shared by the main loop implementations: the queue of calls handed to the
// main thread (with the waiting side of invokeAndWait) and the list of repeating
// timers on a millisecond time base.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace telegate {

// The readable (demangled) name of a type as reported by typeid.
std::string DemangledTypeName(const char* mangled);

// Runs fn; an exception that escapes it goes to onException (what, demangled class
// name) and is otherwise dropped.
void RunGuarded(const std::function<void()>& fn,
                const std::function<void(const char*, const char*)>& onException);

// Calls queued for the main thread. Thread-safe. Once closed, nothing more runs:
// posts are dropped and every waiting invokeAndWait caller is released with false.
class TCallQueue {
  public:
    TCallQueue();
    ~TCallQueue();
    TCallQueue(const TCallQueue&) = delete;
    TCallQueue& operator=(const TCallQueue&) = delete;

    // False (fn dropped) when the queue is closed.
    bool Post(std::function<void()> fn);
    // Queues fn and blocks until the main thread has run it (true) or the queue
    // closed first (false). Not for the main thread itself.
    bool InvokeAndWait(const std::function<void()>& fn);

    // Runs the calls queued when it was entered (calls they queue wait for the
    // next round), each through `runner`. Stops when the queue closes; the calls
    // left are dropped. Returns the number run.
    int RunQueued(const std::function<void(const std::function<void()>&)>& runner);

    // Blocks until a call is queued, the queue closes, or the deadline passes.
    void WaitForWork(std::optional<std::chrono::steady_clock::time_point> deadline);

    // Called (outside the lock) after each call is queued, from the queuing
    // thread: a loop that sleeps somewhere else than WaitForWork wakes itself
    // here. Set it before the queue is used.
    void SetOnQueued(std::function<void()> fn);

    void Close(int exitCode);
    bool Closed() const;
    int ExitCode() const;
    size_t Size() const;

  private:
    struct TWait;
    struct TCall {
        std::function<void()> fn;                         // posted call, owned
        const std::function<void()>* borrowed = nullptr;  // invokeAndWait call, caller's
        std::shared_ptr<TWait> wait;
    };
    struct TState;
    // Shared so that a caller still inside InvokeAndWait keeps the lock and the
    // condition variables alive even if the loop object goes away.
    std::shared_ptr<TState> st_;
};

// Repeating timers on a caller-supplied millisecond time base. Not thread-safe:
// main thread only.
class TTimerList {
  public:
    using TimerId = int;

    TimerId Add(int intervalMs, std::function<void()> fn);
    void Remove(TimerId id);
    void Start(TimerId id, int64_t nowMs);
    void Stop(TimerId id);
    void SetInterval(TimerId id, int intervalMs, int64_t nowMs);
    bool Active(TimerId id) const;
    // Earliest due time of an active timer.
    std::optional<int64_t> NextDue() const;
    // Fires the earliest active timer due at or before nowMs (lowest id first on a
    // tie) and schedules its next turn; false when none is due. `lateSkip`: a timer
    // that fell more than one interval behind resumes one interval after nowMs
    // instead of catching up.
    bool FireOne(int64_t nowMs, bool lateSkip,
                 const std::function<void(const std::function<void()>&)>& runner);

  private:
    struct TTimer {
        int interval = 1;
        std::shared_ptr<std::function<void()>> fn;
        bool active = false;
        int64_t due = 0;
    };
    static int Clamp(int ms) { return ms < 1 ? 1 : ms; }
    std::map<TimerId, TTimer> timers_;
    TimerId nextId_ = 1;
};

}  // namespace telegate
