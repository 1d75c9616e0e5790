#include "ui/win32/Gui.h"

#include <windows.h>
// After windows.h:
#include <commctrl.h>
#include <shellapi.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Main.h"
#include "app/win32/ServiceSetup.h"
#include "opc/Core.h"
#include "platform/Paths.h"
#include "platform/SingleInstance.h"
#include "platform/SystemClock.h"
#include "platform/win32/MessageLoop.h"
#include "platform/win32/Service.h"
#include "support/Notifier.h"
#include "ui/ChannelPanelPresenter.h"
#include "ui/FormApplication.h"
#include "ui/MainWindowPresenter.h"
#include "ui/win32/Controls.h"
#include "ui/win32/MainWindow.h"

namespace telegate::win32ui {

namespace {

// Operator boxes of the application core. They never hold the main thread: a
// thread of their own shows them one after another, so that polling's timers, the
// workers' calls and OPC clients go on while a box waits for the operator; and
// none is shown before Open (the OPC server accepts clients first).
class TMessageBoxNotifier : public INotifier {
  public:
    TMessageBoxNotifier() = default;
    TMessageBoxNotifier(const TMessageBoxNotifier&) = delete;
    TMessageBoxNotifier& operator=(const TMessageBoxNotifier&) = delete;
    ~TMessageBoxNotifier() override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
            queue_.clear();
            if (boxThread_ != 0)
                ::EnumThreadWindows(boxThread_, &CloseBox, 0);  // the box still open
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    void ShowError(const std::string& text) override { Queue(text, MB_ICONERROR); }
    void ShowMessage(const std::string& text) override { Queue(text, MB_ICONINFORMATION); }
    // Boxes asked for so far, and every later one, are shown from now on.
    void Open() {
        std::lock_guard<std::mutex> lock(mu_);
        if (thread_.joinable() || stop_) return;
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // No thread: the texts are in the journal and error_iec104.log anyway.
        }
    }

  private:
    static BOOL CALLBACK CloseBox(HWND hwnd, LPARAM) {
        ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
        return TRUE;
    }
    void Queue(const std::string& text, UINT icon) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_ || queue_.size() >= 20) return;  // a flood of boxes helps nobody
            queue_.emplace_back(Wide(text), icon);
        }
        wake_.notify_one();
    }
    void Run() {
        std::unique_lock<std::mutex> lock(mu_);
        boxThread_ = ::GetCurrentThreadId();
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) break;
            auto [text, icon] = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            ::MessageBoxW(nullptr, text.c_str(), L"Telegate",
                          MB_OK | icon | MB_SETFOREGROUND | MB_TOPMOST);
            lock.lock();
        }
        boxThread_ = 0;
    }

    std::mutex mu_;
    std::condition_variable wake_;
    std::deque<std::pair<std::wstring, UINT>> queue_;
    std::thread thread_;
    DWORD boxThread_ = 0;
    bool stop_ = false;
};

