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
    DWORD bytes = 0;
    const wchar_t* key = L"SOFTWARE\\Telegate";
    const wchar_t* value = L"DataFolder";
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, flags, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes < sizeof(wchar_t))
        return {};
    std::vector<wchar_t> buf(bytes / sizeof(wchar_t) + 1);
    bytes = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, flags, nullptr, buf.data(), &bytes) !=
        ERROR_SUCCESS)
        return {};
    return win32::FromWide(std::wstring_view(buf.data()));
}

}  // namespace telegate
