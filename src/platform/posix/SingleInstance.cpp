// The lock is a Unix socket bound to the name in the abstract namespace: the name
// is not a file, so it does not depend on a directory, an environment variable or
// the user, and the kernel frees it with the socket when the holder ends. (The
// abstract namespace belongs to the network namespace: a container with a network
// of its own has a lock of its own.)
#include "platform/SingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace telegate {

TSingleInstance::TSingleInstance(std::string name) : name_(std::move(name)) {}

TSingleInstance::~TSingleInstance() {
    Release();
}

bool TSingleInstance::TryAcquire() {
    if (fd_ >= 0) return true;
    error_.clear();
    another_ = false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace. The name is taken as is, without
    // a terminating zero.
    if (name_.empty() || name_.size() > sizeof addr.sun_path - 1) {
        error_ =
            "lock name must have 1 to " + std::to_string(sizeof addr.sun_path - 1) + " characters";
        return false;
    }
    std::memcpy(addr.sun_path + 1, name_.data(), name_.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("cannot create the lock socket: ") + std::strerror(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EADDRINUSE) {
            another_ = true;
            error_ = "another instance holds the lock \"" + name_ + "\"";
        } else {
            error_ = "cannot take the lock \"" + name_ + "\": " + std::strerror(err);
        }
        return false;
    }
    fd_ = fd;
    return true;
}

void TSingleInstance::Release() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

}  // namespace telegate
