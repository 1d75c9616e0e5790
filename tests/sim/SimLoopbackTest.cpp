#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

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
    std::mutex mu;
    std::vector<std::string> lines;
};

// Reads whole frames from a socket for at most `ms` milliseconds.
std::vector<TBytes> ReadFrames(int fd, size_t want, int ms) {
    std::vector<TBytes> frames;
    TFrameReader reader;
    TBytes f;
    for (int waited = 0; frames.size() < want && waited < ms; waited += 10) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        uint8_t buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reader.Feed(buf, static_cast<size_t>(n));
        while (reader.Next(f) == TFrameReader::EResult::Frame) frames.push_back(f);
    }
    return frames;
}

TEST(SimLoopbackTest, StartdtAndInterrogationOverTcp) {
    TSimOptions o;
    ASSERT_EQ(ParseSimOptions({"--port", "0", "--points", "3"}, o), "");
    std::vector<TSimStation> stations;
    ASSERT_EQ(BuildSimStations(o, stations), "");
    TSystemClock clock;
    TLockedLog log;
    TSimServer server(o, std::move(stations), clock, log);
    ASSERT_EQ(server.Open(), "");
    const int port = server.Ports().at(0);
    ASSERT_GT(port, 0);
    int cmd[2];
    ASSERT_EQ(pipe(cmd), 0);
    std::thread t([&] { server.Run(cmd[0], -1); });

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    TBytes startdt = MakeUFrame(kStartdtAct);
    ASSERT_EQ(send(fd, startdt.data(), startdt.size(), 0), 6);
    auto f = ReadFrames(fd, 1, 3000);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0], MakeUFrame(kStartdtCon));

    TBytes gi = MakeIFrame(0, 0, {0x64, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x14});
    ASSERT_EQ(send(fd, gi.data(), gi.size(), 0), static_cast<ssize_t>(gi.size()));
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

    ASSERT_EQ(write(cmd[1], "status\nquit\n", 12), 12);
    t.join();
    close(fd);
    close(cmd[0]);
    close(cmd[1]);
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
    EXPECT_TRUE(has("bye"));
}

TEST(SimLoopbackTest, CommandsAreCheckedAndAnswered) {
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
