// The command-line side of the Windows service: /InstallService and
// /UninstallService (run by an administrator, normally the installer), and where
// the running service sends what a desktop copy would show in message boxes.
#pragma once

#include <string>

#include "support/Notifier.h"

namespace telegate::win32 {

// Installs (or updates) the service "Telegate" for this executable: the OPC server
// registered for COM with the service as its AppID, the data folder created and
// granted to the service's account, the service itself with its event source.
// dataDirOption: the --data-dir given with the switch (the service then gets it
// too), empty for the recorded folder. dataDir: the folder the service will use.
// Answers the process exit code; what happened goes to standard error.
int InstallServiceCommand(const std::string& exePath, const std::string& dataDirOption,
                          const std::string& dataDir);

// Stops and removes the service and its event source, and registers the OPC server
// for the desktop program again. Answers the process exit code.
int UninstallServiceCommand();

// Message boxes of the service: errors into the Application event log, both also
// on standard error (seen when the service's command line is run by hand).
class TEventLogNotifier : public INotifier {
  public:
    void ShowError(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
};

// The text a desktop copy shows when the service holds the single-instance lock.
constexpr const wchar_t* kRunsAsServiceText = L"Telegate работает как служба Windows";

}  // namespace telegate::win32
