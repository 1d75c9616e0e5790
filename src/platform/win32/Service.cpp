#include "platform/win32/Service.h"

// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/win32/Wide.h"

namespace telegate::win32 {

namespace {

constexpr const wchar_t* kEventLogKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Telegate";
constexpr const wchar_t* kServiceDescription =
    L"Polls the IEC 60870-5-104 stations of its configuration and serves their data to OPC DA "
    L"clients and web browsers.";
constexpr DWORD kResetFailuresAfterS = 24 * 3600;

std::string Failed(const char* what, DWORD err) {
    return std::string(what) + ": " + ErrorText(err);
}

// The running service. ServiceMain has no context argument: the dispatcher's one
// service reaches its run through this pointer, set by RunService for the duration.
struct TServiceRun {
    std::function<int(TServiceControl&)> body;
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex mu;
    SERVICE_STATUS status{};
    std::function<void()> onStop;
    bool stopping = false;

    // Under mu.
    void Report(DWORD state, DWORD accepted, DWORD waitHint) {
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = accepted;
        status.dwWaitHint = waitHint;
        status.dwCheckPoint =
            (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : status.dwCheckPoint + 1;
        if (handle != nullptr) ::SetServiceStatus(handle, &status);
    }
};

std::atomic<TServiceRun*> gRun{nullptr};

class TControl final : public TServiceControl {
  public:
    explicit TControl(TServiceRun& run) : FRun(run) {}
    void Running(std::function<void()> onStop) override {
        std::lock_guard lock(FRun.mu);
        FRun.onStop = std::move(onStop);
        FRun.Report(SERVICE_RUNNING,
                    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_SHUTDOWN, 0);
    }

  private:
    TServiceRun& FRun;
};

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void* context) {
    auto* run = static_cast<TServiceRun*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PRESHUTDOWN:
        case SERVICE_CONTROL_SHUTDOWN: {
            std::function<void()> onStop;
            {
                std::lock_guard lock(run->mu);
                if (run->stopping) return NO_ERROR;
                run->stopping = true;
                onStop = run->onStop;
                run->Report(SERVICE_STOP_PENDING, 0, kStopWaitMs);
            }
            if (onStop) onStop();
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    TServiceRun* run = gRun.load();
    if (run == nullptr) return;
    run->handle = ::RegisterServiceCtrlHandlerExW(kServiceName, OnControl, run);
    if (run->handle == nullptr) return;
    {
        std::lock_guard lock(run->mu);
        run->Report(SERVICE_START_PENDING, 0, kStopWaitMs);
    }
    TControl control(*run);
    int rc = 1;
    try {
        rc = run->body(control);
    } catch (const std::exception& e) {
        ReportServiceEvent(true, std::string("Telegate stopped: ") + e.what());
    } catch (...) {
        ReportServiceEvent(true, "Telegate stopped by an unknown exception");
    }
    std::lock_guard lock(run->mu);
    if (rc == 0) {
        run->status.dwWin32ExitCode = NO_ERROR;
        run->status.dwServiceSpecificExitCode = 0;
    } else {
        run->status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        run->status.dwServiceSpecificExitCode = static_cast<DWORD>(rc);
    }
    run->Report(SERVICE_STOPPED, 0, 0);
}

// An open handle of the SCM or of a service, closed with the object.
class TScHandle {
  public:
    explicit TScHandle(SC_HANDLE h = nullptr) : FH(h) {}
    ~TScHandle() {
        if (FH != nullptr) ::CloseServiceHandle(FH);
    }
    TScHandle(const TScHandle&) = delete;
    TScHandle& operator=(const TScHandle&) = delete;
    SC_HANDLE get() const { return FH; }
    explicit operator bool() const { return FH != nullptr; }

  private:
    SC_HANDLE FH;
};

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& st) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st),
                                  sizeof st, &needed) != 0;
}

std::string RegisterEventSource(const std::wstring& exePath) {
    HKEY key = nullptr;
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                &key, nullptr);
    if (rc != ERROR_SUCCESS) return Failed("registering the event source", static_cast<DWORD>(rc));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(exePath.c_str()),
                          static_cast<DWORD>((exePath.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
        rc = ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string()
                               : Failed("registering the event source", static_cast<DWORD>(rc));
}

// A Service Control Manager that does not know a setting's level (not Windows:
// Wine's) gets it as the value Windows' own keeps in the service's key, so that the
// setting is there once the service runs on a system that reads it. True when stored.
bool StoreWhereUnsupported(const wchar_t* name) {
    if (::GetLastError() != ERROR_INVALID_LEVEL) return false;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Telegate", 0,
                        KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const DWORD one = 1;
    const bool ok = ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                     sizeof one) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    if (!ok) ::SetLastError(ERROR_INVALID_LEVEL);
    return ok;
}

// Sets what CreateServiceW cannot: description, delayed start, restarts,
// pre-shutdown time. Every failure is collected.
std::string ConfigureService(SC_HANDLE service) {
    std::string errors;
    auto check = [&errors](BOOL ok, const char* what) {
        if (ok) return;
        if (!errors.empty()) errors += "; ";
        errors += Failed(what, ::GetLastError());
    };
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kServiceDescription)};
    check(::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description),
          "setting the description");
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    check(::ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed) ||
              StoreWhereUnsupported(L"DelayedAutostart"),
          "setting the delayed start");
    SC_ACTION actions[std::size(kRestartDelaysMs)];
    for (size_t i = 0; i < std::size(kRestartDelaysMs); ++i)
        actions[i] = SC_ACTION{SC_ACTION_RESTART, kRestartDelaysMs[i]};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = kResetFailuresAfterS;
    failure.cActions = static_cast<DWORD>(std::size(actions));
    failure.lpsaActions = actions;
    check(::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure),
          "setting the restarts");
    // A stop with a non-zero exit code (a start-up that failed) restarts it too.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    check(::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) ||
              StoreWhereUnsupported(L"FailureActionsOnNonCrashFailures"),
          "setting the restarts after an error exit");
    SERVICE_PRESHUTDOWN_INFO preshutdown{kStopWaitMs};
    check(::ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown),
          "setting the pre-shutdown time");
    return errors;
}

}  // namespace

