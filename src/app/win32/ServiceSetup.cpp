#include "app/win32/ServiceSetup.h"

// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "opc/win32/ComServer.h"
#include "platform/win32/Service.h"
#include "platform/win32/Wide.h"
#include "support/FileNames.h"

namespace telegate::win32 {

namespace {

// COM for the registry steps (the category manager), for the command's duration.
class TComScope {
  public:
    TComScope() : FOk(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~TComScope() {
        if (FOk) ::CoUninitialize();
    }
    TComScope(const TComScope&) = delete;
    TComScope& operator=(const TComScope&) = delete;

  private:
    bool FOk;
};

bool SameFolder(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(Utf8Path(a), Utf8Path(b), ec);
}

// The folder without a closing separator, as a quoted argument needs it (a quote
// after a backslash would be escaped): a drive's root gets a "." after it.
std::string WithoutSlash(std::string dir) {
    while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    if (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir += '.';
    return dir;
}

}  // namespace

int InstallServiceCommand(const std::string& exePath, const std::string& dataDirOption,
                          const std::string& dataDir) {
    if (exePath.empty() || dataDir.empty()) {
        std::fputs("Telegate: /InstallService: the program's folders are unknown\n", stderr);
        return 1;
    }
    const std::string exeDir = exePath.substr(0, exePath.find_last_of("\\/") + 1);
    // The service's account may change its data folder; the program folder must
    // stay writable by administrators only.
    if (SameFolder(exeDir, dataDir)) {
        std::fprintf(stderr,
                     "Telegate: /InstallService: the data folder is the program folder (%s); "
                     "install with the installer or give --data-dir\n",
                     dataDir.c_str());
        return 1;
    }
    std::error_code ec;
    std::filesystem::create_directories(Utf8Path(dataDir), ec);
    if (ec) {
        std::fprintf(stderr, "Telegate: /InstallService: cannot create %s: %s\n", dataDir.c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::string error = GrantFolderToService(ToWide(WithoutSlash(dataDir)));
    if (!error.empty()) {
        std::fprintf(stderr, "Telegate: /InstallService: %s\n", error.c_str());
        return 1;
    }
    {
        TComScope com;
        try {
            opc::win32::UpdateRegistry(true);
            opc::win32::SetServerAppIdForService(true);
            if (!opc::win32::RegisterOPCServer())
                std::fputs("Telegate: /InstallService: the OPC category could not be set\n",
                           stderr);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "Telegate: /InstallService: %s\n", e.what());
            return 1;
        }
    }
    std::wstring extra;
    if (!dataDirOption.empty()) extra = L"--data-dir \"" + ToWide(WithoutSlash(dataDir)) + L"\"";
    error = InstallService(ToWide(exePath), extra);
    if (!error.empty()) {
        std::fprintf(stderr, "Telegate: /InstallService: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "Telegate: service \"Telegate\" installed (data folder %s)\n",
                 dataDir.c_str());
    return 0;
}

int UninstallServiceCommand() {
    int rc = 0;
    const std::string error = UninstallService();
    if (!error.empty()) {
        std::fprintf(stderr, "Telegate: /UninstallService: %s\n", error.c_str());
        rc = 1;
    }
    TComScope com;
    try {
        opc::win32::SetServerAppIdForService(false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Telegate: /UninstallService: %s\n", e.what());
        rc = 1;
    }
    if (rc == 0) std::fputs("Telegate: service \"Telegate\" removed\n", stderr);
    return rc;
}

void TEventLogNotifier::ShowError(const std::string& text) {
    ReportServiceEvent(true, text);
    std::fprintf(stderr, "telegate: %s\n", text.c_str());
}

void TEventLogNotifier::ShowMessage(const std::string& text) {
    ReportServiceEvent(false, text);
    std::fprintf(stderr, "telegate: %s\n", text.c_str());
}

}  // namespace telegate::win32
