// The lock is a listening Unix socket bound to the name in the abstract namespace:
// the name is not a file, so it does not depend on a directory, an environment
// variable or the user, and the kernel frees it with the socket when the holder
// ends. (The abstract namespace belongs to the network namespace: a container with
// a network of its own has a lock of its own.)
//
// Any local account can bind an abstract name, so a name in use proves nothing by
// itself: the holder is asked for its credentials (SO_PEERCRED of a connection to
// it). A holder of our own account or root is another instance. Any other holder,
// or one that does not answer as an instance does (every instance listens and
// accepts), is a squatter: its name is ignored, said in Warning(), and the lock is
// taken under a name of our own account instead.
#include "platform/SingleInstance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace telegate {

namespace {

constexpr int kProbeAttempts = 50;  // ~0.5 s for a starting holder to listen
constexpr int kProbePauseMs = 10;

}  // namespace

TSingleInstance::TSingleInstance(std::string name) : name_(std::move(name)) {}

TSingleInstance::~TSingleInstance() {
    Release();
}

TSingleInstance::TTry TSingleInstance::TryName(const std::string& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace. The name is taken as is, without
    // a terminating zero.
    if (name.empty() || name.size() > sizeof addr.sun_path - 1) {
        error_ =
            "lock name must have 1 to " + std::to_string(sizeof addr.sun_path - 1) + " characters";
        return TTry::Error;
    }
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("cannot create the lock socket: ") + std::strerror(errno);
        return TTry::Error;
    }
    if (::bind(fd, sa, len) == 0) {
        if (::listen(fd, 16) != 0) {
            error_ = "cannot listen on the lock \"" + name + "\": " + std::strerror(errno);
            ::close(fd);
            return TTry::Error;
        }
        fd_ = fd;
        // Answers the credential questions of later starts.
        stopping_.store(false);
        acceptor_ = std::thread([this, fd] {
            while (!stopping_.load()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0 || stopping_.load()) continue;
                if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
                const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (c >= 0) ::close(c);
            }
        });
        return TTry::Acquired;
    }
    const int err = errno;
    ::close(fd);
    if (err != EADDRINUSE) {
        error_ = "cannot take the lock \"" + name + "\": " + std::strerror(err);
        return TTry::Error;
    }
    // Who holds it?
    for (int i = 0; i < kProbeAttempts; ++i) {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (probe < 0) break;
        if (::connect(probe, sa, len) == 0) {
            ucred cred{};
            socklen_t credLen = sizeof cred;
            const bool known = ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0;
            ::close(probe);
            if (!known) break;
            if (cred.uid == ::geteuid() || cred.uid == 0) {
                another_ = true;
                error_ = "another instance holds the lock \"" + name_ + "\"";
                return TTry::Another;
            }
            warning_ += "the lock name \"" + name + "\" is held by a process of user " +
                        std::to_string(cred.uid) + ", not by an instance; ignored. ";
            return TTry::Foreign;
        }
        ::close(probe);
        std::this_thread::sleep_for(std::chrono::milliseconds(kProbePauseMs));
    }
    warning_ += "the lock name \"" + name +
                "\" is held by a process that does not answer as an instance; ignored. ";
    return TTry::Foreign;
}

bool TSingleInstance::TryAcquire() {
    if (fd_ >= 0) return true;
    error_.clear();
    warning_.clear();
    another_ = false;
    switch (TryName(name_)) {
        case TTry::Acquired:
            return true;
        case TTry::Another:
        case TTry::Error:
            return false;
        case TTry::Foreign:
            break;
    }
    // Instances of this account still keep to one under a name of its own.
    switch (TryName(name_ + ".uid" + std::to_string(::geteuid()))) {
        case TTry::Acquired:
            return true;
        case TTry::Another:
            return false;
        case TTry::Error:
        case TTry::Foreign:
            warning_ += "Running without a single-instance lock.";
            return true;
    }
    return true;
}

void TSingleInstance::Release() {
    if (fd_ < 0) return;
    stopping_.store(true);
    ::shutdown(fd_, SHUT_RDWR);  // wakes the acceptor at once
    if (acceptor_.joinable()) acceptor_.join();
    ::close(fd_);
    fd_ = -1;
}

}  // namespace telegate
