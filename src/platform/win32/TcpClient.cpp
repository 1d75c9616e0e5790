// TCP client and wake event on Winsock 2. Sockets live in the int fields of the
// shared header: Windows socket handles have 32 significant bits. Waits use
// select(), which also reports a failed non-blocking connect (in the except set).
#include "platform/TcpClient.h"

// Before winsock2.h: a wait covers a socket and the wake event, never more than a
// handful; the default of 64 would do, this leaves room.
#define FD_SETSIZE 256
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>

#include "platform/win32/Wide.h"

namespace telegate {

namespace {

long long SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int RemainingMs(long long deadlineMs) {
    long long left = deadlineMs - SteadyMs();
    if (left <= 0) return 0;
    if (left > 1'000'000'000LL) return 1'000'000'000;
    return static_cast<int>(left);
}

// Winsock is started once per process and stays up until it ends.
void EnsureWinsock() {
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) throw std::runtime_error("WSAStartup: " + win32::ErrorText(started));
}

SOCKET Sock(int fd) {
    return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<unsigned>(fd)));
}

int FdOf(SOCKET s) {
    return static_cast<int>(static_cast<unsigned>(s));
}

std::string ErrText(int err) {
    return win32::ErrorText(static_cast<DWORD>(err));
}

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

// Waits on up to two sockets. Returns select's result; the sets say which is ready.
int SelectMs(fd_set* rd, fd_set* wr, fd_set* ex, int ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    const bool any = (rd && rd->fd_count) || (wr && wr->fd_count) || (ex && ex->fd_count);
    if (!any) {
        // select() refuses empty sets on Windows.
        ::Sleep(static_cast<DWORD>(ms));
        return 0;
    }
    return ::select(0, rd, wr, ex, &tv);
}

}  // namespace

// ---------------------------------------------------------------- TWakeEvent
// A UDP socket on loopback connected to itself: Signal() sends it one datagram,
// so the wake event is a socket that select() can watch beside the connection.

TWakeEvent::TWakeEvent() {
    EnsureWinsock();
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("wake socket: " + ErrText(::WSAGetLastError()));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || !SetNonBlocking(s)) {
        const int err = ::WSAGetLastError();
        ::closesocket(s);
        throw std::runtime_error("wake socket: " + ErrText(err));
    }
    fd_ = FdOf(s);
}

TWakeEvent::~TWakeEvent() {
    if (fd_ >= 0) ::closesocket(Sock(fd_));
}

void TWakeEvent::Signal() noexcept {
    const char one = 1;
    // A full buffer (never in practice) still leaves a pending signal.
    ::send(Sock(fd_), &one, 1, 0);
}

void TWakeEvent::Drain() noexcept {
    char buf[64];
    while (::recv(Sock(fd_), buf, sizeof buf, 0) > 0) {
    }
}

bool TWakeEvent::WaitFor(int ms) noexcept {
    const long long deadline = SteadyMs() + (ms < 0 ? 0 : ms);
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(Sock(fd_), &rd);
        const int r = SelectMs(&rd, nullptr, nullptr, RemainingMs(deadline));
        if (r > 0) {
            Drain();
            return true;
        }
        if (r == 0 || RemainingMs(deadline) <= 0) return false;
    }
}

bool TWakeEvent::SleepFor(int ms, const std::function<bool()>& stop) {
    if (stop && stop()) return true;
    const long long deadline = SteadyMs() + (ms < 0 ? 0 : ms);
    for (;;) {
        int left = RemainingMs(deadline);
        if (left <= 0) return false;
        if (WaitFor(left) && stop && stop()) return true;
    }
}

// ---------------------------------------------------------------- TTcpClient

TTcpClient::TTcpClient(TWakeEvent* wake, std::function<bool()> cancelled)
    : wake_(wake), cancelled_(std::move(cancelled)) {
    EnsureWinsock();
}

TTcpClient::~TTcpClient() {
    Close();
}

void TTcpClient::Close() noexcept {
    if (fd_ >= 0) {
        ::closesocket(Sock(fd_));
        fd_ = -1;
    }
}

void TTcpClient::Dropped() {
    Close();
    if (onDisconnected_) onDisconnected_();
}

