// Telegate as a Windows service: the running side under the Service Control
// Manager (start, the stop/pre-shutdown/shutdown controls, the exit code), the
// Application event log, and the installation of the service itself.
#pragma once

#include <functional>
#include <string>

namespace telegate::win32 {

constexpr const wchar_t* kServiceName = L"Telegate";
constexpr const wchar_t* kServiceDisplayName = L"Telegate IEC 60870-5-104 gateway";
constexpr const wchar_t* kServiceAccount = L"NT AUTHORITY\\LocalService";
constexpr const wchar_t* kEventSource = L"Telegate";
// The restarts after a failure, in milliseconds; the failure count is reset after a day.
constexpr unsigned long kRestartDelaysMs[] = {10000, 30000, 60000};
// How long the SCM gives the operator's close at a stop and before a shut-down.
constexpr unsigned long kStopWaitMs = 30000;

// What a running service body tells the Service Control Manager.
class TServiceControl {
  public:
    virtual ~TServiceControl() = default;
    // Start-up is done: the service is reported running and accepts stop,
    // pre-shutdown and shutdown from now on. onStop runs once, on the SCM's handler
    // thread, at the first of them (it typically posts the close to the main loop).
    virtual void Running(std::function<void()> onStop) = 0;
};

// Runs body as the service "Telegate" (StartServiceCtrlDispatcherW; the calling
// thread waits in the dispatcher until the service has stopped). The body's
// answer is the exit code: 0 is reported as SERVICE_STOPPED without an error,
// any other value as a service-specific exit code. Answers 0 once the service has
// run, or the Win32 error of the dispatcher (1063 when the process was not started
// by the SCM). Only one call per process.
unsigned long RunService(std::function<int(TServiceControl&)> body);

// One entry of the Application event log under the source "Telegate" (registered by
// InstallService). Never throws; a log that cannot be written is ignored.
void ReportServiceEvent(bool error, const std::string& text);

// Whether the service "Telegate" exists and is not stopped (starting, running,
// stopping). False when it cannot be told.
bool ServiceIsActive();

// The same as an exit code of the service, as the SCM last reported it: the
// service-specific code when there is one, otherwise the Win32 code; -1 when the
// service cannot be queried.
long ServiceExitCode();

// Creates (or updates) the service: exePath started with "--service" and the extra
// arguments (already quoted as the command line needs them), automatic delayed
// start, the restarts above (also after a non-zero exit), running as LocalService;
// registers the event source. Answers an empty string or what failed.
std::string InstallService(const std::wstring& exePath, const std::wstring& extraArgs);

// Stops the service (waiting up to kStopWaitMs for the operator's close) and removes
// it and its event source. A service that is not installed is no error. Answers an
// empty string or what failed.
std::string UninstallService();

// Lets LocalService change what is in folder (and in everything created below it).
// Answers an empty string or what failed.
std::string GrantFolderToService(const std::wstring& folder);

}  // namespace telegate::win32
