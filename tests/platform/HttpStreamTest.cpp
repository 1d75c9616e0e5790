// Streamed answers (Server-Sent Events): the bounded queue, a stalled reader, the
// idle deadline and the connection limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/RawHttp.h"
#include "platform/HttpServer.h"
#include "platform/HttpStream.h"

namespace telegate {
namespace {

using test::ConnectLoopback;
using test::RawReadable;
using test::RecvRaw;
using test::SendRaw;

TEST(HttpStreamTest, QueueIsBoundedAndTellsWhatWasLost) {
    THttpStream s(100);
    int wakes = 0;
    s.SetWake([&] { ++wakes; });
    const std::string e40(39, 'x');
    EXPECT_TRUE(s.Push(e40 + "\n"));
    EXPECT_TRUE(s.Push(e40 + "\n"));
    EXPECT_FALSE(s.Push(e40 + "\n"));  // 120 > 100: dropped, not waited for
    EXPECT_TRUE(s.Push("y\n"));        // a smaller one still fits (82 octets)
    EXPECT_EQ(wakes, 0);               // nobody was waiting yet
    std::string first = s.Take();
    EXPECT_EQ(first.rfind("event: lost\ndata: 1\n\n", 0), 0u) << first;
    EXPECT_EQ(first.size(), 21u + 80u + 2u);
    EXPECT_EQ(s.Take(), "");  // empty: the reader waits now
    EXPECT_TRUE(s.Push("z\n"));
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(s.Push("z\n"));
    EXPECT_EQ(wakes, 1);  // one wake per wait
    EXPECT_EQ(s.Take(), "z\nz\n");
    EXPECT_EQ(s.Dropped(), 1u);
    s.Close();
    EXPECT_FALSE(s.Push("late\n"));
    EXPECT_TRUE(s.Drained());
    s.Detach();
    EXPECT_TRUE(s.Detached());

    // A render turns queued records into text when they are taken, the loss
    // notice still first.
    THttpStream r(4);
    r.SetRender([](std::string_view q) { return "<" + std::string(q) + ">"; });
    EXPECT_TRUE(r.Push("ab"));
    EXPECT_FALSE(r.Push("cde"));
    EXPECT_TRUE(r.Push("c"));
    EXPECT_EQ(r.Take(), "event: lost\ndata: 1\n\n<abc>");
    EXPECT_EQ(r.Take(), "");

    struct Case {
        const char* name;
        const char* data;
        const char* event;
    };
    const Case cases[] = {
        {"", "{}", "data: {}\n\n"},
        {"value", "a\nb", "event: value\ndata: a\ndata: b\n\n"},
        {"x", "crlf\r\nline", "event: x\ndata: crlf\ndata: line\n\n"},
        {"", "", "data: \n\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(SseEvent(c.name, c.data), c.event) << c.data;
}

// Reads what arrives within ms (or until the peer closes: closed is then true).
std::string ReadFor(test::TRawSocket fd, int ms, bool* closed = nullptr) {
    std::string data;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !RawReadable(fd, static_cast<int>(left))) break;
        const long n = RecvRaw(fd, buf, sizeof buf);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

class StreamServer {
  public:
    explicit StreamServer(THttpServerLimits limits, size_t capacity = 64 * 1024)
        : server_(
              [this, capacity](const THttpRequest& req, THttpResponse& res) {
                  if (req.path != "/events") {
                      res.body = "plain";
                      return;
                  }
                  auto s = std::make_shared<THttpStream>(capacity);
                  std::lock_guard<std::mutex> lock(mu_);
                  streams_.push_back(s);
                  res.stream = s;
              },
              limits) {}
    int Start() { return server_.Start(0, "127.0.0.1") ? server_.Port() : 0; }
    std::shared_ptr<THttpStream> Stream(size_t i) {
        for (int k = 0; k < 500; ++k) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (streams_.size() > i) return streams_[i];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return nullptr;
    }
    THttpServer& Server() { return server_; }

  private:
    std::mutex mu_;
    std::vector<std::shared_ptr<THttpStream>> streams_;
    THttpServer server_;
};

test::TRawSocket OpenStream(int port) {
    const auto fd = ConnectLoopback(port);
    if (fd >= 0) SendRaw(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return fd;
}

TEST(HttpStreamTest, StalledReaderLosesEventsAndResumesWithoutSlowingTheProducer) {
    StreamServer srv(THttpServerLimits{}, 64 * 1024);
    const int port = srv.Start();
    ASSERT_GT(port, 0);
    const auto fd = OpenStream(port);
    ASSERT_GE(fd, 0);
    auto stream = srv.Stream(0);
    ASSERT_NE(stream, nullptr);
    // 40 MB pushed at a reader that reads nothing: far beyond the queue and the
    // socket buffers. Every push returns at once.
    const std::string payload(1000, 'p');
    int accepted = 0;
    for (int i = 0; i < 40000; ++i) accepted += stream->Push(SseEvent("", payload)) ? 1 : 0;
    EXPECT_GT(stream->Dropped(), 0u);
    EXPECT_LT(accepted, 40000);
    // The reader wakes up: what was queued, then the loss notice; after it the
    // stream goes on with what comes next.
    std::string got;
    for (int i = 0; i < 50 && got.find("event: lost\ndata: ") == std::string::npos; ++i)
        got += ReadFor(fd, 100);
    const auto lost = got.find("event: lost\ndata: ");
    ASSERT_NE(lost, std::string::npos);
    EXPECT_TRUE(stream->Push(SseEvent("end", "after the loss")));
    for (int i = 0; i < 50 && got.find("event: end") == std::string::npos; ++i)
        got += ReadFor(fd, 100);
    test::CloseRaw(fd);
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream", 0), 0u);
    const auto end = got.find("event: end\ndata: after the loss\n\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(lost, end);
    // The loss notices (one per take that found losses) add up to the events
    // that were dropped.
    uint64_t notified = 0;
    for (auto at = got.find("event: lost\ndata: "); at != std::string::npos;
         at = got.find("event: lost\ndata: ", at + 1))
        notified += std::stoull(got.substr(at + 18));
    EXPECT_EQ(notified, stream->Dropped());
    EXPECT_EQ(got.find("Content-Length"), std::string::npos);
}

TEST(HttpStreamTest, IdleStreamsCloseAtTheHeadDeadlineAndCountAsConnections) {
    THttpServerLimits limits;
    limits.headTimeoutMs = 400;
    limits.maxConnections = 2;
    StreamServer srv(limits);
    const int port = srv.Start();
    ASSERT_GT(port, 0);
    const auto busy = OpenStream(port);
    const auto idle = OpenStream(port);
    ASSERT_GE(busy, 0);
    ASSERT_GE(idle, 0);
    auto busyStream = srv.Stream(0);
    ASSERT_NE(busyStream, nullptr);
    ASSERT_NE(srv.Stream(1), nullptr);
    // Both streams hold the two connections: a third is closed at once.
    const auto third = ConnectLoopback(port);
    bool thirdClosed = false;
    ReadFor(third, 500, &thirdClosed);
    test::CloseRaw(third);
    EXPECT_TRUE(thirdClosed);
    // The busy stream gets an event every 100 ms and stays; the idle one goes.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        while (!stop) {
            busyStream->Push(SseEvent("", "tick"));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    bool idleClosed = false, busyClosed = false;
    ReadFor(idle, 1500, &idleClosed);
    const std::string ticks = ReadFor(busy, 300, &busyClosed);
    stop = true;
    feeder.join();
    EXPECT_TRUE(idleClosed);
    EXPECT_FALSE(busyClosed);
    EXPECT_NE(ticks.find("data: tick"), std::string::npos);
    // The producer ends the stream: the reader sees the end.
    busyStream->Close();
    ReadFor(busy, 1000, &busyClosed);
    EXPECT_TRUE(busyClosed);
    test::CloseRaw(busy);
    test::CloseRaw(idle);
}

}  // namespace
}  // namespace telegate
