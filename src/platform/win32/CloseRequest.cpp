#include "platform/CloseRequest.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace telegate {

// The console calls its control handler on a thread it creates for the event.
// The handler has no context argument, so the one watching object is reached
// through this pointer (set by Start, cleared by Stop).
struct TCloseRequests::Impl {
    std::function<void()> onClose;
    std::mutex mu;
    std::condition_variable cv;
    bool stopped = false;
    bool started = false;
};

namespace {

std::atomic<TCloseRequests::Impl*> gWatcher{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    TCloseRequests::Impl* im = gWatcher.load();
    if (im == nullptr) return FALSE;
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (im->onClose) im->onClose();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            // Windows ends the process as soon as the handler returns (and after
            // about five seconds in any case): wait here until the close is done.
            if (im->onClose) im->onClose();
            std::unique_lock<std::mutex> lock(im->mu);
            im->cv.wait_for(lock, std::chrono::milliseconds(4500), [im] { return im->stopped; });
            return TRUE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

TCloseRequests::TCloseRequests() : impl_(std::make_unique<Impl>()) {}

TCloseRequests::~TCloseRequests() {
    Stop();
}

bool TCloseRequests::Start(std::function<void()> onClose) {
    Impl& im = *impl_;
    if (im.started) return true;
    im.onClose = std::move(onClose);
    Impl* expected = nullptr;
    if (!gWatcher.compare_exchange_strong(expected, &im)) {
        error_ = "another close watcher is active";
        return false;
    }
    if (!::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        gWatcher.store(nullptr);
        error_ = "SetConsoleCtrlHandler failed, error " + std::to_string(::GetLastError());
        return false;
    }
    im.started = true;
    return true;
}

void TCloseRequests::Stop() {
    Impl& im = *impl_;
    if (!im.started) return;
    {
        std::lock_guard<std::mutex> lock(im.mu);
        im.stopped = true;
    }
    im.cv.notify_all();
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    gWatcher.store(nullptr);
    im.started = false;
}

}  // namespace telegate
