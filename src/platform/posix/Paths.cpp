#include "platform/Paths.h"

#include <unistd.h>

#include <system_error>
#include <vector>

namespace telegate {

std::string ExecutablePath() {
    std::vector<char> buf(4096);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
    return std::string();
}

std::string ExecutableDir() {
    const std::string exe = ExecutablePath();
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return std::string();
    return exe.substr(0, slash + 1);
}

bool SetCurrentDirToExe() {
    const std::string dir = ExecutableDir();
    return !dir.empty() && ::chdir(dir.c_str()) == 0;
}

}  // namespace telegate

namespace telegate {

// Only the Windows installer records a data folder.
std::string RecordedDataFolder() {
    return {};
}

}  // namespace telegate
