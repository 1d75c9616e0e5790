#include "platform/TcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>

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

std::string ErrText(int err) {
    return std::strerror(err);
}

}  // namespace

// ---------------------------------------------------------------- TWakeEvent

TWakeEvent::TWakeEvent() {
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("eventfd: " + ErrText(errno));
}

TWakeEvent::~TWakeEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void TWakeEvent::Signal() noexcept {
    uint64_t one = 1;
    // A full counter (never in practice) is still a pending signal.
    [[maybe_unused]] ssize_t r = ::write(fd_, &one, sizeof one);
}

void TWakeEvent::Drain() noexcept {
    uint64_t v = 0;
    [[maybe_unused]] ssize_t r = ::read(fd_, &v, sizeof v);
}

bool TWakeEvent::WaitFor(int ms) noexcept {
    const long long deadline = SteadyMs() + (ms < 0 ? 0 : ms);
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r > 0) {
            Drain();
            return true;
        }
        if (r == 0) return false;
        if (errno != EINTR) return false;
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
    : wake_(wake), cancelled_(std::move(cancelled)) {}

TTcpClient::~TTcpClient() {
    Close();
}

void TTcpClient::Close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TTcpClient::Dropped() {
    Close();
    if (onDisconnected_) onDisconnected_();
}

int TTcpClient::PollUntil(int fd, short events, long long deadlineMs, short* revents) {
    for (;;) {
        pollfd p[2];
        nfds_t n = 0;
        if (fd >= 0) p[n++] = pollfd{fd, events, 0};
        const nfds_t wakeAt = n;
        if (wake_) p[n++] = pollfd{wake_->Fd(), POLLIN, 0};
        int r = ::poll(p, n, RemainingMs(deadlineMs));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        if (fd >= 0 && p[0].revents != 0) {
            if (revents) *revents = p[0].revents;
            return 1;
        }
        if (wake_ && p[wakeAt].revents != 0) {
            wake_->Drain();
            return 2;
        }
    }
}

bool ResolvesToIPv4(const std::string& host) {
    if (host.empty()) return false;
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
    int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (gai != 0 || list == nullptr) {
        lastError_ = std::string("cannot resolve ") + host + ": " + ::gai_strerror(gai);
        return false;
    }

    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          ai->ai_protocol);
        if (fd < 0) {
            lastError_ = "socket: " + ErrText(errno);
            continue;
        }
        int r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (r < 0 && errno != EINPROGRESS) {
            lastError_ = "connect: " + ErrText(errno);
            ::close(fd);
            continue;
        }
        bool ok = (r == 0);
        while (!ok) {
            short rev = 0;
            int pr = PollUntil(fd, POLLOUT, deadline, &rev);
            if (pr == 2) {
                if (cancelled_ && cancelled_()) {
                    lastError_ = "connect cancelled";
                    ::close(fd);
                    ::freeaddrinfo(list);
                    return false;
                }
                continue;
            }
            if (pr == 0) {
                lastError_ = "connect timed out";
                ::close(fd);
                ::freeaddrinfo(list);
                return false;
            }
            if (pr < 0) {
                lastError_ = "poll: " + ErrText(errno);
                break;
            }
            int soerr = 0;
            socklen_t len = sizeof soerr;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0) soerr = errno;
            if (soerr != 0) {
                lastError_ = "connect: " + ErrText(soerr);
                break;
            }
            ok = true;
        }
        if (!ok) {
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
        ::freeaddrinfo(list);
        return true;
    }
    ::freeaddrinfo(list);
    return false;
}

bool TTcpClient::Disconnect() {
    if (fd_ < 0) return true;
    int fd = fd_;
    fd_ = -1;
    ::shutdown(fd, SHUT_RDWR);
    return ::close(fd) == 0 || errno == EINTR;
}

size_t TTcpClient::Available() const {
    if (fd_ < 0) return 0;
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) < 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