// events: POLLIN (readable), POLLOUT (writable; a failed connect counts too).
int TTcpClient::PollUntil(int fd, short events, long long deadlineMs, short* revents) {
    for (;;) {
        fd_set rd, wr, ex;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_ZERO(&ex);
        if (fd >= 0) {
            if (events & POLLIN) FD_SET(Sock(fd), &rd);
            if (events & POLLOUT) FD_SET(Sock(fd), &wr);
            FD_SET(Sock(fd), &ex);
        }
        if (wake_) FD_SET(Sock(wake_->Fd()), &rd);
        const int r = SelectMs(&rd, &wr, &ex, RemainingMs(deadlineMs));
        if (r < 0) return -1;
        if (r == 0) {
            if (RemainingMs(deadlineMs) <= 0) return 0;
            continue;
        }
        if (fd >= 0) {
            short rev = 0;
            if (FD_ISSET(Sock(fd), &rd)) rev |= POLLIN;
            if (FD_ISSET(Sock(fd), &wr)) rev |= POLLOUT;
            if (FD_ISSET(Sock(fd), &ex)) rev |= POLLERR;
            if (rev != 0) {
                if (revents) *revents = rev;
                return 1;
            }
        }
        if (wake_ && FD_ISSET(Sock(wake_->Fd()), &rd)) {
            wake_->Drain();
            return 2;
        }
    }
}

bool ResolvesToIPv4(const std::string& host) {
    if (host.empty()) return false;
    try {
        EnsureWinsock();
    } catch (const std::exception&) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (list != nullptr) ::freeaddrinfo(list);
    return gai == 0 && list != nullptr;
}

bool TTcpClient::Connect(const std::string& host, int port, int timeoutMs) {
    Close();
    host_ = host;
    port_ = port;
    lastError_.clear();
    if (port <= 0 || port > 65535) {
        lastError_ = "bad port " + std::to_string(port);
        return false;
    }
    const long long deadline = SteadyMs() + (timeoutMs < 0 ? 0 : timeoutMs);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (gai != 0 || list == nullptr) {
        lastError_ = "cannot resolve " + host + ": " + ErrText(gai);
        return false;
    }

    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        SOCKET s = ::WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) {
            lastError_ = "socket: " + ErrText(::WSAGetLastError());
            continue;
        }
        const int fd = FdOf(s);
        if (!SetNonBlocking(s)) {
            lastError_ = "socket: " + ErrText(::WSAGetLastError());
            ::closesocket(s);
            continue;
        }
        const int r = ::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
        if (r != 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) {
            lastError_ = "connect: " + ErrText(::WSAGetLastError());
            ::closesocket(s);
            continue;
        }
        bool ok = (r == 0);
        while (!ok) {
            short rev = 0;
            const int pr = PollUntil(fd, POLLOUT, deadline, &rev);
            if (pr == 2) {
                if (cancelled_ && cancelled_()) {
                    lastError_ = "connect cancelled";
                    ::closesocket(s);
                    ::freeaddrinfo(list);
                    return false;
                }
                continue;
            }
            if (pr == 0) {
                lastError_ = "connect timed out";
                ::closesocket(s);
                ::freeaddrinfo(list);
                return false;
            }
            if (pr < 0) {
                lastError_ = "select: " + ErrText(::WSAGetLastError());
                break;
            }
            int soerr = 0;
            int len = sizeof soerr;
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len) != 0)
                soerr = ::WSAGetLastError();
            if (soerr == 0 && (rev & POLLERR) != 0) soerr = WSAECONNREFUSED;
            if (soerr != 0) {
                lastError_ = "connect: " + ErrText(soerr);
                break;
            }
            ok = true;
        }
        if (!ok) {
            ::closesocket(s);
            continue;
        }
        BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        fd_ = fd;
        ::freeaddrinfo(list);
        return true;
    }
    ::freeaddrinfo(list);
    return false;
}

bool TTcpClient::Disconnect() {
    if (fd_ < 0) return true;
    const SOCKET s = Sock(fd_);
    fd_ = -1;
    ::shutdown(s, SD_BOTH);
    return ::closesocket(s) == 0;
}

size_t TTcpClient::Available() const {
    if (fd_ < 0) return 0;
    u_long n = 0;
    if (::ioctlsocket(Sock(fd_), FIONREAD, &n) != 0) return 0;
    return static_cast<size_t>(n);
}

