#include "platform/Paths.h"

#include <windows.h>

#include <vector>

#include "platform/win32/Wide.h"

namespace telegate {

std::string ExecutablePath() {
    std::vector<wchar_t> buf(MAX_PATH);
    for (int attempt = 0; attempt < 6; ++attempt) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return std::string();
        if (n < buf.size()) return win32::FromWide(std::wstring_view(buf.data(), n));
        buf.resize(buf.size() * 2);  // truncated: try a larger buffer
    }
    return std::string();
}

std::string ExecutableDir() {
    const std::string exe = ExecutablePath();
    const size_t slash = exe.find_last_of("\\/");
    if (slash == std::string::npos) return std::string();
    return exe.substr(0, slash + 1);
}

bool SetCurrentDirToExe() {
    const std::string dir = ExecutableDir();
    return !dir.empty() && ::SetCurrentDirectoryW(win32::ToWide(dir).c_str()) != 0;
}

}  // namespace telegate

namespace telegate {

std::string RecordedDataFolder() {
    // The installer writes the 64-bit view, which this 64-bit program reads.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telegate", 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return {};
    DWORD type = 0;
    DWORD bytes = 0;
    std::vector<wchar_t> buf;
    LSTATUS rc = ::RegQueryValueExW(key, L"DataFolder", nullptr, &type, nullptr, &bytes);
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && bytes > 0) {
        buf.assign(bytes / sizeof(wchar_t) + 1, L'\0');  // room for a missing terminator
        rc = ::RegQueryValueExW(key, L"DataFolder", nullptr, &type,
                                reinterpret_cast<BYTE*>(buf.data()), &bytes);
    }
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || buf.empty()) return {};
    std::wstring value(buf.data());
    if (type == REG_EXPAND_SZ) {
        const DWORD n = ::ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
        std::vector<wchar_t> expanded(n + 1, L'\0');
        if (n == 0 || ::ExpandEnvironmentStringsW(value.c_str(), expanded.data(), n + 1) == 0)
            return {};
        value.assign(expanded.data());
    }
    return win32::FromWide(value);
}

}  // namespace telegate
