// What one station worker costs: CPU time over 10 s while idle (connected to a
// silent station, and with no connection at all), and the round trips per second
// it carries for a busy station that answers every frame at once. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "iec104/StationWorker.h"
#include "platform/PlainMainLoop.h"
#include "platform/SystemClock.h"

using namespace telegate;

namespace {

double CpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

long Wakeups() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

int Listen(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

const std::string kFrame("\x68\x04\x43\x00\x00\x00", 6);

class TCounter : public IWorkerEvents {
  public:
    std::shared_ptr<Toprosdevice> link;
    std::atomic<bool> echo{false};
    std::atomic<int> connects{0}, reads{0};
    std::atomic<long> octets{0};
    void On_Connect_Main(int) override { ++connects; }
    void On_DisConnect_Main(int, TDisconnectReason) override {}
    void On_Read_Main(int, const std::string& s, const std::string&, int) override {
        ++reads;
        octets += static_cast<long>(s.size());
        if (echo && link) link->TryPutToWrite(kFrame);
    }
};

template <class F>
bool WaitFor(F f, int ms) {
    for (int i = 0; i < ms / 5; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
}

void Run(const char* title, TSystemClock& clock, bool connectIt, bool busy) {
    int port = 0;
    int lfd = Listen(port);
    if (!connectIt) {
        ::close(lfd);  // nobody listens: the first connect fails
        lfd = -1;
    }
    TPlainMainLoop loop;
    TCounter ev;
    ev.echo = busy;
    TWorkerTimings t;
    t.StartDelayMs = 0;
    auto w = std::make_shared<Toprosdevice>(1, "127.0.0.1", port, 30000, loop, ev, clock,
                                            TWorkerTrace{}, t);
    ev.link = w;
    std::atomic<bool> stopPeer{false};
    std::thread peer;
    std::thread driver([&] {
        w->Start();
        int cfd = -1;
        if (connectIt) {
            pollfd p{lfd, POLLIN, 0};
            if (::poll(&p, 1, 3000) > 0) cfd = ::accept(lfd, nullptr, nullptr);
            WaitFor([&] { return ev.connects.load() > 0; }, 3000);
            // The station answers every frame it gets, or just swallows it.
            peer = std::thread([&, cfd] {
                char buf[4096];
                while (!stopPeer.load()) {
                    pollfd p{cfd, POLLIN, 0};
                    if (::poll(&p, 1, 1000) <= 0) continue;
                    ssize_t r = ::recv(cfd, buf, sizeof buf, 0);
                    if (r <= 0) break;
                    if (busy) ::send(cfd, buf, static_cast<size_t>(r), MSG_NOSIGNAL);
                }
            });
            w->TryPutToWrite(kFrame);  // from now on the socket is watched
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        const int seconds = busy ? 3 : 10;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double cpu0 = CpuMs();
        const long sw0 = Wakeups();
        const long reads0 = ev.reads.load();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = CpuMs() - cpu0;
        const long sw = Wakeups() - sw0;
        const long reads = ev.reads.load() - reads0;
        if (busy) {
            std::printf("%-40s %8.1f round trips/s  cpu %.0f ms in %d s\n", title,
                        static_cast<double>(reads) / seconds, cpu, seconds);
        } else {
            std::printf("%-40s cpu %6.1f ms in %d s (%.3f %% of a core), %.1f context switches/s\n",
                        title, cpu, seconds, cpu / (seconds * 10.0),
                        static_cast<double>(sw) / seconds);
        }
        ev.echo = false;
        w->Terminate();
        // The loop still runs, so the worker's last report is served.
        w->WaitFinished(5000);
        stopPeer = true;
        if (peer.joinable()) peer.join();
        if (cfd >= 0) ::close(cfd);
        loop.quit();
    });
    loop.run();
    driver.join();
    ev.link.reset();
    if (lfd >= 0) ::close(lfd);
}

}  // namespace

int main() {
    TSystemClock clock;
    std::printf("station worker (whole process: worker, main loop, idle driver)\n");
    Run("idle, connected to a silent station", clock, true, false);
    Run("idle, station unreachable", clock, false, false);
    Run("busy, station echoes every frame", clock, true, true);
    return 0;
}
