// A minimal HTTP/1.0 client on a raw loopback socket, for tests that must also
// send malformed requests. BSD sockets on Linux, Winsock 2 on Windows.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace telegate::test {

// A raw client socket: a descriptor on Linux, a SOCKET on Windows; negative when none.
using TRawSocket = std::intptr_t;

// The few socket calls that differ between the targets.
#ifdef _WIN32
inline bool RawStartup() {
    static const bool ok = [] {
        WSADATA wsa;
        return ::WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    return ok;
}
inline TRawSocket RawOpen() {
    if (!RawStartup()) return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? -1 : static_cast<TRawSocket>(s);
}
inline void CloseRaw(TRawSocket s) {
    if (s >= 0) ::closesocket(static_cast<SOCKET>(s));
}
inline long SendRaw(TRawSocket s, const std::string& data) {
    return ::send(static_cast<SOCKET>(s), data.data(), static_cast<int>(data.size()), 0);
}
inline long RecvRaw(TRawSocket s, char* buf, size_t size) {
    return ::recv(static_cast<SOCKET>(s), buf, static_cast<int>(size), 0);
}
// True when s has data, the peer's close or an error within timeoutMs.
inline bool RawReadable(TRawSocket s, int timeoutMs) {
    WSAPOLLFD p{static_cast<SOCKET>(s), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, timeoutMs) > 0;
}
#else
inline TRawSocket RawOpen() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
inline void CloseRaw(TRawSocket s) {
    if (s >= 0) ::close(static_cast<int>(s));
}
inline long SendRaw(TRawSocket s, const std::string& data) {
    return ::send(static_cast<int>(s), data.data(), data.size(), MSG_NOSIGNAL);
}
inline long RecvRaw(TRawSocket s, char* buf, size_t size) {
    return ::recv(static_cast<int>(s), buf, size, 0);
}
inline bool RawReadable(TRawSocket s, int timeoutMs) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}
#endif

struct RawHttpReply {
    bool ok = false;  // connected and got a status line
    int status = 0;
    std::string headers;
    std::string body;
};

// A connection to 127.0.0.1:port; from the loopback address source when it is given
// (for example "127.0.0.2", so that a test plays several peers).
inline TRawSocket ConnectLoopback(int port, const char* source = nullptr) {
    const TRawSocket fd = RawOpen();
    if (fd < 0) return -1;
    if (source != nullptr) {
        sockaddr_in s{};
        s.sin_family = AF_INET;
        if (::inet_pton(AF_INET, source, &s.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
            CloseRaw(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        CloseRaw(fd);
        return -1;
    }
    return fd;
}

// Sends raw bytes and reads until the peer closes or timeoutMs passes.
inline RawHttpReply RawExchange(int port, const std::string& request, int timeoutMs = 5000) {
    RawHttpReply r;
    const TRawSocket fd = ConnectLoopback(port);
    if (fd < 0) return r;
    size_t off = 0;
    while (off < request.size()) {
        const long n = SendRaw(fd, request.substr(off));
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    std::string data;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        if (!RawReadable(fd, static_cast<int>(left))) break;
        const long n = RecvRaw(fd, buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    CloseRaw(fd);
    const auto sp = data.find(' ');
    const auto hdrEnd = data.find("\r\n\r\n");
    if (data.compare(0, 5, "HTTP/") != 0 || sp == std::string::npos || hdrEnd == std::string::npos)
        return r;
    r.ok = true;
    r.status = std::atoi(data.c_str() + sp + 1);
    r.headers = data.substr(0, hdrEnd);
    r.body = data.substr(hdrEnd + 4);
    return r;
}

inline RawHttpReply HttpGet(int port, const std::string& target, int timeoutMs = 5000) {
    return RawExchange(
        port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
        timeoutMs);
}

// True when the peer closes fd (or resets it) within timeoutMs; the octets it sent
// before are dropped.
inline bool ClosedByPeer(TRawSocket fd, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        if (!RawReadable(fd, static_cast<int>(left))) return false;
        if (RecvRaw(fd, buf, sizeof buf) <= 0) return true;
    }
}

inline std::string HeaderValue(const RawHttpReply& r, const std::string& name) {
    std::string lower = r.headers;
    std::string key = "\r\n" + name + ":";
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto p = lower.find(key);
    if (p == std::string::npos) return {};
    auto b = p + key.size();
    while (b < r.headers.size() && r.headers[b] == ' ') ++b;
    const auto e = r.headers.find("\r\n", b);
    return r.headers.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

}  // namespace telegate::test