unsigned long RunService(std::function<int(TServiceControl&)> body) {
    TServiceRun run;
    run.body = std::move(body);
    TServiceRun* expected = nullptr;
    if (!gRun.compare_exchange_strong(expected, &run)) return ERROR_SERVICE_ALREADY_RUNNING;
    wchar_t name[] = L"Telegate";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    const DWORD rc = ::StartServiceCtrlDispatcherW(table) ? NO_ERROR : ::GetLastError();
    gRun.store(nullptr);
    return rc;
}

void ReportServiceEvent(bool error, const std::string& text) {
    HANDLE log = ::RegisterEventSourceW(nullptr, kEventSource);
    if (log == nullptr) return;
    const std::wstring wide = ToWide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ::ReportEventW(log, error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0, error ? 1u : 2u,
                   nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
}

bool ServiceIsActive() {
    TScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    TScHandle service(::OpenServiceW(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS st{};
    if (!service || !QueryStatus(service.get(), st)) return false;
    return st.dwCurrentState != SERVICE_STOPPED;
}

long ServiceExitCode() {
    TScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return -1;
    TScHandle service(::OpenServiceW(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS st{};
    if (!service || !QueryStatus(service.get(), st)) return -1;
    return static_cast<long>(st.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                                 ? st.dwServiceSpecificExitCode
                                 : st.dwWin32ExitCode);
}

std::string InstallService(const std::wstring& exePath, const std::wstring& extraArgs) {
    TScHandle scm(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm) return Failed("opening the Service Control Manager", ::GetLastError());
    std::wstring command = L"\"" + exePath + L"\" --service";
    if (!extraArgs.empty()) command += L" " + extraArgs;
    TScHandle service(::CreateServiceW(scm.get(), kServiceName, kServiceDisplayName,
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                       nullptr, nullptr, nullptr, kServiceAccount, L""));
    if (!service) {
        const DWORD err = ::GetLastError();
        if (err != ERROR_SERVICE_EXISTS) return Failed("creating the service", err);
        // Installed before (an update): the same settings again.
        TScHandle existing(::OpenServiceW(scm.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!existing) return Failed("opening the service", ::GetLastError());
        if (!::ChangeServiceConfigW(existing.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    nullptr, kServiceAccount, L"", kServiceDisplayName))
            return Failed("updating the service", ::GetLastError());
        std::string errors = ConfigureService(existing.get());
        const std::string source = RegisterEventSource(exePath);
        return errors.empty() ? source : errors;
    }
    std::string errors = ConfigureService(service.get());
    const std::string source = RegisterEventSource(exePath);
    return errors.empty() ? source : errors;
}

std::string UninstallService() {
    TScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Failed("opening the Service Control Manager", ::GetLastError());
    std::string error;
    TScHandle service(
        ::OpenServiceW(scm.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD err = ::GetLastError();
        if (err != ERROR_SERVICE_DOES_NOT_EXIST) return Failed("opening the service", err);
    } else {
        SERVICE_STATUS_PROCESS st{};
        if (QueryStatus(service.get(), st) && st.dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS ignored{};
            ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
            while (QueryStatus(service.get(), st) && st.dwCurrentState != SERVICE_STOPPED &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (st.dwCurrentState != SERVICE_STOPPED)
                error = "the service did not stop within " + std::to_string(kStopWaitMs / 1000) +
                        " s; it is removed once it has stopped";
        }
        if (!::DeleteService(service.get())) {
            const DWORD err = ::GetLastError();
            if (err != ERROR_SERVICE_MARKED_FOR_DELETE) return Failed("removing the service", err);
        }
    }
    const LONG rc = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventLogKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && error.empty())
        error = Failed("removing the event source", static_cast<DWORD>(rc));
    return error;
}

std::string GrantFolderToService(const std::wstring& folder) {
    // S-1-5-19: NT AUTHORITY\LocalService, by its well-known identifier (the
    // account's name is translated on other languages' systems).
    BYTE sidBuf[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sidBuf;
    if (!::CreateWellKnownSid(WinLocalServiceSid, nullptr, sidBuf, &sidSize))
        return Failed("naming LocalService", ::GetLastError());
    PACL oldAcl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &oldAcl, nullptr, &sd);
    if (rc != ERROR_SUCCESS) return Failed("reading the data folder's permissions", rc);
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions =
        FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sidBuf);
    PACL newAcl = nullptr;
    rc = ::SetEntriesInAclW(1, &access, oldAcl, &newAcl);
    if (rc == ERROR_SUCCESS)
        rc = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION, nullptr, nullptr, newAcl, nullptr);
    if (newAcl != nullptr) ::LocalFree(newAcl);
    if (sd != nullptr) ::LocalFree(sd);
    return rc == ERROR_SUCCESS ? std::string()
                               : Failed("granting the data folder to LocalService", rc);
}

}  // namespace telegate::win32
