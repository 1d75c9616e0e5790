#include "opc/ComObject.h"

namespace telegate::opc {

TComThreadScope::TComThreadScope() {
#ifdef _WIN32
    FJoined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
#endif
}

TComThreadScope::~TComThreadScope() {
#ifdef _WIN32
    if (FJoined) CoUninitialize();
#endif
}

TCallbackQueue::TCallbackQueue() : FState(std::make_shared<TState>()) {
    FThread = std::thread([st = FState] { Run(st); });
}

TCallbackQueue::~TCallbackQueue() {
    Stop();
}

void TCallbackQueue::Post(std::function<void()> job) {
    {
        std::lock_guard lock(FState->Mu);
        FState->Jobs.push_back(std::move(job));
    }
    FState->Cv.notify_one();
}

void TCallbackQueue::Flush() {
    if (std::this_thread::get_id() == FThread.get_id()) return;
    std::unique_lock lock(FState->Mu);
    FState->IdleCv.wait(lock,
                        [&] { return (FState->Jobs.empty() && !FState->Busy) || FState->Stop; });
}

void TCallbackQueue::Stop() {
    {
        std::lock_guard lock(FState->Mu);
        FState->Stop = true;
    }
    FState->Cv.notify_all();
    FState->IdleCv.notify_all();
    if (!FThread.joinable()) return;
    if (std::this_thread::get_id() == FThread.get_id())
        FThread.detach();  // called from a job: the thread ends by itself after it
    else
        FThread.join();
}

void TCallbackQueue::Run(std::shared_ptr<TState> st) {
    std::unique_lock lock(st->Mu);
    for (;;) {
        st->Cv.wait(lock, [&] { return st->Stop || !st->Jobs.empty(); });
        if (st->Jobs.empty()) break;  // stopping, nothing left
        auto job = std::move(st->Jobs.front());
        st->Jobs.pop_front();
        st->Busy = true;
        lock.unlock();
        job();
        job = nullptr;  // releases what the job held before the queue looks again
        lock.lock();
        st->Busy = false;
        if (st->Jobs.empty()) st->IdleCv.notify_all();
    }
}

}  // namespace telegate::opc
