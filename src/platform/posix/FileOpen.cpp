// The operating-system side of OpenFileUtf8 and AppendToFileUtf8 (support/FileNames.h).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/FileNames.h"

namespace telegate {

std::FILE* OpenFileUtf8(const std::string& utf8Name, const char* mode) {
    // "e": close-on-exec, so a started child never holds our files.
    const std::string m = std::string(mode) + "e";
    return std::fopen(utf8Name.c_str(), m.c_str());
}

bool AppendToFileUtf8(const std::string& utf8Name, std::string_view bytes) {
    const int fd = ::open(utf8Name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
    return left == 0;
}

}  // namespace telegate
