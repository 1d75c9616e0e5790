// Winsock 2 and the console. WSAPoll waits only for sockets, so standard input and
// the console's control events reach the poll loop through loopback socket pairs:
// a thread copies standard input into one, the control handler writes into the
// other.
#include "SimNet.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include "platform/win32/Wide.h"

namespace telegate::sim::net {

namespace {

SOCKET Sock(TSocket s) {
    return static_cast<SOCKET>(s);
}

TSocket Handle(SOCKET s) {
    return s == INVALID_SOCKET ? kNoSocket : static_cast<TSocket>(s);
}

std::string SocketErrorText() {
    return win32::ErrorText(static_cast<DWORD>(::WSAGetLastError()));
}

bool Transient(int e) {
    return e == WSAEWOULDBLOCK || e == WSAEINTR || e == WSAEINPROGRESS;
}

void SetNonBlocking(SOCKET s) {
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
}

bool SendAll(SOCKET s, const char* data, size_t size) {
    while (size > 0) {
        const int n = ::send(s, data, static_cast<int>(size), 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string Startup() {
    // Output lines end in LF as on Linux, whoever reads them.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    WSADATA wsa;
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &wsa);
    if (rc != 0) return "WSAStartup: " + win32::ErrorText(static_cast<DWORD>(rc));
    return {};
}

std::vector<std::string> Arguments(int /*argc*/, char** /*argv*/) {
    // argv holds the ANSI code page's approximation; the wide command line holds
    // the names as typed (a configuration path with Cyrillic letters).
    std::vector<std::string> args;
    int n = 0;
    wchar_t** w = ::CommandLineToArgvW(::GetCommandLineW(), &n);
    if (w == nullptr) return args;
    for (int i = 1; i < n; ++i) args.push_back(win32::FromWide(w[i]));
    ::LocalFree(w);
    return args;
}

TSocket Listen(const std::string& addr, int& port, std::string& error) {
    in_addr ia{};
    if (::inet_pton(AF_INET, addr.c_str(), &ia) != 1) {
        error = "bad bind address " + addr;
        return kNoSocket;
    }
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = "socket: " + SocketErrorText();
        return kNoSocket;
    }
    // Windows lets SO_REUSEADDR take over a port in use; exclusive use is what a
    // server wants there.
    BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = ia;
    sa.sin_port = htons(static_cast<u_short>(port));
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 16) != 0) {
        error = "cannot listen on " + addr + ":" + std::to_string(port) + ": " + SocketErrorText();
        ::closesocket(s);
        return kNoSocket;
    }
    int len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    SetNonBlocking(s);
    return Handle(s);
}

TSocket Accept(TSocket listener, std::string& peer) {
    sockaddr_in sa{};
    int len = sizeof sa;
    const SOCKET s = ::accept(Sock(listener), reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET) return kNoSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    SetNonBlocking(s);
    BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
    peer = std::string(host) + ":" + std::to_string(ntohs(sa.sin_port));
    return Handle(s);
}

TSocket ConnectLoopback(int port, std::string& error) {
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = "socket: " + SocketErrorText();
        return kNoSocket;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "connect: " + SocketErrorText();
        ::closesocket(s);
        return kNoSocket;
    }
    return Handle(s);
}

bool MakePair(TSocket& a, TSocket& b, std::string& error) {
    int port = 0;
    const TSocket l = Listen("127.0.0.1", port, error);
    if (l == kNoSocket) return false;
    a = ConnectLoopback(port, error);
    b = kNoSocket;
    if (a != kNoSocket) {
        // The connection is already queued: wait for it, briefly.
        std::vector<TWaitItem> w{{l}};
        if (Wait(w, 5000, error) && w[0].readable) {
            std::string peer;
            b = Accept(l, peer);
        }
        if (b == kNoSocket) {
            if (error.empty()) error = "no connection on the loopback pair";
            Close(a);
            a = kNoSocket;
        }
    }
    Close(l);
    return b != kNoSocket;
}

void Close(TSocket s) {
    if (s != kNoSocket) ::closesocket(Sock(s));
}

TIo Receive(TSocket s, void* buf, size_t size) {
    const int n = ::recv(Sock(s), static_cast<char*>(buf), static_cast<int>(size), 0);
    if (n > 0) return {EIo::Done, static_cast<size_t>(n), {}};
    if (n == 0) return {EIo::Closed, 0, {}};
    if (Transient(::WSAGetLastError())) return {EIo::WouldBlock, 0, {}};
    return {EIo::Failed, 0, SocketErrorText()};
}

