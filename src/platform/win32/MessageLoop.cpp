#include "platform/win32/MessageLoop.h"

#include <stdexcept>
#include <string>

#include "platform/win32/Wide.h"

namespace telegate {

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr const wchar_t* kClassName = L"TelegateMessageLoop";

int Clamp(int ms) {
    return ms < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : ms;
}

// The window class is registered once per process and stays registered.
void RegisterClassOnce() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = ::DefWindowProcW;  // replaced per window
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    if (!registered) throw std::runtime_error("cannot register the message window class");
}

}  // namespace

TMessageLoop::TMessageLoop() : threadId_(::GetCurrentThreadId()) {
    RegisterClassOnce();
    hwnd_ = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              ::GetModuleHandleW(nullptr), nullptr);
    if (hwnd_ == nullptr)
        throw std::runtime_error("cannot create the message window: " +
                                 win32::ErrorText(::GetLastError()));
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
    calls_.SetOnQueued([this] { Wake(); });
}

TMessageLoop::~TMessageLoop() {
    calls_.Close(calls_.ExitCode());
    for (auto& [id, t] : timers_)
        if (t.active) ::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd_);
}

LRESULT CALLBACK TMessageLoop::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<TMessageLoop*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr) {
        if (msg == kWakeMessage) {
            self->RunCalls();
            return 0;
        }
        if (msg == WM_TIMER) {
            self->FireTimer(static_cast<TimerId>(wp));
            return 0;
        }
    }
    return ::DefWindowProcW(hwnd, msg, wp, lp);
}

// One wake-up message at a time: it runs everything queued until then.
void TMessageLoop::Wake() {
    if (!wakePending_.exchange(true)) ::PostMessageW(hwnd_, kWakeMessage, 0, 0);
}

void TMessageLoop::RunCalls() {
    wakePending_.store(false);
    calls_.RunQueued([this](const std::function<void()>& fn) { RunGuarded(fn, onException); });
    // Calls queued by the calls just run wait for the next round of messages.
    if (calls_.Size() > 0) Wake();
}

void TMessageLoop::FireTimer(TimerId id) {
    if (calls_.Closed()) return;
    const auto it = timers_.find(id);
    if (it == timers_.end() || !it->second.active) return;
    // The callback may remove or restart its own timer: keep the function alive.
    const std::shared_ptr<std::function<void()>> fn = it->second.fn;
    RunGuarded(*fn, onException);
}

void TMessageLoop::post(std::function<void()> fn) {
    calls_.Post(std::move(fn));
}

bool TMessageLoop::invokeAndWait(const std::function<void()>& fn) {
    if (isMainThread()) {
        if (calls_.Closed()) return false;
        fn();
        return true;
    }
    return calls_.InvokeAndWait(fn);
}

IMainLoop::TimerId TMessageLoop::addTimer(int intervalMs, std::function<void()> fn) {
    const TimerId id = nextId_++;
    timers_[id] =
        TTimer{Clamp(intervalMs), std::make_shared<std::function<void()>>(std::move(fn)), false};
    return id;
}

void TMessageLoop::removeTimer(TimerId id) {
    stopTimer(id);
    timers_.erase(id);
}

void TMessageLoop::startTimer(TimerId id) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    // SetTimer on an existing id restarts its interval from now.
    it->second.active = ::SetTimer(hwnd_, static_cast<UINT_PTR>(id),
                                   static_cast<UINT>(it->second.interval), nullptr) != 0;
}

void TMessageLoop::stopTimer(TimerId id) {
    const auto it = timers_.find(id);
    if (it == timers_.end() || !it->second.active) return;
    ::KillTimer(hwnd_, static_cast<UINT_PTR>(id));
    it->second.active = false;
}

void TMessageLoop::setInterval(TimerId id, int intervalMs) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second.interval = Clamp(intervalMs);
    if (it->second.active) startTimer(id);
}

bool TMessageLoop::timerActive(TimerId id) const {
    const auto it = timers_.find(id);
    return it != timers_.end() && it->second.active;
}

int TMessageLoop::run() {
    MSG msg;
    while (!calls_.Closed()) {
        const BOOL r = ::GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0 || r == -1) break;  // WM_QUIT or an invalid call
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    for (auto& [id, t] : timers_) stopTimer(id);
    return calls_.ExitCode();
}

void TMessageLoop::quit(int code) {
    calls_.Close(code);
    // Wake the loop so that run() sees the close.
    ::PostMessageW(hwnd_, kWakeMessage, 0, 0);
}

bool TMessageLoop::isMainThread() const {
    return ::GetCurrentThreadId() == threadId_;
}

}  // namespace telegate