long TTcpClient::Read(void* buf, size_t max, int timeoutMs) {
    if (fd_ < 0) return -1;
    if (max == 0) return 0;
    const long long deadline = SteadyMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        ssize_t r = ::recv(fd_, buf, max, MSG_DONTWAIT);
        if (r > 0) return static_cast<long>(r);
        if (r == 0) {
            lastError_ = "connection closed by peer";
            Dropped();
            return -1;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lastError_ = "recv: " + ErrText(errno);
            Dropped();
            return -1;
        }
        if (RemainingMs(deadline) <= 0) return 0;
        short rev = 0;
        int pr = PollUntil(fd_, POLLIN, deadline, &rev);
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
        ssize_t r = ::send(fd_, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            p += r;
            left -= static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Wait for room; wake signals are not ours to consume here.
            pollfd pf{fd_, POLLOUT, 0};
            int pr = ::poll(&pf, 1, RemainingMs(deadline));
            if (pr > 0 || (pr < 0 && errno == EINTR)) continue;
            lastError_ = "write stalled";
        } else {
            lastError_ = "send: " + ErrText(r < 0 ? errno : EPIPE);
        }
        // A partly written frame would desynchronise the stream: drop the link.
        Dropped();
        return false;
    }
    return true;
}

TTcpClient::TWaitResult TTcpClient::Wait(int timeoutMs, bool watchSocket) {
    const long long deadline = SteadyMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    const int fd = (watchSocket && fd_ >= 0) ? fd_ : -1;
    if (fd < 0 && wake_ == nullptr) {
        ::poll(nullptr, 0, RemainingMs(deadline));
        return TWaitResult::Timeout;
    }
    short rev = 0;
    int pr = PollUntil(fd, POLLIN, deadline, &rev);
    if (pr == 1) return TWaitResult::Readable;
    if (pr == 2) return TWaitResult::Woken;
    return TWaitResult::Timeout;
}

long TTcpClient::ReadNow(void* buf, size_t max) {
    if (fd_ < 0) return -1;
    if (max == 0) return 0;
    for (;;) {
        const ssize_t r = ::recv(fd_, buf, max, MSG_DONTWAIT);
        if (r > 0) return static_cast<long>(r);
        if (r == 0) return -1;
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

long TTcpClient::SendNow(const void* data, size_t len) {
    if (fd_ < 0) return -1;
    for (;;) {
        const ssize_t r = ::send(fd_, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) return static_cast<long>(r);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int WaitAnyReadable(const std::vector<int>& handles, TWakeEvent& wake, int timeoutMs,
                    std::vector<uint8_t>& ready) {
    ready.assign(handles.size(), 0);
    std::vector<pollfd> p;
    std::vector<size_t> index;
    p.reserve(handles.size() + 1);
    for (size_t i = 0; i < handles.size(); ++i) {
        if (handles[i] < 0) continue;
        p.push_back(pollfd{handles[i], POLLIN, 0});
        index.push_back(i);
    }
    p.push_back(pollfd{wake.Fd(), POLLIN, 0});
    int r = 0;
    do {
        r = ::poll(p.data(), static_cast<nfds_t>(p.size()), timeoutMs < 0 ? 0 : timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    int n = 0;
    for (size_t k = 0; k < index.size(); ++k) {
        if (p[k].revents & POLLNVAL) return -1;
        if (p[k].revents & (POLLIN | POLLHUP | POLLERR)) {
            ready[index[k]] = 1;
            ++n;
        }
    }
    if (p.back().revents & POLLIN) wake.Drain();
    return n;
}

void LowerThreadPriority() noexcept {
    // On Linux the nice value is per thread; +1 is one step below normal.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    int cur = ::getpriority(PRIO_PROCESS, tid);
    if (cur == -1 && errno != 0) return;
    ::setpriority(PRIO_PROCESS, tid, cur + 1);
}

}  // namespace telegate
