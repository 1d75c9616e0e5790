#include "platform/ManualMainLoop.h"

#include <chrono>
#include <utility>

namespace telegate {

TManualMainLoop::TManualMainLoop(TManualClock& clock)
    : clock_(clock), mainThread_(std::this_thread::get_id()) {}

TManualMainLoop::~TManualMainLoop() {
    calls_.Close(calls_.ExitCode());
}

void TManualMainLoop::Runner(const std::function<void()>& fn) {
    RunGuarded(fn, onException);
}

void TManualMainLoop::post(std::function<void()> fn) {
    calls_.Post(std::move(fn));
}

bool TManualMainLoop::invokeAndWait(const std::function<void()>& fn) {
    if (isMainThread()) {
        if (calls_.Closed()) return false;
        fn();
        return true;
    }
    return calls_.InvokeAndWait(fn);
}

IMainLoop::TimerId TManualMainLoop::addTimer(int intervalMs, std::function<void()> fn) {
    return timers_.Add(intervalMs, std::move(fn));
}
void TManualMainLoop::removeTimer(TimerId id) {
    timers_.Remove(id);
}
void TManualMainLoop::startTimer(TimerId id) {
    timers_.Start(id, clock_.MonotonicMs());
}
void TManualMainLoop::stopTimer(TimerId id) {
    timers_.Stop(id);
}
void TManualMainLoop::setInterval(TimerId id, int intervalMs) {
    timers_.SetInterval(id, intervalMs, clock_.MonotonicMs());
}
bool TManualMainLoop::timerActive(TimerId id) const {
    return timers_.Active(id);
}

int TManualMainLoop::run() {
    auto runner = [this](const std::function<void()>& fn) { Runner(fn); };
    while (!calls_.Closed()) {
        calls_.RunQueued(runner);
        if (calls_.Closed()) break;
        calls_.WaitForWork(std::nullopt);
    }
    return calls_.ExitCode();
}

void TManualMainLoop::quit(int code) {
    calls_.Close(code);
}

bool TManualMainLoop::isMainThread() const {
    return mainThread_ == std::this_thread::get_id();
}

int TManualMainLoop::RunPending(int limit) {
    auto runner = [this](const std::function<void()>& fn) { Runner(fn); };
    int total = 0;
    for (int round = 0; round < limit && calls_.Size() > 0 && !calls_.Closed(); ++round)
        total += calls_.RunQueued(runner);
    return total;
}

void TManualMainLoop::Advance(int64_t ms) {
    auto runner = [this](const std::function<void()>& fn) { Runner(fn); };
    const int64_t target = clock_.MonotonicMs() + (ms > 0 ? ms : 0);
    RunPending();
    while (!calls_.Closed()) {
        std::optional<int64_t> due = timers_.NextDue();
        if (!due || *due > target) break;
        if (*due > clock_.MonotonicMs()) clock_.Advance(*due - clock_.MonotonicMs());
        timers_.FireOne(clock_.MonotonicMs(), false, runner);
        RunPending();
    }
    if (target > clock_.MonotonicMs()) clock_.Advance(target - clock_.MonotonicMs());
    RunPending();
}

bool TManualMainLoop::WaitForPending(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (calls_.Size() == 0 && !calls_.Closed() && std::chrono::steady_clock::now() < deadline)
        calls_.WaitForWork(deadline);
    return calls_.Size() > 0;
}

}  // namespace telegate