// The main window of this thread, found by its class (the hook has no context).
BOOL CALLBACK FindMainWindow(HWND hwnd, LPARAM lp) {
    wchar_t cls[64];
    if (::GetClassNameW(hwnd, cls, 64) > 0 && lstrcmpW(cls, kMainWindowClass) == 0) {
        *reinterpret_cast<HWND*>(lp) = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The menus' keyboard shortcuts, taken out of the message queue before the
// focused control sees them.
LRESULT CALLBACK ShortcutHook(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION && wp == PM_REMOVE) {
        MSG* msg = reinterpret_cast<MSG*>(lp);
        if (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) {
            HWND main = nullptr;
            ::EnumThreadWindows(::GetCurrentThreadId(), &FindMainWindow,
                                reinterpret_cast<LPARAM>(&main));
            auto* window =
                main != nullptr
                    ? reinterpret_cast<TMainWindow*>(::GetWindowLongPtrW(main, GWLP_USERDATA))
                    : nullptr;
            if (window != nullptr && window->TranslateShortcut(*msg)) msg->message = WM_NULL;
        }
    }
    return ::CallNextHookEx(nullptr, code, wp, lp);
}

// A second start: the running copy's window (on this desktop) is opened and put in
// front; false when there is none to be found.
bool ShowRunningCopy() {
    HWND other = ::FindWindowW(kMainWindowClass, nullptr);
    if (other == nullptr) return false;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(other, &pid);
    ::AllowSetForegroundWindow(pid);  // we were started by the operator: we may lend it
    return ::PostMessageW(other, ::RegisterWindowMessageW(kShowRunningCopyMessage), 0, 0) != FALSE;
}

// True once per installation and user: the installer records its run in
// HKLM\SOFTWARE\Telegate (Installed), and each user keeps the last one he was
// shown in HKCU\Software\Telegate (Introduced).
bool FirstStartAfterInstall() {
    auto read = [](HKEY root, const wchar_t* key, const wchar_t* value) {
        wchar_t buf[256] = {};
        DWORD bytes = sizeof buf - sizeof(wchar_t);
        if (::RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, buf, &bytes) != ERROR_SUCCESS)
            return std::wstring();
        return std::wstring(buf);
    };
    const std::wstring installed = read(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telegate", L"Installed");
    if (installed.empty() ||
        read(HKEY_CURRENT_USER, L"Software\\Telegate", L"Introduced") == installed)
        return false;
    const DWORD bytes = static_cast<DWORD>((installed.size() + 1) * sizeof(wchar_t));
    return ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Telegate", L"Introduced", REG_SZ,
                             installed.c_str(), bytes) == ERROR_SUCCESS;
}

// "/RegServer" or "/UnregServer" in a copy of this executable started with
// administrator rights (the system asks the operator). The window's messages and
// the loop's timers go on while it runs; the window takes no input meanwhile.
TRegisterResult RegisterElevated(bool reg, HWND owner) {
    const std::wstring exe = Wide(ExecutablePath());
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    sei.hwnd = owner;
    sei.lpVerb = L"runas";
    sei.lpFile = exe.c_str();
    sei.lpParameters = reg ? L"/RegServer" : L"/UnregServer";
    sei.nShow = SW_HIDE;
    if (!::ShellExecuteExW(&sei)) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_CANCELLED) return {TRegisterOutcome::Declined, {}};
        return {TRegisterOutcome::Failed,
                "cannot start Telegate.exe elevated (error " + std::to_string(e) + ")"};
    }
    if (sei.hProcess == nullptr) return {TRegisterOutcome::Failed, "no process to wait for"};
    const bool enabled = owner != nullptr && ::IsWindowEnabled(owner);
    if (enabled) ::EnableWindow(owner, FALSE);
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    DWORD waited = WAIT_TIMEOUT;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) break;
        waited = ::MsgWaitForMultipleObjects(1, &sei.hProcess, FALSE,
                                             static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (waited != WAIT_OBJECT_0 + 1) break;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    if (enabled) ::EnableWindow(owner, TRUE);
    DWORD code = 1;
    const bool ended = waited == WAIT_OBJECT_0 && ::GetExitCodeProcess(sei.hProcess, &code);
    ::CloseHandle(sei.hProcess);
    if (!ended) return {TRegisterOutcome::Failed, "the elevated copy did not end within 60 s"};
    if (code != 0)
        return {TRegisterOutcome::Failed, std::string(reg ? "/RegServer" : "/UnregServer") +
                                              " ended with exit status " + std::to_string(code)};
    return {TRegisterOutcome::Done, {}};
}

}  // namespace

