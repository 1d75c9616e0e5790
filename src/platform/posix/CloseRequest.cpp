#include "platform/CloseRequest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace telegate {

// SIGINT and SIGTERM wait in a signalfd read by one thread; a pipe stops it.
struct TCloseRequests::Impl {
    sigset_t set;
    int sfd = -1;
    int stop[2] = {-1, -1};
    std::thread thread;
};

TCloseRequests::TCloseRequests() : impl_(std::make_unique<Impl>()) {
    sigemptyset(&impl_->set);
    sigaddset(&impl_->set, SIGINT);
    sigaddset(&impl_->set, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &impl_->set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

TCloseRequests::~TCloseRequests() {
    Stop();
    if (impl_->sfd >= 0) ::close(impl_->sfd);
    for (int fd : impl_->stop)
        if (fd >= 0) ::close(fd);
}

bool TCloseRequests::Start(std::function<void()> onClose) {
    Impl& im = *impl_;
    if (im.thread.joinable()) return true;
    if (im.sfd < 0) im.sfd = ::signalfd(-1, &im.set, SFD_CLOEXEC);
    if (im.stop[0] < 0 && ::pipe2(im.stop, O_CLOEXEC) != 0) im.stop[0] = im.stop[1] = -1;
    if (im.sfd < 0 || im.stop[0] < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    im.thread = std::thread([&im, onClose = std::move(onClose)] {
        pollfd fds[2] = {{im.sfd, POLLIN, 0}, {im.stop[0], POLLIN, 0}};
        for (;;) {
            const int r = ::poll(fds, 2, -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (fds[1].revents & (POLLIN | POLLHUP)) != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            signalfd_siginfo info;
            if (::read(im.sfd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
            if (onClose) onClose();
        }
    });
    return true;
}

void TCloseRequests::Stop() {
    if (!impl_->thread.joinable()) return;
    const char c = 0;
    if (::write(impl_->stop[1], &c, 1) < 0) {
    }
    impl_->thread.join();
}

}  // namespace telegate
