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
