#include "ui/win32/Gui.h"

#include <windows.h>
// After windows.h:
#include <commctrl.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/AppContext.h"
#include "app/DeviceList.h"
#include "app/Main.h"
#include "opc/Core.h"
#include "platform/Paths.h"
#include "platform/SingleInstance.h"
#include "platform/SystemClock.h"
#include "platform/win32/MessageLoop.h"
#include "support/Notifier.h"
#include "ui/ChannelPanelPresenter.h"
#include "ui/FormApplication.h"
#include "ui/MainWindowPresenter.h"
#include "ui/win32/Controls.h"
#include "ui/win32/MainWindow.h"

namespace telegate::win32ui {

namespace {

// Operator boxes of the application core, owned by the main window when it shows.
class TMessageBoxNotifier : public INotifier {
  public:
    void SetOwner(HWND owner) { owner_ = owner; }
    void ShowError(const std::string& text) override { Show(text, MB_ICONERROR); }
    void ShowMessage(const std::string& text) override { Show(text, MB_ICONINFORMATION); }

  private:
    void Show(const std::string& text, UINT icon) {
        HWND owner = owner_ != nullptr && ::IsWindowVisible(owner_) ? owner_ : nullptr;
        ::MessageBoxW(owner, Wide(text).c_str(), L"Telegate", MB_OK | icon);
    }
    HWND owner_ = nullptr;
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
        ::MessageBoxW(nullptr, L"Приложение уже запущено!", L"Telegate", MB_OK | MB_ICONWARNING);
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
    notifier.SetOwner(window.Handle());
    HHOOK hook = ::SetWindowsHookExW(WH_GETMESSAGE, &ShortcutHook, nullptr, ::GetCurrentThreadId());

    int rc = 0;
    {
        TOPCForm form(ctx, loop, folders.ExePath, &presenter);
        form.SetFolders(folders);
        form.SetPollingView(presenter.PollingView());
        // Exceptions of window, menu and tray events are logged as the loop's are.
        window.SetExceptionSink([&form](const char* what, const char* type) {
            form.ApplicationEvents1Exception(what != nullptr ? what : "",
                                             type != nullptr ? type : "");
        });
        app.Bind(form, presenter);
        app.ClientCount = [&ctx] { return static_cast<int>(ctx.Opc->GetServerCount()); };
        app.GroupCount = [&ctx] { return static_cast<int>(ctx.Opc->GetGroupCount()); };
        app.Register = options.RegisterOpcServer;
        TGuiSession session{ctx, form, presenter, window, loop};
        form.OpcInit();
        std::shared_ptr<void> comClasses;
        if (options.OfferOpcServer)
            comClasses = options.OfferOpcServer(
                *ctx.Opc, [&loop, &form] { loop.post([&form] { form.CloseApplication(); }); });
        form.FormCreate();
        app.AfterFormCreate();
        if (!form.Halted()) {
            form.OpcStart();
            // The OPC counters every 500 ms, with or without polling.
            const IMainLoop::TimerId counters =
                loop.addTimer(500, [&presenter] { presenter.TimerTick(); });
            loop.startTimer(counters);
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
