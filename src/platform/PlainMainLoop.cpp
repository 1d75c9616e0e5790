#include "platform/PlainMainLoop.h"

#include <chrono>
#include <utility>

namespace telegate {

TPlainMainLoop::TPlainMainLoop() : mainThread_(std::this_thread::get_id()) {}

TPlainMainLoop::~TPlainMainLoop() {
    calls_.Close(calls_.ExitCode());
}

int64_t TPlainMainLoop::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void TPlainMainLoop::Runner(const std::function<void()>& fn) {
    RunGuarded(fn, onException);
}

void TPlainMainLoop::post(std::function<void()> fn) {
    calls_.Post(std::move(fn));
}

bool TPlainMainLoop::invokeAndWait(const std::function<void()>& fn) {
    if (isMainThread()) {
        if (calls_.Closed()) return false;
        fn();
        return true;
    }
    return calls_.InvokeAndWait(fn);
}

IMainLoop::TimerId TPlainMainLoop::addTimer(int intervalMs, std::function<void()> fn) {
    return timers_.Add(intervalMs, std::move(fn));
}
void TPlainMainLoop::removeTimer(TimerId id) {
    timers_.Remove(id);
}
void TPlainMainLoop::startTimer(TimerId id) {
    timers_.Start(id, NowMs());
}
void TPlainMainLoop::stopTimer(TimerId id) {
    timers_.Stop(id);
}
void TPlainMainLoop::setInterval(TimerId id, int intervalMs) {
    timers_.SetInterval(id, intervalMs, NowMs());
}
bool TPlainMainLoop::timerActive(TimerId id) const {
    return timers_.Active(id);
}

int TPlainMainLoop::run() {
    mainThread_ = std::this_thread::get_id();
    auto runner = [this](const std::function<void()>& fn) { Runner(fn); };
    while (!calls_.Closed()) {
        calls_.RunQueued(runner);
        // Timers due now; a posted call between two timers would wait, so timers
        // fire only up to the time taken before this round.
        int64_t now = NowMs();
        while (!calls_.Closed() && timers_.FireOne(now, true, runner)) {
        }
        if (calls_.Closed()) break;
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (auto due = timers_.NextDue()) {
            deadline = std::chrono::steady_clock::time_point(std::chrono::milliseconds(*due));
        }
        calls_.WaitForWork(deadline);
    }
    return calls_.ExitCode();
}

void TPlainMainLoop::quit(int code) {
    calls_.Close(code);
}

bool TPlainMainLoop::isMainThread() const {
    return mainThread_.load() == std::this_thread::get_id();
}

}  // namespace telegate