long TTcpClient::Read(void* buf, size_t max, int timeoutMs) {
    if (fd_ < 0) return -1;
    if (max == 0) return 0;
    const int chunk = max > (1u << 30) ? (1 << 30) : static_cast<int>(max);
    const long long deadline = SteadyMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const int r = ::recv(Sock(fd_), static_cast<char*>(buf), chunk, 0);
        if (r > 0) return r;
        if (r == 0) {
            lastError_ = "connection closed by peer";
            Dropped();
            return -1;
        }
        const int err = ::WSAGetLastError();
        if (err == WSAEINTR) continue;
        if (err != WSAEWOULDBLOCK) {
            lastError_ = "recv: " + ErrText(err);
            Dropped();
            return -1;
        }
        if (RemainingMs(deadline) <= 0) return 0;
        short rev = 0;
        const int pr = PollUntil(fd_, POLLIN, deadline, &rev);
        if (pr == 0 || pr == 2) return 0;
        if (pr < 0) return 0;
        // readable, closed or failed: the next recv tells which
    }
}

bool TTcpClient::WriteAll(const void* data, size_t len, int timeoutMs) {
    if (fd_ < 0) {
        lastError_ = "not connected";
        return false;
    }
    const long long deadline = SteadyMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    while (left > 0) {
        const int chunk = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
        const int r = ::send(Sock(fd_), p, chunk, 0);
        if (r > 0) {
            p += r;
            left -= static_cast<size_t>(r);
            continue;
        }
        const int err = r < 0 ? ::WSAGetLastError() : WSAECONNRESET;
        if (err == WSAEINTR) continue;
        if (err == WSAEWOULDBLOCK) {
            // Wait for room; wake signals are not ours to consume here.
            const int ms = RemainingMs(deadline);
            if (ms > 0) {
                fd_set wr, ex;
                FD_ZERO(&wr);
                FD_ZERO(&ex);
                FD_SET(Sock(fd_), &wr);
                FD_SET(Sock(fd_), &ex);
                if (SelectMs(nullptr, &wr, &ex, ms) > 0) continue;
            }
            lastError_ = "write stalled";
        } else {
            lastError_ = "send: " + ErrText(err);
        }
        // A partly written frame would desynchronise the stream: drop the link.
        Dropped();
        return false;
    }
    return true;
}

long TTcpClient::ReadNow(void* buf, size_t max) {
    if (fd_ < 0) return -1;
    if (max == 0) return 0;
    const int chunk = max > (1u << 30) ? (1 << 30) : static_cast<int>(max);
    const int r = ::recv(Sock(fd_), static_cast<char*>(buf), chunk, 0);
    if (r > 0) return r;
    if (r == 0) return -1;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long TTcpClient::SendNow(const void* data, size_t len) {
    if (fd_ < 0) return -1;
    const int chunk = len > (1u << 30) ? (1 << 30) : static_cast<int>(len);
    const int r = ::send(Sock(fd_), static_cast<const char*>(data), chunk, 0);
    if (r >= 0) return r;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int WaitAnyReadable(const std::vector<int>& handles, TWakeEvent& wake, int timeoutMs,
                    std::vector<uint8_t>& ready) {
    ready.assign(handles.size(), 0);
    fd_set rd, ex;
    FD_ZERO(&rd);
    FD_ZERO(&ex);
    for (const int h : handles) {
        if (h < 0 || rd.fd_count >= FD_SETSIZE - 1) continue;
        FD_SET(Sock(h), &rd);
        FD_SET(Sock(h), &ex);
    }
    FD_SET(Sock(wake.Fd()), &rd);
    const int r = SelectMs(&rd, nullptr, &ex, timeoutMs < 0 ? 0 : timeoutMs);
    if (r < 0) return -1;
    if (r == 0) return 0;
    int n = 0;
    for (size_t i = 0; i < handles.size(); ++i) {
        const int h = handles[i];
        if (h >= 0 && (FD_ISSET(Sock(h), &rd) || FD_ISSET(Sock(h), &ex))) {
            ready[i] = 1;
            ++n;
        }
    }
    if (FD_ISSET(Sock(wake.Fd()), &rd)) wake.Drain();
    return n;
}

TTcpClient::TWaitResult TTcpClient::Wait(int timeoutMs, bool watchSocket) {
    const long long deadline = SteadyMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    const int fd = (watchSocket && fd_ >= 0) ? fd_ : -1;
    if (fd < 0 && wake_ == nullptr) {
        ::Sleep(static_cast<DWORD>(RemainingMs(deadline)));
        return TWaitResult::Timeout;
    }
    short rev = 0;
    const int pr = PollUntil(fd, POLLIN, deadline, &rev);
    if (pr == 1) return TWaitResult::Readable;
    if (pr == 2) return TWaitResult::Woken;
    return TWaitResult::Timeout;
}

void LowerThreadPriority() noexcept {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

}  // namespace telegate