TIo Send(TSocket s, const void* data, size_t size) {
    const int n = ::send(Sock(s), static_cast<const char*>(data), static_cast<int>(size), 0);
    if (n >= 0) return {EIo::Done, static_cast<size_t>(n), {}};
    if (Transient(::WSAGetLastError())) return {EIo::WouldBlock, 0, {}};
    return {EIo::Failed, 0, SocketErrorText()};
}

bool Wait(std::vector<TWaitItem>& items, int timeoutMs, std::string& error) {
    // WSAPoll does not skip entries the way poll() skips negative descriptors.
    std::vector<WSAPOLLFD> fds;
    std::vector<size_t> at;
    for (size_t i = 0; i < items.size(); ++i) {
        TWaitItem& it = items[i];
        it.readable = it.writable = it.broken = false;
        if (it.socket == kNoSocket) continue;
        fds.push_back(
            {Sock(it.socket), static_cast<SHORT>(POLLRDNORM | (it.write ? POLLWRNORM : 0)), 0});
        at.push_back(i);
    }
    if (fds.empty()) {
        ::Sleep(static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs));
        return true;
    }
    if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) == SOCKET_ERROR) {
        error = SocketErrorText();
        return false;
    }
    for (size_t k = 0; k < fds.size(); ++k) {
        const SHORT re = fds[k].revents;
        TWaitItem& it = items[at[k]];
        // A peer's close shows as POLLHUP: a read then returns 0, as on Linux.
        it.readable = (re & (POLLRDNORM | POLLHUP)) != 0;
        it.writable = (re & POLLWRNORM) != 0;
        it.broken = (re & (POLLERR | POLLNVAL)) != 0;
    }
    return true;
}

TSocket StandardInput() {
    TSocket theirs = kNoSocket, mine = kNoSocket;
    std::string error;
    if (!MakePair(theirs, mine, error)) return kNoSocket;
    // The thread copies standard input until it ends, then closes its end (read as
    // Closed). It blocks in ReadFile for as long as the input stays open, so it is
    // left to end with the process.
    std::thread([theirs] {
        const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
        char buf[4096];
        DWORD n = 0;
        while (in != nullptr && in != INVALID_HANDLE_VALUE &&
               ::ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0)
            if (!SendAll(Sock(theirs), buf, n)) break;
        ::shutdown(Sock(theirs), SD_SEND);
        Close(theirs);
    }).detach();
    return mine;
}

// The console calls its control handler on a thread of its own and without a
// context argument: the one watching object is reached through this pointer.
struct TStopRequests::Impl {
    TSocket readEnd = kNoSocket;
    TSocket writeEnd = kNoSocket;
};

namespace {

std::atomic<TStopRequests::Impl*> gStopWatcher{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    TStopRequests::Impl* im = gStopWatcher.load();
    if (im == nullptr) return FALSE;
    // Told as the signal numbers the C runtime of Windows gives these events.
    const char sig = type == CTRL_C_EVENT ? SIGINT : type == CTRL_BREAK_EVENT ? SIGBREAK : SIGTERM;
    ::send(Sock(im->writeEnd), &sig, 1, 0);
    return TRUE;
}

}  // namespace

TStopRequests::TStopRequests() : impl_(std::make_unique<Impl>()) {
    std::string error;
    if (!MakePair(impl_->writeEnd, impl_->readEnd, error)) return;
    Impl* expected = nullptr;
    const bool watching = gStopWatcher.compare_exchange_strong(expected, impl_.get());
    if (!watching || !::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        if (watching) gStopWatcher.store(nullptr);
        Close(impl_->readEnd);
        Close(impl_->writeEnd);
        impl_->readEnd = impl_->writeEnd = kNoSocket;
    }
}

TStopRequests::~TStopRequests() {
    if (impl_->readEnd == kNoSocket) return;
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    gStopWatcher.store(nullptr);
    Close(impl_->readEnd);
    Close(impl_->writeEnd);
}

TSocket TStopRequests::Socket() const {
    return impl_->readEnd;
}

std::string TStopRequests::Take() {
    char sig = 0;
    if (impl_->readEnd == kNoSocket || ::recv(Sock(impl_->readEnd), &sig, 1, 0) != 1) return {};
    return "signal " + std::to_string(static_cast<int>(sig));
}

}  // namespace telegate::sim::net