int RunGui(const TGuiOptions& options) {
    TSingleInstance lock("Telegate");
    bool locked = lock.TryAcquire();
    // Started by COM while the previous COM-started copy is ending: wait for it.
    for (int i = 0; !locked && options.Embedding && lock.AnotherInstance() && i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        locked = lock.TryAcquire();
    }
    if (!locked && lock.AnotherInstance()) {
        // The service holds it: the operator uses the web pages or an OPC client, or
        // stops the service to change the configuration here. A desktop copy holds
        // it: its window is brought forward.
        const bool service = win32::ServiceIsActive();
        ::MessageBoxW(nullptr, service ? win32::kRunsAsServiceText : L"Приложение уже запущено!",
                      L"Telegate", MB_OK | MB_ICONWARNING);
        if (!service) ShowRunningCopy();
        return 1;
    }
    const TProgramFolders folders = ProgramFolders(options.DataDir, options.WebDir);
    if (const std::string why = EnterDataFolder(folders); !why.empty()) {
        ::MessageBoxW(nullptr, Wide("Telegate cannot use its data folder: " + why).c_str(),
                      L"Telegate", MB_OK | MB_ICONERROR);
        return 1;
    }
    // A console of our own (started from the desktop) is not wanted beside the window.
    DWORD consoleProcesses[2];
    if (::GetConsoleProcessList(consoleProcesses, 2) == 1) ::FreeConsole();
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES | ICC_STANDARD_CLASSES;
    ::InitCommonControlsEx(&icc);

    TSystemClock clock;
    TMessageBoxNotifier notifier;
    TAppContext ctx(clock, notifier);
    TMessageLoop loop;
    TDeviceList devices(ctx);
    TFormApplication app;
    TMainWindowPresenter presenter(ctx, devices, app);
    TMainWindow window;
    TChannelPanelPresenter channels(&window);
    presenter.SetChannelPanel(&channels);
    if (!window.Create(presenter)) {
        ::MessageBoxW(nullptr, L"Cannot create the main window.", L"Telegate",
                      MB_OK | MB_ICONERROR);
        return 1;
    }
    HHOOK hook = ::SetWindowsHookExW(WH_GETMESSAGE, &ShortcutHook, nullptr, ::GetCurrentThreadId());

    int rc = 0;
    {
        TOPCForm form(ctx, loop, folders.ExePath, &presenter);
        form.SetFolders(folders);
        form.SetPollingView(presenter.PollingView());
        // A configuration too large to poll opens the window to be repaired.
        form.SetRepairInsteadOfHalt(true);
        // The journal window shows the journal's last lines, live.
        form.SetJournalEcho(
            [&presenter](const std::string& line) { presenter.AddJournalLine(line); });
        // Exceptions of window, menu and tray events are logged as the loop's are.
        window.SetExceptionSink([&form](const char* what, const char* type) {
            form.ApplicationEvents1Exception(what != nullptr ? what : "",
                                             type != nullptr ? type : "");
        });
        app.Bind(form, presenter);
        app.ClientCount = [&ctx] { return static_cast<int>(ctx.Opc->GetServerCount()); };
        app.GroupCount = [&ctx] { return static_cast<int>(ctx.Opc->GetGroupCount()); };
        app.Register = options.RegisterOpcServer;
        if (options.RegisterOpcServer)
            app.RegisterElevated = [&window](bool reg) {
                return RegisterElevated(reg, window.Handle());
            };
        presenter.SetHelpFolders(ExecutableDir(), folders.WebDir);
        TGuiSession session{ctx, form, presenter, window, loop};
        form.OpcInit();
        std::shared_ptr<void> comClasses;
        std::string comError;
        if (options.OfferOpcServer)
            comClasses = options.OfferOpcServer(
                *ctx.Opc, [&loop, &form] { loop.post([&form] { form.CloseApplication(); }); },
                comError);
        form.FormCreate();
        if (!comError.empty())
            form.ReportFailure("com", "OPC-сервер недоступен клиентам COM: " + comError);
        app.AfterFormCreate();
        if (!form.Halted()) {
            form.OpcStart();
            notifier.Open();
            // The OPC counters every 500 ms, with or without polling.
            const IMainLoop::TimerId counters =
                loop.addTimer(500, [&presenter] { presenter.TimerTick(); });
            loop.startTimer(counters);
            // Once after an installation: where the program went.
            if (!options.Embedding && FirstStartAfterInstall())
                window.ShowBalloon("Telegate",
                                   "Telegate runs here, in the notification area. Double-click "
                                   "the icon to open its window.");
            if (options.OnStarted) options.OnStarted(session);
        }
        rc = loop.run();
        comClasses.reset();
        window.SetExceptionSink({});
        channels.Bind(nullptr);
        presenter.SetChannelPanel(nullptr);
    }
    if (hook != nullptr) ::UnhookWindowsHookEx(hook);
    presenter.Attach(nullptr);
    window.Destroy();
    return rc;
}

}  // namespace telegate::win32ui
