#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "common/RawHttp.h"
#include "platform/PlainMainLoop.h"
#include "support/CodePage.h"
#include "web/WebFixture.h"
#include "web/WebServer.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using test::ConnectLoopback;
using test::HeaderValue;
using test::HttpGet;
using test::RawExchange;
using test::TWebFixture;

class TempWeb {
  public:
    TempWeb() {
        std::string tmpl = (fs::temp_directory_path() / "telegate-websrv-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
        root = tmpl;
        web = root / "web";
        fs::create_directories(web / "css");
        fs::create_directories(web / "img");
        std::ofstream(web / "css" / "style.css", std::ios::binary) << "body{}";
        std::ofstream(web / "help.html", std::ios::binary) << "<p>help</p>";
        std::ofstream(web / "index-7.html", std::ios::binary) << "<p>about</p>";
        std::ofstream(web / "img" / "logo.png", std::ios::binary) << png;
        std::ofstream(root / "secret.css", std::ios::binary) << "TOP-SECRET";
    }
    ~TempWeb() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path root, web;
    const std::string png{"\x89PNG\r\n\x1a\n\0\x01\x02\x03", 12};
};

// A plain main loop running on its own thread, as the application runs it.
class LoopThread {
  public:
    LoopThread() : thread_([this] { loop.run(); }) {
        while (!loop.invokeAndWait([] {}))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LoopThread() {
        loop.quit();
        thread_.join();
    }
    TWebDispatch::TPostToMain Post() {
        return [this](std::function<void()> fn) {
            loop.post(std::move(fn));
            return true;
        };
    }
    TPlainMainLoop loop;

  private:
    std::thread thread_;
};

class WebServerTest : public ::testing::Test {
  protected:
    WebServerTest() {
        const int a = data.AddStation("КП 1", "127.0.0.1");
        for (int i = 1; i <= 50; ++i) data.AddTI(a, "T" + std::to_string(i), 1, i, 0.5f * i, 0, 0);
        data.AddTS(a, "S1", 1, 1000, true, 0, 0);
    }
    TWebDispatch::TViewSource Source() {
        return [this] { return data.View(); };
    }
    std::string Expected(const std::string& path, const std::string& query) {
        std::string page;
        loop.loop.invokeAndWait([&] { page = Utf8ToCp1251(BuildPage(data.View(), path, query)); });
        return page;
    }

