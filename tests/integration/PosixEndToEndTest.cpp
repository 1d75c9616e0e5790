// The end-to-end run against a hostile web client, bounded by the descriptor limit
// of a POSIX process (Windows has no such limit to run into).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "EndToEndFixture.h"
#include "common/RawHttp.h"
#include "web/WebServer.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

// A hostile web client: 300 connections from one address that never finish their
// request head, in a process whose descriptor limit leaves room for them but not
// for a server that would hold them all. Another address still gets "/" at once,
// the surplus connections are closed at once, and a dropped station reconnects
// after its normal pause.
TEST_F(EndToEndTest, SlowWebClientsNeitherBlockPagesNorStationReconnects) {
    StartMaster(/*web=*/true);
    int port = 0;
    master_->OnMain([&] { port = master_->polling->WebServer()->Port(); });
    ASSERT_GT(port, 0);
    constexpr int kSlow = 300;
    constexpr int kServerMax = 48;  // the server's connection limit (THttpServerLimits)
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int openNow = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++openNow;
    // Our slow clients, the server's share and a margin for the station reconnect;
    // a server that kept every slow connection would need kSlow more.
    const rlim_t needed = static_cast<rlim_t>(openNow + kSlow + kServerMax + 24);
    if (saved.rlim_cur < needed) GTEST_SKIP() << "descriptor limit " << saved.rlim_cur;
    rlimit tight = saved;
    tight.rlim_cur = needed;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    std::vector<test::TRawSocket> slow;
    for (int i = 0; i < kSlow; ++i) {
        const test::TRawSocket fd = test::ConnectLoopback(port, "127.0.0.2");
        if (fd < 0) break;
        test::SendRaw(fd, "GET / HTTP/1.1\r\nHost: x\r\n");
        slow.push_back(fd);
    }
    EXPECT_EQ(slow.size(), static_cast<size_t>(kSlow));
    // All but the peer's share are closed by the server at once.
    const auto t0 = std::chrono::steady_clock::now();
    int closed = 0;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
        std::vector<pollfd> fds;
        for (const auto fd : slow) fds.push_back({static_cast<int>(fd), POLLIN, 0});
        ::poll(fds.data(), fds.size(), 0);
        closed = 0;
        for (const auto& p : fds) closed += (p.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
        if (closed >= kSlow - 12) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto closeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(closed, kSlow - 12);

    const auto t1 = std::chrono::steady_clock::now();
    const auto page = test::HttpGet(port, "/", 5000);
    const auto pageMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t1)
            .count();
    EXPECT_EQ(page.status, 200);
    EXPECT_LT(pageMs, 1000);

    sim_.Send("@" + std::to_string(ports_[1]) + " drop");
    ASSERT_GE(master_->WaitMain([&] { return !Kp(2).Connected; }, 5000), 0);
    const int64_t reconnectMs = master_->WaitMain([&] { return Kp(2).Connected; }, 10000);
    // The pause between attempts is 2 s; the connection itself takes a moment more.
    EXPECT_GE(reconnectMs, 0);
    EXPECT_LT(reconnectMs, 4000);
    EXPECT_EQ(test::HttpGet(port, "/config.php", 5000).status, 200);
    std::printf(
        "[ figures ] %d slow connections: %d closed at once (%lld ms), \"/\" from "
        "another address in %lld ms, station reconnected after %lld ms\n",
        kSlow, closed, static_cast<long long>(closeMs), static_cast<long long>(pageMs),
        static_cast<long long>(reconnectMs));
    for (const auto fd : slow) test::CloseRaw(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace telegate
