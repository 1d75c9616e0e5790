#include "SimNet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace telegate::sim::net {

namespace {

int Fd(TSocket s) {
    return static_cast<int>(s);
}

std::string ErrnoText() {
    return std::strerror(errno);
}

bool Transient(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

}  // namespace

std::string Startup() {
    ::signal(SIGPIPE, SIG_IGN);
    return {};
}

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

TSocket Listen(const std::string& addr, int& port, std::string& error) {
    in_addr ia{};
    if (::inet_pton(AF_INET, addr.c_str(), &ia) != 1) {
        error = "bad bind address " + addr;
        return kNoSocket;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = "socket: " + ErrnoText();
        return kNoSocket;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = ia;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        error = "cannot listen on " + addr + ":" + std::to_string(port) + ": " + ErrnoText();
        ::close(fd);
        return kNoSocket;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

TSocket Accept(TSocket listener, std::string& peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&sa), &len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return kNoSocket;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
    peer = std::string(host) + ":" + std::to_string(ntohs(sa.sin_port));
    return fd;
}

TSocket ConnectLoopback(int port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "socket: " + ErrnoText();
        return kNoSocket;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "connect: " + ErrnoText();
        ::close(fd);
        return kNoSocket;
    }
    return fd;
}

bool MakePair(TSocket& a, TSocket& b, std::string& error) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        error = "socketpair: " + ErrnoText();
        return false;
    }
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL, 0) | O_NONBLOCK);
    a = fds[0];
    b = fds[1];
    return true;
}

void Close(TSocket s) {
    if (s != kNoSocket) ::close(Fd(s));
}

TIo Receive(TSocket s, void* buf, size_t size) {
    // read() rather than recv(): standard input may be a pipe or a terminal.
    const ssize_t n = ::read(Fd(s), buf, size);
    if (n > 0) return {EIo::Done, static_cast<size_t>(n), {}};
    if (n == 0) return {EIo::Closed, 0, {}};
    if (Transient(errno)) return {EIo::WouldBlock, 0, {}};
    return {EIo::Failed, 0, ErrnoText()};
}

TIo Send(TSocket s, const void* data, size_t size) {
    const ssize_t n = ::send(Fd(s), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return {EIo::Done, static_cast<size_t>(n), {}};
    if (Transient(errno)) return {EIo::WouldBlock, 0, {}};
    return {EIo::Failed, 0, ErrnoText()};
}

bool Wait(std::vector<TWaitItem>& items, int timeoutMs, std::string& error) {
    std::vector<pollfd> fds;
    fds.reserve(items.size());
    for (TWaitItem& it : items) {
        it.readable = it.writable = it.broken = false;
        const short ev = static_cast<short>(POLLIN | (it.write ? POLLOUT : 0));
        fds.push_back({it.socket == kNoSocket ? -1 : Fd(it.socket), ev, 0});
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
        if (errno == EINTR) return true;
        error = ErrnoText();
        return false;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const short re = fds[i].revents;
        items[i].readable = (re & POLLIN) != 0;
        items[i].writable = (re & POLLOUT) != 0;
        items[i].broken = (re & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return true;
}

TSocket StandardInput() {
    return STDIN_FILENO;
}

// SIGINT and SIGTERM are blocked and read from a signalfd.
struct TStopRequests::Impl {
    int fd = -1;
};

TStopRequests::TStopRequests() : impl_(std::make_unique<Impl>()) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    impl_->fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

TStopRequests::~TStopRequests() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

TSocket TStopRequests::Socket() const {
    return impl_->fd < 0 ? kNoSocket : impl_->fd;
}

std::string TStopRequests::Take() {
    signalfd_siginfo si;
    if (impl_->fd < 0 || ::read(impl_->fd, &si, sizeof si) != static_cast<ssize_t>(sizeof si))
        return {};
    return "signal " + std::to_string(si.ssi_signo);
}

}  // namespace telegate::sim::net
