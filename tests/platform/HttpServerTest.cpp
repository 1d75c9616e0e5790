#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "common/RawHttp.h"
#include "platform/HttpServer.h"

namespace telegate {
namespace {

using test::ClosedByPeer;
using test::ConnectLoopback;
using test::HeaderValue;
using test::HttpGet;
using test::RawExchange;

THttpServer::Handler EchoHandler() {
    return [](const THttpRequest& req, THttpResponse& res) {
        if (req.path == "/missing") {
            res.status = 404;
            return;
        }
        if (req.path == "/throw") throw std::runtime_error("boom");
        res.contentType = "text/plain";
        res.cacheControl = req.path == "/nc" ? "no-cache" : "";
        res.body = req.method + "|" + req.path + "|" + req.query;
    };
}

TEST(HttpServerTest, PassesRawPathAndQueryAndFormsTheResponse) {
    THttpServer server(EchoHandler());
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    ASSERT_GT(server.Port(), 0);

    auto r = HttpGet(server.Port(), "/titek.php?p_ti=%D0%9A%D0%9F%201");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "GET|/titek.php|p_ti=%D0%9A%D0%9F%201");
    EXPECT_EQ(HeaderValue(r, "Cache-Control"), "");

    r = HttpGet(server.Port(), "/nc");
    EXPECT_EQ(HeaderValue(r, "Cache-Control"), "no-cache");

