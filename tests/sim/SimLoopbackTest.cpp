#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "SimNet.h"
#include "SimServer.h"
#include "platform/SystemClock.h"

namespace telegate::sim {
namespace {

class TLockedLog : public ISimLog {
  public:
    void Put(ELineKind, const std::string& line) override {
        std::lock_guard<std::mutex> l(mu);
        lines.push_back(line);
    }
    bool Has(const std::string& prefix) {
        std::lock_guard<std::mutex> l(mu);
        for (const auto& line : lines)
            if (line.rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::mutex mu;
    std::vector<std::string> lines;
};

// Reads whole frames from a socket for at most `ms` milliseconds.
std::vector<TBytes> ReadFrames(net::TSocket s, size_t want, int ms) {
    std::vector<TBytes> frames;
    TFrameReader reader;
    TBytes f;
    std::string err;
    for (int waited = 0; frames.size() < want && waited < ms; waited += 10) {
        std::vector<net::TWaitItem> w{{s}};
        if (!net::Wait(w, 10, err) || !w[0].readable) continue;
        uint8_t buf[4096];
        const net::TIo r = net::Receive(s, buf, sizeof buf);
        if (r.status != net::EIo::Done) break;
        reader.Feed(buf, r.count);
        while (reader.Next(f) == TFrameReader::EResult::Frame) frames.push_back(f);
    }
    return frames;
}

// Sends all of data on a blocking socket.
bool SendAll(net::TSocket s, const TBytes& data) {
    const net::TIo r = net::Send(s, data.data(), data.size());
    return r.status == net::EIo::Done && r.count == data.size();
}

class SimLoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(net::Startup(), ""); }
};

TEST_F(SimLoopbackTest, StartdtAndInterrogationOverTcp) {
    TSimOptions o;
    ASSERT_EQ(ParseSimOptions({"--port", "0", "--points", "3", "--exit-on-eof"}, o), "");
    std::vector<TSimStation> stations;
    ASSERT_EQ(BuildSimStations(o, stations), "");
    TSystemClock clock;
    TLockedLog log;
    TSimServer server(o, std::move(stations), clock, log);
    ASSERT_EQ(server.Open(), "");
    const int port = server.Ports().at(0);
    ASSERT_GT(port, 0);
    // Commands arrive as they do from standard input: on a stream of their own.
    net::TSocket cmdIn = net::kNoSocket, cmdOut = net::kNoSocket;
    std::string err;
    ASSERT_TRUE(net::MakePair(cmdIn, cmdOut, err)) << err;
    std::thread t([&] { server.Run(cmdOut, nullptr); });

    const net::TSocket fd = net::ConnectLoopback(port, err);
    ASSERT_NE(fd, net::kNoSocket) << err;
    ASSERT_TRUE(SendAll(fd, MakeUFrame(kStartdtAct)));
    auto f = ReadFrames(fd, 1, 3000);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], MakeUFrame(kStartdtCon));

    TBytes gi = MakeIFrame(0, 0, {0x64, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x14});
    ASSERT_TRUE(SendAll(fd, gi));
    f = ReadFrames(fd, 4, 3000);
    ASSERT_EQ(f.size(), 4u);
    const uint8_t causes[] = {7, 20, 20, 10};
    const uint8_t types[] = {100, 1, 13, 100};
    for (size_t i = 0; i < 4; ++i) {
        TApci c;
        ASSERT_TRUE(ParseApci(f[i].data(), f[i].size(), c));
        EXPECT_EQ(c.kind, EFrameKind::I);
        EXPECT_EQ(c.ns, i);
        EXPECT_EQ(c.nr, 1);
        EXPECT_EQ(f[i][6], types[i]);
        EXPECT_EQ(f[i][8], causes[i]);
    }
    EXPECT_EQ(f[1][7], 3);  // three single points in one ASDU

    // A command split across writes, with a CR LF line end; then the peer leaves
    // and the input ends: the server reads both lines, sees the close and, with
    // --exit-on-eof, stops.
    ASSERT_TRUE(SendAll(cmdIn, {'s', 't', 'a'}));
    ASSERT_TRUE(SendAll(cmdIn, {'t', 'u', 's', '\r', '\n', 'r', 'a', 't', 'e', ' ', '0', '\n'}));
    net::Close(fd);
    const std::string closed = "disconnected " + std::to_string(port) + " 127.0.0.1:";
    for (int waited = 0; waited < 5000 && !log.Has(closed); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    net::Close(cmdIn);
    t.join();
    net::Close(cmdOut);
    std::lock_guard<std::mutex> l(log.mu);
    auto has = [&](const std::string& s) {
        for (const auto& line : log.lines)
            if (line.rfind(s, 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(has("listening 127.0.0.1:" + std::to_string(port)));
    EXPECT_TRUE(has("connected " + std::to_string(port) + " 127.0.0.1:"));
    EXPECT_TRUE(has("rx " + std::to_string(port) + " U STARTDT act"));
    EXPECT_TRUE(has("status " + std::to_string(port) + " started=1"));
    EXPECT_TRUE(has("ok rate 0"));
    bool byPeer = false;
    for (const auto& line : log.lines)
        byPeer = byPeer ||
                 (line.rfind(closed, 0) == 0 && line.find(" closed by peer") == line.size() - 15);
    EXPECT_TRUE(byPeer);
    EXPECT_TRUE(has("bye"));
}

TEST_F(SimLoopbackTest, CommandsAreCheckedAndAnswered) {
    TSimOptions o;
    ASSERT_EQ(ParseSimOptions({"--port", "0", "--points", "2"}, o), "");
    std::vector<TSimStation> stations;
    ASSERT_EQ(BuildSimStations(o, stations), "");
    TSystemClock clock;
    TLockedLog log;
    TSimServer server(o, std::move(stations), clock, log);
    EXPECT_TRUE(server.Command("set 1/3 12.5"));
    EXPECT_TRUE(server.Command("set 9 1"));
    EXPECT_TRUE(server.Command("silence maybe"));
    EXPECT_TRUE(server.Command("@x drop"));
    EXPECT_TRUE(server.Command("frobnicate"));
    EXPECT_TRUE(server.Command(""));
    EXPECT_FALSE(server.Command("quit"));
    ASSERT_EQ(log.lines.size(), 6u);
    EXPECT_EQ(log.lines[0], "ok set 1/3 12.5");
    EXPECT_EQ(log.lines[1], "error cmd no point 9");
    EXPECT_EQ(log.lines[2], "error cmd bad command: silence maybe");
    EXPECT_EQ(log.lines[3], "error cmd bad port in: @x drop");
    EXPECT_EQ(log.lines[4], "error cmd unknown command: frobnicate");
    EXPECT_EQ(log.lines[5], "ok quit");
}

}  // namespace
}  // namespace telegate::sim