    TWebFixture data;
    TempWeb folder;
    LoopThread loop;
};

TEST_F(WebServerTest, AnswersPagesFilesAndErrorsOverHttp) {
    TWebServer server(folder.web, Source(), loop.Post());
    std::string error;
    ASSERT_TRUE(server.Activate(0, &error, "127.0.0.1")) << error;
    ASSERT_TRUE(server.Active());
    const int port = server.Port();
    ASSERT_GT(port, 0);

    auto r = HttpGet(port, "/");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(HeaderValue(r, "Content-Type"), "text/html; charset=windows-1251");
    EXPECT_EQ(HeaderValue(r, "Cache-Control"), "no-cache");
    EXPECT_EQ(r.body, Expected("/", ""));

    // The station selected by its Cyrillic, blank-containing name.
    r = HttpGet(port, "/titek.php?p_ti=%D0%9A%D0%9F+1");
    EXPECT_EQ(r.body, Expected("/titek.php", "p_ti=%D0%9A%D0%9F+1"));
    EXPECT_NE(r.body.find(Utf8ToCp1251("<OPTION selected value = \"КП 1\">КП 1")),
              std::string::npos);

    r = HttpGet(port, "/img/logo.png");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(HeaderValue(r, "Content-Type"), "image/png");
    EXPECT_EQ(r.body, folder.png);

    r = HttpGet(port, "/help.html");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<p>help</p>");
    EXPECT_EQ(HeaderValue(r, "Cache-Control"), "");
    r = HttpGet(port, "/index-7.html");
    EXPECT_EQ(HeaderValue(r, "Cache-Control"), "no-cache");
    EXPECT_EQ(HeaderValue(r, "Content-Type"), "text/html; charset=windows-1251");

    r = RawExchange(port, "POST /tstek.php HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, Expected("/tstek.php", ""));
    r = RawExchange(port, "HEAD /config.php HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body.empty());

    for (const char* bad : {"/TITEK.PHP", "/../secret.css", "/%2e%2e/secret.css",
                            "/..%2fsecret.css", "/css/..%5c..%5csecret.css", "/nothing.css"}) {
        r = HttpGet(port, bad);
        EXPECT_TRUE(r.ok) << bad;
        EXPECT_NE(r.status, 200) << bad;
        EXPECT_EQ(r.body.find("TOP-SECRET"), std::string::npos) << bad;
    }
    r = RawExchange(port, "GET /../secret.css HTTP/1.0\r\n\r\n");
    EXPECT_EQ(r.body.find("TOP-SECRET"), std::string::npos);
    server.Deactivate();
    EXPECT_FALSE(server.Active());
    EXPECT_LT(ConnectLoopback(port), 0);
}

TEST_F(WebServerTest, PortInUseIsReportedAndReactivationWorks) {
    TWebServer a(folder.web, Source(), loop.Post());
    ASSERT_TRUE(a.Activate(0, nullptr, "127.0.0.1"));
    TWebServer b(folder.web, Source(), loop.Post());
    std::string error;
    EXPECT_FALSE(b.Activate(a.Port(), &error, "127.0.0.1"));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(b.Active());
    // Only the low 16 bits of the port count.
    const int port = a.Port();
    a.Deactivate();
    EXPECT_TRUE(b.Activate(port + 0x10000, &error, "127.0.0.1")) << error;
    EXPECT_EQ(b.Port(), port);
    EXPECT_EQ(HttpGet(port, "/").status, 200);
    b.Deactivate();
    b.Deactivate();
    ASSERT_TRUE(b.Activate(0, nullptr, "127.0.0.1"));
    EXPECT_TRUE(b.Activate(0, nullptr, "127.0.0.1"));  // already active
    EXPECT_EQ(HttpGet(b.Port(), "/config.php").status, 200);
}

TEST_F(WebServerTest, DeactivateDoesNotWaitForAPageTheMainThreadHasNotBuilt) {
    // The main thread is busy with the stop itself: queued builds never run.
    std::mutex mu;
    std::vector<std::function<void()>> queued;
    TWebServer server(folder.web, Source(), [&](std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(mu);
        queued.push_back(std::move(fn));
        return true;
    });
    ASSERT_TRUE(server.Activate(0, nullptr, "127.0.0.1"));
    const int port = server.Port();
    std::atomic<int> status{0};
    std::thread client([&] { status = HttpGet(port, "/", 20000).status; });
    for (int i = 0; i < 5000; ++i) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!queued.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto t0 = std::chrono::steady_clock::now();
    server.Deactivate();
    client.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(status.load(), 503);
    // The late build finds the request gone.
    for (auto& fn : queued) fn();
}

// Bounded load on loopback: concurrent clients, malformed and oversized requests and
// silent clients; the server must go on answering.
TEST_F(WebServerTest, KeepsAnsweringUnderLoadAndAbuse) {
    // Limits wide enough that every client below is let in: this is about capacity.
    THttpServerLimits limits;
    limits.maxConnections = 256;
    limits.maxConnectionsPerPeer = 256;
    limits.maxQueuedRequests = 256;
    TWebServer server(folder.web, Source(), loop.Post(), limits);
    ASSERT_TRUE(server.Activate(0, nullptr, "127.0.0.1"));
    const int port = server.Port();
    const std::string page = Expected("/", "");
    const auto start = std::chrono::steady_clock::now();

    // Silent clients: connected, nothing sent (or a request line and then nothing).
    std::vector<test::TRawSocket> silent;
    for (int i = 0; i < 16; ++i) {
        const test::TRawSocket fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        if (i % 2) test::SendRaw(fd, "GET / HTTP/1.1\r\n");
        silent.push_back(fd);
    }

    // Malformed and oversized requests.
    const std::string longUrl = "/" + std::string(20000, 'a') + ".css";
    const std::string longHeader =
        "GET / HTTP/1.0\r\nX-Big: " + std::string(100000, 'b') + "\r\n\r\n";
    std::string binary(512, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 37 + 11);
    const std::string abuse[] = {
        "GARBAGE\r\n\r\n",
        "GET\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "GET /%00 HTTP/1.0\r\n\r\n",
        std::string("GET /a\0b.css HTTP/1.0\r\n\r\n", 26),
        "GET " + longUrl + " HTTP/1.0\r\n\r\n",
        longHeader,
        binary,
        "POST / HTTP/1.0\r\nContent-Length: 99999999\r\n\r\nxx",
        "GET / HTTP/1.0\r\nContent-Length: -5\r\n\r\n",
        "\r\n\r\n\r\n",
    };
    // All at once: the server answers them with errors (or drops them) while it
    // goes on serving normal requests.
    std::vector<std::thread> abusers;
    std::atomic<int> wrongAnswers{0};
    for (const auto& req : abuse) {
        abusers.emplace_back([&, req] {
            const auto r = RawExchange(port, req, 4000);
            if (r.ok && r.status == 200 && req.rfind("GET / HTTP/1.0\r\nContent-Length", 0) != 0)
                ++wrongAnswers;
        });
    }
    for (int i = 0; i < 10; ++i) EXPECT_EQ(HttpGet(port, "/css/style.css", 3000).status, 200);
    for (auto& t : abusers) t.join();
    EXPECT_EQ(wrongAnswers.load(), 0);

    // 200 concurrent clients, pages and files.
    constexpr int kClients = 200;
    std::atomic<int> okPages{0}, okFiles{0}, failed{0};
    std::vector<std::thread> clients;
    clients.reserve(kClients);
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            if (i % 2 == 0) {
                const auto r = HttpGet(port, "/", 10000);
                if (r.status == 200 && r.body == page) {
                    ++okPages;
                } else {
                    ++failed;
                }
            } else {
                const auto r = HttpGet(port, "/css/style.css", 10000);
                if (r.status == 200 && r.body == "body{}") {
                    ++okFiles;
                } else {
                    ++failed;
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(okPages.load(), kClients / 2);
    EXPECT_EQ(okFiles.load(), kClients / 2);
    EXPECT_EQ(failed.load(), 0);

    // The silent clients still hold their connections; normal requests are answered.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpGet(port, "/config.php", 3000).status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    for (const test::TRawSocket fd : silent) test::CloseRaw(fd);
    server.Deactivate();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
}  // namespace telegate
