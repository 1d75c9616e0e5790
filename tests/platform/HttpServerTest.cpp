#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/RawHttp.h"
#include "platform/HttpServer.h"

namespace telegate {
namespace {

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
    limits.readTimeoutSec = 1;
    THttpServer server(EchoHandler(), limits);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    const int port = server.Port();
    RawExchange(port, std::string("\x00\xff garbage", 10) + "\r\n\r\n", 1000);
    RawExchange(port, "GET\r\n\r\n", 300);
    RawExchange(port, "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n", 300);
    RawExchange(port, "GET / HTTP/1.1\r\nX: " + std::string(100000, 'b') + "\r\n\r\n", 300);
    RawExchange(port, "POST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\nabc", 300);
    auto r = HttpGet(port, "/still-alive");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
}

TEST(HttpServerTest, ManyConcurrentClientsAllGetAnswers) {
    THttpServer server(EchoHandler());
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

}  // namespace
}  // namespace telegate
