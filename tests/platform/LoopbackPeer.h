// Test helpers: a listener on 127.0.0.1 (ephemeral port) and the far end of an
// accepted connection, written straight on POSIX sockets so that the code under
// test is not used to test itself.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

namespace telegate::testing {

inline long long TestNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One accepted connection, seen from the station's side.
class TLoopbackPeer {
  public:
    TLoopbackPeer() = default;
    explicit TLoopbackPeer(int fd) : fd_(fd) {}
    ~TLoopbackPeer() { Close(); }
    TLoopbackPeer(TLoopbackPeer&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    TLoopbackPeer& operator=(TLoopbackPeer&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    bool Send(const std::string& octets) {
        size_t off = 0;
        while (off < octets.size()) {
            ssize_t r = ::send(fd_, octets.data() + off, octets.size() - off, MSG_NOSIGNAL);
            if (r <= 0) return false;
            off += static_cast<size_t>(r);
        }
        return true;
    }
    // Collects octets until n have come or the time is over.
    std::string Receive(size_t n, int timeoutMs) {
        std::string got;
        const long long end = TestNowMs() + timeoutMs;
        while (got.size() < n) {
            long long left = end - TestNowMs();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[4096];
            ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    // True when the other end has closed (end of stream or reset) within the time.
    bool WaitClosed(int timeoutMs) {
        const long long end = TestNowMs() + timeoutMs;
        for (;;) {
            long long left = end - TestNowMs();
            if (left <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buf[4096];
            ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r <= 0) return true;
        }
    }
    // Closes with a reset instead of an orderly end of stream.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

class TLoopbackListener {
  public:
    explicit TLoopbackListener(int backlog = 8) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd_, backlog) != 0) {
            Close();
            return;
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TLoopbackListener() { Close(); }
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    bool Valid() const { return fd_ >= 0; }
    int Port() const { return port_; }
    // The next connection, or an invalid peer when none came within the time.
    TLoopbackPeer Accept(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return TLoopbackPeer();
        return TLoopbackPeer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on 127.0.0.1 where nobody listens (bound once, then released).
inline int ClosedLoopbackPort() {
    TLoopbackListener l;
    return l.Port();
}

// Raw connection to a port from the test side, used to fill a listener's queue.
inline int RawConnect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

}  // namespace telegate::testing
