#include "platform/LoopCore.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>
#include <utility>

namespace telegate {

std::string DemangledTypeName(const char* mangled) {
    if (mangled == nullptr) return "unknown";
    int status = 0;
    char* text = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string out = (status == 0 && text != nullptr) ? std::string(text) : std::string(mangled);
    std::free(text);
    return out;
}

void RunGuarded(const std::function<void()>& fn,
                const std::function<void(const char*, const char*)>& onException) {
    try {
        fn();
    } catch (const std::exception& e) {
        if (onException) {
            std::string type = DemangledTypeName(typeid(e).name());
            try {
                onException(e.what(), type.c_str());
            } catch (...) {
            }
        }
    } catch (...) {
        if (onException) {
            std::type_info* ti = abi::__cxa_current_exception_type();
            std::string type = DemangledTypeName(ti != nullptr ? ti->name() : nullptr);
            try {
                onException("unknown exception", type.c_str());
            } catch (...) {
            }
        }
    }
}

// ---------------------------------------------------------------------------------

struct TCallQueue::TWait {
    bool finished = false;
    bool ran = false;
    std::condition_variable cv;  // only this call's caller waits on it
};

struct TCallQueue::TState {
    mutable std::mutex mu;
    std::condition_variable wake;  // the loop thread: work queued or closed
    std::deque<TCall> calls;
    std::function<void()> onQueued;
    bool closed = false;
    int exitCode = 0;
};

TCallQueue::TCallQueue() : st_(std::make_shared<TState>()) {}

TCallQueue::~TCallQueue() {
    Close(ExitCode());
}

bool TCallQueue::Post(std::function<void()> fn) {
    std::shared_ptr<TState> st = st_;
    {
        std::lock_guard<std::mutex> lock(st->mu);
        if (st->closed) return false;
        st->calls.push_back(TCall{std::move(fn), nullptr, nullptr});
    }
    st->wake.notify_one();  // only the loop thread waits for work
    if (st->onQueued) st->onQueued();
    return true;
}

bool TCallQueue::InvokeAndWait(const std::function<void()>& fn) {
    std::shared_ptr<TState> st = st_;
    auto wait = std::make_shared<TWait>();
    std::unique_lock<std::mutex> lock(st->mu);
    if (st->closed) return false;
    st->calls.push_back(TCall{nullptr, &fn, wait});
    lock.unlock();
    st->wake.notify_one();
    if (st->onQueued) st->onQueued();
    lock.lock();
    // Each caller has its own condition variable: a finished call wakes only its
    // caller, not every worker waiting on the loop.
    wait->cv.wait(lock, [&] { return wait->finished; });
    return wait->ran;
}

int TCallQueue::RunQueued(const std::function<void(const std::function<void()>&)>& runner) {
    std::shared_ptr<TState> st = st_;
    std::deque<TCall> batch;
    {
        std::lock_guard<std::mutex> lock(st->mu);
        if (st->closed) return 0;
        batch.swap(st->calls);
    }
    int count = 0;
    bool closed = false;  // it was open when the batch was taken
    for (TCall& call : batch) {
        const bool run = !closed;
        if (run) {
            runner(call.borrowed != nullptr ? *call.borrowed : call.fn);
            ++count;
        }
        {
            // One lock per call: report this call and see whether the loop
            // closed meanwhile (then the rest are dropped).
            std::lock_guard<std::mutex> lock(st->mu);
            if (call.wait) {
                call.wait->finished = true;
                call.wait->ran = run;
            }
            closed = st->closed;
        }
        // The shared TWait outlives the caller's return, so notifying after the
        // unlock is safe.
        if (call.wait) call.wait->cv.notify_one();
    }
    return count;
}

void TCallQueue::WaitForWork(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock<std::mutex> lock(st_->mu);
    auto ready = [&] { return st_->closed || !st_->calls.empty(); };
    if (deadline)
        st_->wake.wait_until(lock, *deadline, ready);
    else
        st_->wake.wait(lock, ready);
}

void TCallQueue::SetOnQueued(std::function<void()> fn) {
    st_->onQueued = std::move(fn);
}

void TCallQueue::Close(int exitCode) {
    std::lock_guard<std::mutex> lock(st_->mu);
    if (!st_->closed) {
        st_->closed = true;
        st_->exitCode = exitCode;
    }
    for (TCall& call : st_->calls) {
        if (call.wait) {
            call.wait->finished = true;
            call.wait->ran = false;
            call.wait->cv.notify_one();
        }
    }
    st_->calls.clear();
    st_->wake.notify_all();
}

bool TCallQueue::Closed() const {
    std::lock_guard<std::mutex> lock(st_->mu);
    return st_->closed;
}

int TCallQueue::ExitCode() const {
    std::lock_guard<std::mutex> lock(st_->mu);
    return st_->exitCode;
}

size_t TCallQueue::Size() const {
    std::lock_guard<std::mutex> lock(st_->mu);
    return st_->calls.size();
}

// ---------------------------------------------------------------------------------

TTimerList::TimerId TTimerList::Add(int intervalMs, std::function<void()> fn) {
    TimerId id = nextId_++;
    TTimer t;
    t.interval = Clamp(intervalMs);
    t.fn = std::make_shared<std::function<void()>>(std::move(fn));
    timers_.emplace(id, std::move(t));
    return id;
}

void TTimerList::Remove(TimerId id) {
    timers_.erase(id);
}

void TTimerList::Start(TimerId id, int64_t nowMs) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second.active = true;
    it->second.due = nowMs + it->second.interval;
}

void TTimerList::Stop(TimerId id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second.active = false;
}

void TTimerList::SetInterval(TimerId id, int intervalMs, int64_t nowMs) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second.interval = Clamp(intervalMs);
    // As with window timers, a new interval restarts the count.
    if (it->second.active) it->second.due = nowMs + it->second.interval;
}

bool TTimerList::Active(TimerId id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second.active;
}

std::optional<int64_t> TTimerList::NextDue() const {
    std::optional<int64_t> best;
    for (const auto& [id, t] : timers_)
        if (t.active && (!best || t.due < *best)) best = t.due;
    return best;
}

bool TTimerList::FireOne(int64_t nowMs, bool lateSkip,
                         const std::function<void(const std::function<void()>&)>& runner) {
    auto pick = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (!it->second.active || it->second.due > nowMs) continue;
        if (pick == timers_.end() || it->second.due < pick->second.due) pick = it;
    }
    if (pick == timers_.end()) return false;
    TTimer& t = pick->second;
    t.due += t.interval;
    if (lateSkip && t.due <= nowMs) t.due = nowMs + t.interval;
    // The callback may stop, restart or remove its own timer; keep fn alive.
    std::shared_ptr<std::function<void()>> fn = t.fn;
    runner(*fn);
    return true;
}

}  // namespace telegate
