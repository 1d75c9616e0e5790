#include "platform/StandardOutput.h"

#include <unistd.h>

#include <cerrno>

namespace telegate {

bool WriteStandardOutput(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // SIGPIPE is ignored: a closed pipe gives EPIPE
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace telegate