    r = RawExchange(server.Port(), "POST /p?x=1 HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(r.body, "POST|/p|x=1");

    r = HttpGet(server.Port(), "/missing");
    EXPECT_EQ(r.status, 404);
    r = HttpGet(server.Port(), "/throw");
    EXPECT_EQ(r.status, 500);
}

TEST(HttpServerTest, SendsFileBytesAndRefusesMissingFiles) {
    auto dir =
        std::filesystem::temp_directory_path() / ("telegate-http-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string bytes("\x89PNG\r\n\x1a\n\0\x01\x02", 11);
    std::ofstream(dir / "a.png", std::ios::binary) << bytes;
    THttpServer server([&](const THttpRequest& req, THttpResponse& res) {
        res.contentType = "image/png";
        res.filePath = (dir / (req.path == "/a.png" ? "a.png" : "none.png")).string();
    });
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    auto r = HttpGet(server.Port(), "/a.png");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, bytes);
    EXPECT_EQ(HeaderValue(r, "Content-Type"), "image/png");
    r = HttpGet(server.Port(), "/b.png");
    EXPECT_EQ(r.status, 404);
    std::filesystem::remove_all(dir);
}

TEST(HttpServerTest, PortInUseFailsAndStopStartWorks) {
    THttpServer a(EchoHandler());
    ASSERT_TRUE(a.Start(0, "127.0.0.1"));
    THttpServer b(EchoHandler());
    std::string err;
    EXPECT_FALSE(b.Start(static_cast<uint16_t>(a.Port()), "127.0.0.1", &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(b.Active());

    const int port = a.Port();
    a.Stop();
    EXPECT_FALSE(a.Active());
    EXPECT_FALSE(HttpGet(port, "/", 500).ok);
    ASSERT_TRUE(a.Start(0, "127.0.0.1"));
    EXPECT_EQ(HttpGet(a.Port(), "/x").status, 200);
    a.Stop();
    a.Stop();  // twice is harmless
}

TEST(HttpServerTest, SurvivesMalformedAndOversizedRequests) {
    THttpServerLimits limits;
    limits.headTimeoutMs = 1000;
    THttpServer server(EchoHandler(), limits);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const int port = server.Port();
    RawExchange(port, std::string("\x00\xff garbage", 10) + "\r\n\r\n", 1000);
    RawExchange(port, "GET\r\n\r\n", 300);
    RawExchange(port, "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n", 300);
    RawExchange(port, "GET / HTTP/1.1\r\nX: " + std::string(100000, 'b') + "\r\n\r\n", 300);
    RawExchange(port, "POST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\nabc", 300);
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 150; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(RawExchange(port, many + "\r\n", 1000).status, 431);
    std::string huge = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 200000; ++i) huge += "X: y\r\n";
    RawExchange(port, huge, 1000);
    auto r = HttpGet(port, "/still-alive");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
}

TEST(HttpServerTest, ManyConcurrentClientsAllGetAnswers) {
    THttpServerLimits limits;
    limits.maxConnections = 128;
    limits.maxConnectionsPerPeer = 128;
    limits.maxQueuedRequests = 128;  // every connection's request fits in the queue
    THttpServer server(EchoHandler(), limits);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const int port = server.Port();
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 100; ++i)
        threads.emplace_back([&, i] {
            auto r = HttpGet(port, "/c?i=" + std::to_string(i), 10000);
            if (r.ok && r.status == 200 && r.body == "GET|/c|i=" + std::to_string(i)) ++good;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 100);
}

TEST(HttpServerTest, KeepsAliveAnswersPipelinedRequestsAndHeadCarriesTheLength) {
    THttpServer server(EchoHandler());
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const auto r = RawExchange(server.Port(),
                               "GET /a?1 HTTP/1.1\r\nHost: x\r\n\r\n"
                               "HEAD /bb HTTP/1.1\r\nConnection: close\r\n\r\n",
                               3000);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(HeaderValue(r, "Connection"), "keep-alive");
    // The first body, then the second answer's head without a body.
    const std::string second =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
        "Content-Length: 9\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(r.body, "GET|/a|1" + second);
}

TEST(HttpServerTest, AHeadThatDripsPastItsDeadlineIsDroppedWhileOthersAreServed) {
    THttpServerLimits limits;
    limits.headTimeoutMs = 800;
    THttpServer server(EchoHandler(), limits);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const test::TRawSocket fd = ConnectLoopback(server.Port());
    ASSERT_GE(fd, 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_GT(test::SendRaw(fd, "GET / HTTP/1.1\r\n"), 0);
    // One header field every 100 ms: every read makes progress, the head never ends.
    bool closed = false;
    for (int i = 0; i < 40 && !closed; ++i) {
        if (test::SendRaw(fd, "X: y\r\n") <= 0) {
            closed = true;
            break;
        }
        if (i == 2) {
            EXPECT_EQ(HttpGet(server.Port(), "/other", 1000).status, 200);
        }
        closed = ClosedByPeer(fd, 100);
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    test::CloseRaw(fd);
    EXPECT_TRUE(closed) << "still open after " << ms << " ms";
    EXPECT_LT(ms, 3000);
    EXPECT_GE(ms, 700);
    // The other client's connection is reaped once its close reaches the server.
    for (int i = 0; i < 100 && server.OpenConnections() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.OpenConnections(), 0);
}

TEST(HttpServerTest, ConnectionsBeyondTheLimitsAreClosedAtOnce) {
    THttpServerLimits limits;
    limits.maxConnections = 6;
    limits.maxConnectionsPerPeer = 3;
    THttpServer server(EchoHandler(), limits);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const int port = server.Port();
    std::vector<test::TRawSocket> held;
    const auto open = [&](const char* from) -> test::TRawSocket {
        const test::TRawSocket fd = ConnectLoopback(port, from);
        if (fd >= 0 && test::SendRaw(fd, "GET / HTTP/1.1\r\n") <= 0) {
            test::CloseRaw(fd);
            return -1;
        }
        return fd;
    };
    struct Step {
        const char* from;
        bool kept;
    } steps[] = {{"127.0.0.2", true},  {"127.0.0.2", true},  {"127.0.0.2", true},
                 {"127.0.0.2", false}, {"127.0.0.3", true},  {"127.0.0.3", true},
                 {"127.0.0.3", true},  {"127.0.0.4", false}, {"127.0.0.2", false}};
    for (const auto& step : steps) {
        const test::TRawSocket fd = open(step.from);
        ASSERT_GE(fd, 0) << step.from;
        EXPECT_EQ(ClosedByPeer(fd, step.kept ? 150 : 1000), !step.kept) << step.from;
        if (step.kept) {
            held.push_back(fd);
        } else {
            test::CloseRaw(fd);
        }
    }
    EXPECT_EQ(server.OpenConnections(), 6);
    EXPECT_FALSE(HttpGet(port, "/full", 1000).ok);
    // One freed slot serves the next peer.
    test::CloseRaw(held.back());
    held.pop_back();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(HttpGet(port, "/free", 2000).status, 200);
    for (const test::TRawSocket fd : held) test::CloseRaw(fd);
}

TEST(HttpServerTest, BusyWorkersAnswer503InsteadOfQueueingWithoutBound) {
    std::mutex mu;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> inHandler{0};
    THttpServerLimits limits;
    limits.workers = 1;
    limits.maxQueuedRequests = 1;
    THttpServer server(
        [&](const THttpRequest& req, THttpResponse& res) {
            ++inHandler;
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return release; });
            res.body = req.path;
        },
        limits);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const int port = server.Port();
    test::RawHttpReply first, second;
    std::thread a([&] { first = HttpGet(port, "/1", 5000); });
    while (inHandler == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread b([&] { second = HttpGet(port, "/2", 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // /2 waits in the queue
    EXPECT_EQ(HttpGet(port, "/3", 2000).status, 503);
    {
        std::lock_guard<std::mutex> lock(mu);
        release = true;
    }
    cv.notify_all();
    a.join();
    b.join();
    EXPECT_EQ(first.body, "/1");
    EXPECT_EQ(second.body, "/2");
}

}  // namespace
}  // namespace telegate
