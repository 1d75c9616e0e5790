#include "platform/CloseRequest.h"

#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win32/Wide.h"

namespace telegate {

// A program of the GUI subsystem has a console only when it attached to its
// parent's, so besides the console's control events the close comes as:
//   - the named event Local\Telegate-Close-<process id>, set by "Telegate.exe
//     --close" (or any program of the same user);
//   - WM_CLOSE to a hidden top-level window, which is what "taskkill /pid N" posts;
//   - WM_ENDSESSION to that window at log-off and shut-down.
// A thread of its own waits for the event and runs the window's messages.
//
// The console calls its control handler on a thread it creates for the event.
// The handler has no context argument, so the one watching object is reached
// through this pointer (set by Start, cleared by Stop).
struct TCloseRequests::Impl {
    std::function<void()> onClose;
    std::mutex mu;
    std::condition_variable cv;
    bool stopped = false;
    bool started = false;
    bool consoleHandler = false;
    HANDLE closeEvent = nullptr;
    HANDLE stopEvent = nullptr;
    std::thread watcher;

    // Windows ends the process soon after a log-off or shut-down handler returns
    // (after about five seconds in any case): wait until the close is done.
    void CloseAndWait() {
        if (onClose) onClose();
        std::unique_lock<std::mutex> lock(mu);
        cv.wait_for(lock, std::chrono::milliseconds(4500), [this] { return stopped; });
    }
};

namespace {

constexpr const wchar_t* kCloseWindowClass = L"TelegateCloseRequest";

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
        case CTRL_SHUTDOWN_EVENT:
            im->CloseAndWait();
            return TRUE;
        default:
            return FALSE;
    }
}

LRESULT CALLBACK CloseWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* im = reinterpret_cast<TCloseRequests::Impl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (msg) {
        case WM_CLOSE:  // taskkill without /f; never destroyed by it
            if (im != nullptr && im->onClose) im->onClose();
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_ENDSESSION:
            if (wp != FALSE && im != nullptr) im->CloseAndWait();
            return 0;
        default:
            return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
}

void WatchCloseRequests(TCloseRequests::Impl* im, HANDLE ready, DWORD* windowError) {
    HINSTANCE inst = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &CloseWindowProc;
    wc.hInstance = inst;
    wc.lpszClassName = kCloseWindowClass;
    ::RegisterClassExW(&wc);
    // Top-level (so that taskkill finds it) and never shown.
    ::SetLastError(0);
    HWND hwnd = ::CreateWindowExW(WS_EX_TOOLWINDOW, kCloseWindowClass, L"Telegate", WS_POPUP, 0, 0,
                                  0, 0, nullptr, nullptr, inst, nullptr);
    if (hwnd != nullptr) ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(im));
    // ERROR_INVALID_FUNCTION when the system gave no reason (no window station).
    const DWORD e = ::GetLastError();
    *windowError = hwnd != nullptr ? 0 : (e != 0 ? e : static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    ::SetEvent(ready);
    const HANDLE waits[] = {im->closeEvent, im->stopEvent};
    for (;;) {
        const DWORD r = ::MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) {
            if (im->onClose) im->onClose();
            continue;
        }
        if (r != WAIT_OBJECT_0 + 2) break;  // stopped, or the wait failed
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    if (hwnd != nullptr) ::DestroyWindow(hwnd);
}

std::wstring ExeBaseName() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    const size_t slash = p.find_last_of(L"\\/");
    return slash == std::wstring::npos ? p : p.substr(slash + 1);
}

}  // namespace

std::string CloseEventName(unsigned long processId) {
    return "Local\\Telegate-Close-" + std::to_string(processId);
}

TCloseRequests::TCloseRequests() : impl_(std::make_unique<Impl>()) {}

TCloseRequests::~TCloseRequests() {
    Stop();
}

