// The main loop on the Win32 message queue of the thread that creates it (the
// GUI thread): a hidden message-only window receives the wake-up for posted and
// waiting calls and the WM_TIMER of every repeating timer, so the window
// procedures of the operator window run on the same thread and in the same loop
// as the application's calls and timers. Windows only.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>

#include "platform/LoopCore.h"
#include "platform/MainLoop.h"

namespace telegate {

class TMessageLoop : public IMainLoop {
  public:
    // The calling thread becomes the main thread; run() must be called on it.
    // Throws std::runtime_error when the message window cannot be created.
    TMessageLoop();
    ~TMessageLoop() override;
    TMessageLoop(const TMessageLoop&) = delete;
    TMessageLoop& operator=(const TMessageLoop&) = delete;

    void post(std::function<void()> fn) override;
    bool invokeAndWait(const std::function<void()>& fn) override;

    TimerId addTimer(int intervalMs, std::function<void()> fn) override;
    void removeTimer(TimerId id) override;
    void startTimer(TimerId id) override;
    void stopTimer(TimerId id) override;
    void setInterval(TimerId id, int intervalMs) override;
    bool timerActive(TimerId id) const override;

    // Dispatches messages (of every window of the thread) until quit(). quit() is
    // final, as with the plain loop.
    int run() override;
    void quit(int code = 0) override;
    bool isMainThread() const override;

    HWND Window() const { return hwnd_; }

  private:
    struct TTimer {
        int interval = 1;
        std::shared_ptr<std::function<void()>> fn;
        bool active = false;
    };
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    void Wake();
    void RunCalls();
    void FireTimer(TimerId id);

    TCallQueue calls_;
    std::map<TimerId, TTimer> timers_;
    TimerId nextId_ = 1;
    HWND hwnd_ = nullptr;
    DWORD threadId_ = 0;
    std::atomic<bool> wakePending_{false};
};

}  // namespace telegate
