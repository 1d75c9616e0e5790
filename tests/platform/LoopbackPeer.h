// Test helpers: a listener on 127.0.0.1 (ephemeral port) and the far end of an
// accepted connection, written straight on the system's sockets (BSD sockets or
// Winsock) so that the code under test is not used to test itself.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

namespace telegate::testing {

// The few socket calls that differ between the two systems. Sockets are kept in
// an int (Windows socket handles have 32 significant bits).
#ifdef _WIN32
inline SOCKET Sock(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned>(fd));
}
inline int NewSocket(bool nonBlocking) {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    u_long on = nonBlocking ? 1 : 0;
    ::ioctlsocket(s, FIONBIO, &on);
    return static_cast<int>(static_cast<unsigned>(s));
}
inline int AcceptSocket(int fd) {
    const SOCKET s = ::accept(Sock(fd), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(static_cast<unsigned>(s));
}
inline void CloseRawSocket(int fd) {
    ::closesocket(Sock(fd));
}
inline int PollIn(int fd, int timeoutMs) {
    WSAPOLLFD p{Sock(fd), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, timeoutMs);
}
inline long SendSome(int fd, const char* p, size_t n) {
    return ::send(Sock(fd), p, static_cast<int>(n), 0);
}
inline long RecvSome(int fd, char* p, size_t n) {
    return ::recv(Sock(fd), p, static_cast<int>(n), 0);
}
inline void SetOption(int fd, int level, int name, const void* v, int len) {
    ::setsockopt(Sock(fd), level, name, static_cast<const char*>(v), len);
}
#else
inline int Sock(int fd) {
    return fd;
}
inline int NewSocket(bool nonBlocking) {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}
inline int AcceptSocket(int fd) {
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}
inline void CloseRawSocket(int fd) {
    ::close(fd);
}
inline int PollIn(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs);
}
inline long SendSome(int fd, const char* p, size_t n) {
    return ::send(fd, p, n, MSG_NOSIGNAL);
}
inline long RecvSome(int fd, char* p, size_t n) {
    return ::recv(fd, p, n, 0);
}
inline void SetOption(int fd, int level, int name, const void* v, int len) {
    ::setsockopt(fd, level, name, v, static_cast<socklen_t>(len));
}
#endif

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
            const long r = SendSome(fd_, octets.data() + off, octets.size() - off);
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
            if (PollIn(fd_, static_cast<int>(left)) <= 0) break;
            char buf[4096];
            const long r = RecvSome(fd_, buf, sizeof buf);
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
            if (PollIn(fd_, static_cast<int>(left)) <= 0) return false;
            char buf[4096];
            const long r = RecvSome(fd_, buf, sizeof buf);
            if (r <= 0) return true;
        }
    }
    // Closes with a reset instead of an orderly end of stream.
    void Reset() {
        linger l{1, 0};
        SetOption(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (fd_ >= 0) CloseRawSocket(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

class TLoopbackListener {
  public:
    explicit TLoopbackListener(int backlog = 8) {
        fd_ = NewSocket(false);
        if (fd_ < 0) return;
#ifndef _WIN32  // on Windows this option would let others share the port
        int one = 1;
        SetOption(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(Sock(fd_), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(Sock(fd_), backlog) != 0) {
            Close();
            return;
        }
        socklen_t len = sizeof a;
        ::getsockname(Sock(fd_), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TLoopbackListener() {
        Close();
    }
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    bool Valid() const {
        return fd_ >= 0;
    }
    int Port() const {
        return port_;
    }
    // The next connection, or an invalid peer when none came within the time.
    TLoopbackPeer Accept(int timeoutMs) {
        if (PollIn(fd_, timeoutMs) <= 0) return TLoopbackPeer();
        return TLoopbackPeer(AcceptSocket(fd_));
    }
    void Close() {
        if (fd_ >= 0) CloseRawSocket(fd_);
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
    const int fd = NewSocket(true);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::connect(Sock(fd), reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

}  // namespace telegate::testing
