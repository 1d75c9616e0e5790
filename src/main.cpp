// The telegate executable. On Windows it runs the operator window (or, with
// --headless, without one); on Linux the program always runs without a window.
#include "app/Main.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "app/AppContext.h"
#include "platform/CloseRequest.h"
#include "platform/Paths.h"
#include "platform/PlainMainLoop.h"
#include "platform/SingleInstance.h"
#include "platform/StandardOutput.h"
#include "platform/SystemClock.h"
#include "support/LinePrinter.h"
#include "support/Notifier.h"
#ifdef _WIN32
#include <windows.h>

#include <memory>
#include <stdexcept>

#include "app/OperatorReport.h"
#include "app/win32/ServiceSetup.h"
#include "opc/win32/ComServer.h"
#include "platform/win32/Service.h"
#endif
#ifdef TELEGATE_GUI
#include "ui/win32/Gui.h"
#endif
#ifndef _WIN32
#include <unistd.h>
#endif

#ifndef TELEGATE_VERSION
#define TELEGATE_VERSION "0.1.0"
#endif

namespace telegate {
namespace win32 {
class TServiceControl;
}
namespace {

constexpr const char* kHelp =
    "Usage: telegate [OPTION]...\n"
    "IEC 60870-5-104 master with an OPC DA server and a web server.\n"
    "\n"
    "The program keeps its files (iec104.cfg, iec104sr.bin, cnf.ini, the program\n"
    "ini file named after the executable, error_iec104.log, zzz.dat, traces, the\n"
    "daily journal-YYYY-MM-DD.log) in its data folder and makes that folder its\n"
    "working directory: the folder of --data-dir; on Windows otherwise the one the\n"
    "installer recorded (HKLM\\SOFTWARE\\Telegate, DataFolder); otherwise the\n"
    "executable's folder. The web pages come from the folder \"web\" beside the\n"
    "executable unless --web-dir names another. Only one copy runs at a time.\n"
    "SIGINT or SIGTERM closes it as the operator would: the station configuration\n"
    "is written back to iec104.cfg (not when it did not load completely: then the\n"
    "file is kept and error_iec104.log says why) and the program exits with status 0.\n"
#ifdef _WIN32
    "On Windows a copy without a window closes the same way on Ctrl-C or Ctrl-Break\n"
    "in the console it was started from, on \"Telegate.exe --close\" (the named\n"
    "event Local\\Telegate-Close-<process id>, which any program of the same user\n"
    "may set), on \"taskkill /pid N\" (WM_CLOSE to its hidden window), and at\n"
    "log-off and shut-down. From an interactive command prompt, which does not wait\n"
    "for a Windows program, \"start /wait Telegate.exe ...\" gives the exit status.\n"
#endif
    "The message journal goes to standard output, one time-stamped line each; the\n"
    "category mask MBufFlag in the program ini file chooses which lines (65536 adds\n"
    "the link events: connects, disconnects, timer expiries).\n"
    "\n"
    "  --headless       run without a window (the Linux build always does)\n"
    "  --data-dir DIR   keep the operator's files in DIR (created when missing)\n"
    "  --web-dir DIR    serve the web pages from DIR\n"
    "  -Embedding       started by COM: the window stays in the notification area\n"
#ifdef _WIN32
    "  --service        run as the Windows service \"Telegate\" (started by the\n"
    "                   Service Control Manager; the journal goes to the data\n"
    "                   folder's journal_<yyyy-mm-dd>.txt)\n"
    "  /InstallService [--data-dir DIR]  install the service (administrator)\n"
    "  /UninstallService  stop and remove the service (administrator)\n"
    "  /RegServer, /UnregServer  register or remove the OPC server (administrator)\n"
    "  --close [PID]    close the copy running without a window as its operator\n"
    "                   would (PID: that process; otherwise every other copy) and\n"
    "                   wait up to 60 s for it to end; status 0 when it ended, 1\n"
    "                   when there was none to close, 3 when it still runs\n"
#endif
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Exit status: 0 on a normal close, 1 when another copy is running, the\n"
    "configuration could not be saved on close or has more than 20000 tags, 2 on a\n"
    "bad command line.\n";

unsigned long CurrentProcessId() {
#ifdef _WIN32
    return ::GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

// service: set when running as the Windows service.
int Run([[maybe_unused]] int comMode, const std::string& dataDir, const std::string& webDir,
        [[maybe_unused]] win32::TServiceControl* service = nullptr) {
    // Before any thread exists, so that every thread leaves the requests to it.
    TCloseRequests closeRequests;

    TSingleInstance lock("Telegate");
    bool locked = lock.TryAcquire();
#ifdef _WIN32
    // Started by COM while the previous COM-started copy is ending: wait for it.
    const bool byCom = comMode == static_cast<int>(opc::win32::TStartMode::Embedding);
    for (int i = 0; !locked && byCom && lock.AnotherInstance() && i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        locked = lock.TryAcquire();
    }
#endif
    if (!locked) {
        if (lock.AnotherInstance()) {
#ifdef _WIN32
            if (service != nullptr) {
                // A desktop copy polls: the SCM tries again later (restart on failure).
                const std::string text = "Telegate: another copy is running; the service stops";
                win32::ReportServiceEvent(true, text);
                if (EnterDataFolder(ProgramFolders(dataDir, webDir)).empty()) {
                    TSystemClock clock;
                    AppendExceptionLog(clock.Now(), text, "EServiceStart", kExceptionLogName);
                }
                return 1;
            }
            if (win32::ServiceIsActive()) {
                std::fputs("Telegate работает как служба Windows\n", stderr);
                return 1;
            }
#endif
            std::fputs("Приложение уже запущено!\n", stderr);
            return 1;
        }
        // The lock itself is unusable; as with a failed wait, start anyway.
        std::fprintf(stderr, "telegate: warning: no single-instance lock: %s\n",
                     lock.LastError().c_str());
    }
    // Another account squatting on the lock's name does not keep us from starting.
    if (!lock.Warning().empty())
        std::fprintf(stderr, "telegate: warning: %s\n", lock.Warning().c_str());

    const TProgramFolders folders = ProgramFolders(dataDir, webDir);
    if (const std::string why = EnterDataFolder(folders); !why.empty()) {
        std::fprintf(stderr, "telegate: %s\n", why.c_str());
        return 1;
    }

    TSystemClock clock;
#ifdef _WIN32
    // The service has no console: its boxes go to the event log, its journal to files.
    std::unique_ptr<INotifier> notifierPtr;
    if (service != nullptr)
        notifierPtr = std::make_unique<win32::TEventLogNotifier>();
    else
        notifierPtr = std::make_unique<TStderrNotifier>();
    INotifier& notifier = *notifierPtr;
    // The daily journal files of the data folder keep the service's journal; it has
    // no standard output to print it to.
    const TLinePrinter::TWrite journalWrite =
        service != nullptr ? TLinePrinter::TWrite([](std::string_view) { return true; })
                           : TLinePrinter::TWrite(WriteStandardOutput);
#else
    TStderrNotifier notifier;
    const TLinePrinter::TWrite journalWrite = WriteStandardOutput;
#endif
    // Made before the context so that it outlives the journal that echoes into it.
    TLinePrinter journalOut(journalWrite);
    TAppContext ctx(clock, notifier);
    TPlainMainLoop loop;
    TOPCForm form(ctx, loop, folders.ExePath);
    form.SetFolders(folders);
    form.SetJournalEcho([&journalOut](const std::string& line) { journalOut.Print(line); });
    form.SetPollingLog(
        [](const std::string& text) { std::fprintf(stderr, "telegate: %s\n", text.c_str()); });
    form.OpcInit();
#ifdef _WIN32
    // OPC clients reach the core through COM from here on; started by COM, the
    // program closes once its last client has gone.
    const auto mode = static_cast<opc::win32::TStartMode>(comMode);
    if (service != nullptr) {
        const std::string comError = opc::win32::OpenComForService();
        if (!comError.empty()) notifier.ShowError("OPC server: " + comError);
    }
    opc::win32::TComClassObjects comClasses(
        *ctx.Opc, mode, [&loop, &form] { loop.post([&form] { form.CloseApplication(); }); });
    const std::string comError = comClasses.Registered() ? std::string() : comClasses.LastError();
    if (!comError.empty())
        std::fprintf(stderr, "telegate: OPC server not offered to COM: %s\n", comError.c_str());
#endif
    form.FormCreate();
#ifdef _WIN32
    if (!comError.empty())
        form.ReportFailure("com", "OPC-сервер недоступен клиентам COM: " + comError);
#endif
    if (form.Halted()) return loop.run();  // a fatal stop: its exit code
    // OPC clients are served once start-up is done and polling runs. Headless on
    // Linux the core runs in this process only: no COM registration.
    form.OpcStart();

#ifdef _WIN32
    // The service is closed by the SCM's stop, pre-shutdown and shutdown controls.
    if (service != nullptr) {
        service->Running([&loop, &form] { loop.post([&form] { form.CloseApplication(); }); });
        ctx.MessBuff.Put(0, "Telegate service started in " + ctx.CurrentDir + " with " +
                                std::to_string(ctx.Stations.Kol_KP) + " station(s)",
                         clock.Now());
        const int rc = loop.run();
        ctx.MessBuff.Put(0, "Telegate service stopped, exit code " + std::to_string(rc),
                         clock.Now());
        if (rc != 0)
            win32::ReportServiceEvent(true,
                                      "Telegate stopped with exit code " + std::to_string(rc));
        return rc;
    }
#endif
    if (!closeRequests.Start([&loop, &form] { loop.post([&form] { form.CloseApplication(); }); })) {
        std::fprintf(stderr, "telegate: cannot watch close requests: %s\n",
                     closeRequests.LastError().c_str());
        return 1;
    }
    if (!closeRequests.LastError().empty())
        std::fprintf(stderr, "telegate: warning: %s\n", closeRequests.LastError().c_str());
    std::fprintf(stderr, "telegate: running in %s (%s) with %d station(s), process %lu\n",
                 ctx.CurrentDir.c_str(), DataFolderSourceName(folders.Source), ctx.Stations.Kol_KP,
                 CurrentProcessId());
    const int rc = loop.run();
    closeRequests.Stop();
    return rc;
}

#ifdef _WIN32
// True when the process runs with administrator rights (an elevated token).
bool ProcessIsElevated() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool ok =
        ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != FALSE;
    ::CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

// A handle the parent handed over that is not a console: a file, a pipe, NUL.
bool RedirectedHandle(HANDLE h) {
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN &&
           !::GetConsoleMode(h, &mode);
}

// A program of the GUI subsystem starts without a console. The modes that talk on
// the command line attach to the parent's console when it has one (for their
// output and for Ctrl-C), keep the standard output and error that the parent
// redirected (a file, a pipe), and send the others to that console.
bool UseParentConsole() {
    if (::GetConsoleWindow() != nullptr) return false;  // a console of our own already
    if (!::AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    const auto conout = [] {
        return ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    };
    if (!RedirectedHandle(::GetStdHandle(STD_OUTPUT_HANDLE))) {
        ::SetStdHandle(STD_OUTPUT_HANDLE, conout());
        if (std::freopen("CONOUT$", "w", stdout) == nullptr) return true;
    }
    if (!RedirectedHandle(::GetStdHandle(STD_ERROR_HANDLE))) {
        ::SetStdHandle(STD_ERROR_HANDLE, conout());
        if (std::freopen("CONOUT$", "w", stderr) == nullptr) return true;
        std::setvbuf(stderr, nullptr, _IONBF, 0);
    }
    return true;
}
#else
bool UseParentConsole() {
    return false;
}
#endif

}  // namespace
}  // namespace telegate

int main(int argc, char** argv) {
    bool headless = false;
    bool embedding = false;
    [[maybe_unused]] bool asService = false;
    [[maybe_unused]] int serviceSetup = 0;  // 1 install, -1 uninstall
    int comMode = 0;
    std::string dataDir;
    std::string webDir;
#ifdef _WIN32
    // COM's switches first: /RegServer and /UnregServer end the process here.
    const auto mode = telegate::opc::win32::TakeStartMode(argc, argv);
    if (mode == telegate::opc::win32::TStartMode::Register ||
        mode == telegate::opc::win32::TStartMode::Unregister) {
        telegate::UseParentConsole();
        return telegate::opc::win32::RegisterByStartMode(mode);
    }
    comMode = static_cast<int>(mode);
    embedding = mode == telegate::opc::win32::TStartMode::Embedding;
#endif
    // Anything but the window talks on the command line (the window lets go of the
    // console again below, so that the console's Ctrl-C does not end it).
    bool attached = false;
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) != "-Embedding" &&
            std::string_view(argv[i]) != "/Embedding") {
            attached = telegate::UseParentConsole();
            break;
        }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
#ifdef _WIN32
        if (arg == "--close") {
            unsigned long pid = 0;
            if (i + 1 < argc) {
                char* end = nullptr;
                pid = std::strtoul(argv[i + 1], &end, 10);
                if (end == argv[i + 1] || *end != '\0' || pid == 0) {
                    std::fprintf(stderr, "telegate: --close: '%s' is not a process id\n",
                                 argv[i + 1]);
                    return 2;
                }
            }
            std::string report;
            const int rc = telegate::RequestClose(pid, 60000, report);
            std::fprintf(rc == 0 ? stdout : stderr, "telegate: %s\n", report.c_str());
            return rc;
        }
#endif
        if (arg == "--help" || arg == "-h") {
            std::fputs(telegate::kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("telegate %s\n", TELEGATE_VERSION);
            return 0;
        }
        if (arg == "--headless") {
            headless = true;
            continue;
        }
        if (arg == "-Embedding" || arg == "/Embedding") {
            embedding = true;
            continue;
        }
#ifdef _WIN32
        if (arg == "--service") {
            asService = true;
            continue;
        }
        if (telegate::opc::win32::SwitchIs(arg, "INSTALLSERVICE") ||
            telegate::opc::win32::SwitchIs(arg, "UNINSTALLSERVICE")) {
            serviceSetup = telegate::opc::win32::SwitchIs(arg, "INSTALLSERVICE") ? 1 : -1;
            continue;
        }
#endif
        std::string* folder = nullptr;
        std::string_view name;
        for (auto [option, target] : {std::pair{std::string_view("--data-dir"), &dataDir},
                                      std::pair{std::string_view("--web-dir"), &webDir}}) {
            if (arg == option ||
                (arg.size() > option.size() && arg.substr(0, option.size()) == option &&
                 arg[option.size()] == '=')) {
                folder = target;
                name = option;
            }
        }
        if (folder != nullptr) {
            if (arg.size() > name.size())
                folder->assign(arg.substr(name.size() + 1));
            else if (i + 1 < argc)
                folder->assign(argv[++i]);
            if (folder->empty()) {
                std::fprintf(stderr, "telegate: option '%.*s' needs a folder\n",
                             static_cast<int>(name.size()), name.data());
                std::fputs("Try 'telegate --help' for more information.\n", stderr);
                return 2;
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            std::fprintf(stderr, "telegate: unrecognized option '%s'\n", argv[i]);
        else
            std::fprintf(stderr, "telegate: unexpected argument '%s'\n", argv[i]);
        std::fputs("Try 'telegate --help' for more information.\n", stderr);
        return 2;
    }
#ifdef _WIN32
    if (serviceSetup > 0)
        return telegate::win32::InstallServiceCommand(
            telegate::ExecutablePath(), dataDir, telegate::ProgramFolders(dataDir, webDir).DataDir);
    if (serviceSetup < 0) return telegate::win32::UninstallServiceCommand();
    if (asService) {
        int serviceRc = 1;
        const unsigned long err = telegate::win32::RunService(
            [comMode, &serviceRc, &dataDir, &webDir](telegate::win32::TServiceControl& control) {
                serviceRc = telegate::Run(comMode, dataDir, webDir, &control);
                return serviceRc;
            });
        if (err != 0) {
            std::fprintf(stderr,
                         "telegate: --service: not started by the Service Control Manager "
                         "(error %lu); use \"net start Telegate\"\n",
                         err);
            return 1;
        }
        return serviceRc;
    }
#endif
#ifdef TELEGATE_GUI
    if (!headless) {
        if (attached) ::FreeConsole();
        namespace com = telegate::opc::win32;
        telegate::win32ui::TGuiOptions options;
        options.Embedding = embedding;
        options.DataDir = dataDir;
        options.WebDir = webDir;
        // The class object lives from before the window's creation to the end of the
        // loop; started by COM, the program closes once its last client has gone.
        options.OfferOpcServer = [comMode](telegate::opc::sOPC& core, std::function<void()> close,
                                           std::string& error) {
            auto classes = std::make_shared<com::TComClassObjects>(
                core, static_cast<com::TStartMode>(comMode), std::move(close));
            error = classes->Registered() ? std::string() : classes->LastError();
            return std::shared_ptr<void>(classes);
        };
        // The menu's register and unregister commands: what /RegServer and
        // /UnregServer do. Refused for want of rights, the menu offers to run them
        // elevated.
        options.RegisterOpcServer = [](bool reg) -> telegate::TRegisterResult {
            using telegate::TRegisterOutcome;
            const int rc = com::RegisterByStartMode(reg ? com::TStartMode::Register
                                                        : com::TStartMode::Unregister);
            if (rc == 0) return {TRegisterOutcome::Done, {}};
            if (!telegate::ProcessIsElevated())
                return {TRegisterOutcome::NeedsAdmin, "the classes of all users are written"};
            return {TRegisterOutcome::Failed, "the registry refused a change (Telegate.exe " +
                                                  std::string(reg ? "/RegServer" : "/UnregServer") +
                                                  " in a command prompt shows which)"};
        };
        return telegate::win32ui::RunGui(options);
    }
#else
    (void)headless;
#endif
    (void)embedding;
    (void)attached;
    return telegate::Run(comMode, dataDir, webDir);
}