bool TCloseRequests::Start(std::function<void()> onClose) {
    Impl& im = *impl_;
    if (im.started) return true;
    im.onClose = std::move(onClose);
    im.stopped = false;
    Impl* expected = nullptr;
    if (!gWatcher.compare_exchange_strong(expected, &im)) {
        error_ = "another close watcher is active";
        return false;
    }
    im.consoleHandler = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
    const DWORD consoleError = im.consoleHandler ? 0 : ::GetLastError();
    // Auto-reset: each setting is one request. The default security lets this
    // user (and administrators) set it, nobody else.
    im.closeEvent = ::CreateEventW(nullptr, FALSE, FALSE,
                                   win32::ToWide(CloseEventName(::GetCurrentProcessId())).c_str());
    const DWORD eventError = im.closeEvent != nullptr ? 0 : ::GetLastError();
    im.stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD windowError = ERROR_INVALID_FUNCTION;
    if (im.closeEvent != nullptr && im.stopEvent != nullptr) {
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        try {
            if (ready != nullptr)
                im.watcher = std::thread(WatchCloseRequests, &im, ready, &windowError);
        } catch (const std::system_error&) {
        }
        if (im.watcher.joinable()) ::WaitForSingleObject(ready, INFINITE);
        if (ready != nullptr) ::CloseHandle(ready);
    }
    if (!im.watcher.joinable() && !im.consoleHandler) {
        error_ = "neither a console control handler (error " + std::to_string(consoleError) +
                 ") nor the close event (error " + std::to_string(eventError) + ")";
        if (im.closeEvent != nullptr) ::CloseHandle(im.closeEvent);
        if (im.stopEvent != nullptr) ::CloseHandle(im.stopEvent);
        im.closeEvent = im.stopEvent = nullptr;
        gWatcher.store(nullptr);
        return false;
    }
    if (windowError != 0 && im.watcher.joinable())
        error_ = "no hidden window for taskkill's close message (no desktop?), error " +
                 std::to_string(windowError) + "; Telegate.exe --close still works";
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
    if (im.stopEvent != nullptr) ::SetEvent(im.stopEvent);
    if (im.watcher.joinable()) im.watcher.join();
    if (im.consoleHandler) ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    for (HANDLE* h : {&im.closeEvent, &im.stopEvent})
        if (*h != nullptr) {
            ::CloseHandle(*h);
            *h = nullptr;
        }
    gWatcher.store(nullptr);
    im.started = false;
}

int RequestClose(unsigned long processId, int waitMs, std::string& report) {
    std::vector<DWORD> targets;
    if (processId != 0) {
        targets.push_back(processId);
    } else {
        // Every other process started from an executable of our name.
        const std::wstring name = ExeBaseName();
        HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap == INVALID_HANDLE_VALUE) {
            report = "cannot list the processes: error " + std::to_string(::GetLastError());
            return 1;
        }
        PROCESSENTRY32W pe{};
        pe.dwSize = sizeof pe;
        for (BOOL more = ::Process32FirstW(snap, &pe); more; more = ::Process32NextW(snap, &pe))
            if (pe.th32ProcessID != ::GetCurrentProcessId() &&
                ::lstrcmpiW(pe.szExeFile, name.c_str()) == 0)
                targets.push_back(pe.th32ProcessID);
        ::CloseHandle(snap);
        if (targets.empty()) {
            report = "no running copy of " + win32::FromWide(name) + " to close";
            return 1;
        }
    }
    int rc = 0;
    int reached = 0;
    for (DWORD pid : targets) {
        const std::string id = "process " + std::to_string(pid);
        HANDLE ev =
            ::OpenEventW(EVENT_MODIFY_STATE, FALSE, win32::ToWide(CloseEventName(pid)).c_str());
        if (ev == nullptr) {
            report += id + ": no close request to send (error " + std::to_string(::GetLastError()) +
                      "; a copy with a window closes from its window or tray)\n";
            continue;
        }
        HANDLE proc = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        const BOOL set = ::SetEvent(ev);
        ::CloseHandle(ev);
        if (!set) {
            report += id + ": cannot set the close event\n";
            if (proc != nullptr) ::CloseHandle(proc);
            continue;
        }
        ++reached;
        if (proc == nullptr) {
            report += id + ": close requested\n";
            continue;
        }
        const DWORD w = ::WaitForSingleObject(proc, static_cast<DWORD>(waitMs));
        DWORD code = 0;
        if (w == WAIT_OBJECT_0 && ::GetExitCodeProcess(proc, &code)) {
            report += id + ": closed, exit status " + std::to_string(code) + "\n";
        } else {
            report += id + ": close requested, still running after " +
                      std::to_string(waitMs / 1000) + " s\n";
            rc = 3;
        }
        ::CloseHandle(proc);
    }
    if (!report.empty() && report.back() == '\n') report.pop_back();
    return reached == 0 ? 1 : rc;
}

}  // namespace telegate
