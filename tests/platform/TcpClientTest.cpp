#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/LoopbackPeer.h"
#include "platform/TcpClient.h"

namespace telegate {
namespace {

using testing::ClosedLoopbackPort;
using testing::RawConnect;
using testing::TestNowMs;
using testing::TLoopbackListener;
using testing::TLoopbackPeer;

const std::string kStartDtAct("\x68\x04\x07\x00\x00\x00", 6);
const std::string kStartDtCon("\x68\x04\x0B\x00\x00\x00", 6);

// A listener whose accept queue is full, so a further connect hangs unanswered.
struct TStalledListener {
    TLoopbackListener listener{0};
    std::vector<int> fillers;
    TStalledListener() {
        for (int i = 0; i < 4; ++i) fillers.push_back(RawConnect(listener.Port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~TStalledListener() {
        for (int fd : fillers) testing::CloseRawSocket(fd);
    }
};

TEST(TcpClient, ConnectWriteReadExactOctets) {
    TLoopbackListener listener;
    ASSERT_TRUE(listener.Valid());
    TTcpClient client;
    EXPECT_FALSE(client.Connected());
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000)) << client.LastError();
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.Host(), "127.0.0.1");
    EXPECT_EQ(client.Port(), listener.Port());
    TLoopbackPeer peer = listener.Accept(2000);
    ASSERT_TRUE(peer.Valid());

    ASSERT_TRUE(client.WriteAll(kStartDtAct.data(), kStartDtAct.size()));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);

    ASSERT_TRUE(peer.Send(kStartDtCon));
    char buf[64];
    long n = client.Read(buf, sizeof buf, 2000);
    ASSERT_EQ(n, 6);
    EXPECT_EQ(std::string(buf, 6), kStartDtCon);
}

TEST(TcpClient, ConnectsByHostName) {
    TLoopbackListener listener;
    TTcpClient client;
    ASSERT_TRUE(client.Connect("localhost", listener.Port(), 2000)) << client.LastError();
    TLoopbackPeer peer = listener.Accept(2000);
    EXPECT_TRUE(peer.Valid());
}

TEST(TcpClient, RefusedAndBadPortFailWithoutConnection) {
    TTcpClient client;
    EXPECT_FALSE(client.Connect("127.0.0.1", ClosedLoopbackPort(), 2000));
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.LastError().empty());
    EXPECT_FALSE(client.Connect("127.0.0.1", 0, 2000));
    EXPECT_FALSE(client.Connect("127.0.0.1", 65536, 2000));
    EXPECT_FALSE(client.Connected());
    char buf[4];
    EXPECT_EQ(client.Read(buf, sizeof buf, 10), -1);
    EXPECT_FALSE(client.WriteAll("x", 1));
}

TEST(TcpClient, ConnectTimesOutAndCanBeCancelled) {
    TStalledListener stalled;
    {
        TTcpClient client;
        long long t0 = TestNowMs();
        EXPECT_FALSE(client.Connect("127.0.0.1", stalled.listener.Port(), 200));
        long long took = TestNowMs() - t0;
        EXPECT_GE(took, 150);
        EXPECT_LT(took, 2000);
        EXPECT_FALSE(client.Connected());
    }
    // A wake with the cancel predicate true ends a long connect at once.
    TWakeEvent wake;
    std::atomic<bool> cancel{false};
    TTcpClient client(&wake, [&] { return cancel.load(); });
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        wake.Signal();  // not cancelled: the connect goes on
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        cancel = true;
        wake.Signal();
    });
    long long t0 = TestNowMs();
    EXPECT_FALSE(client.Connect("127.0.0.1", stalled.listener.Port(), 10000));
    long long took = TestNowMs() - t0;
    other.join();
    EXPECT_GE(took, 50);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(client.LastError(), "connect cancelled");
}

TEST(TcpClient, ReadTimesOutWithNothingAndWakeCutsItShort) {
    TLoopbackListener listener;
    TWakeEvent wake;
    TTcpClient client(&wake);
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer = listener.Accept(2000);
    char buf[16];
    long long t0 = TestNowMs();
    EXPECT_EQ(client.Read(buf, sizeof buf, 60), 0);
    EXPECT_GE(TestNowMs() - t0, 50);
    EXPECT_TRUE(client.Connected());

    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wake.Signal();
    });
    t0 = TestNowMs();
    EXPECT_EQ(client.Read(buf, sizeof buf, 5000), 0);
    EXPECT_LT(TestNowMs() - t0, 2000);
    other.join();
}

TEST(TcpClient, WaitReportsReadableWokenAndTimeout) {
    TLoopbackListener listener;
    TWakeEvent wake;
    TTcpClient client(&wake);
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer = listener.Accept(2000);

    EXPECT_EQ(client.Wait(30), TTcpClient::TWaitResult::Timeout);
    wake.Signal();
    wake.Signal();  // signals coalesce
    EXPECT_EQ(client.Wait(5000), TTcpClient::TWaitResult::Woken);
    EXPECT_EQ(client.Wait(20), TTcpClient::TWaitResult::Timeout);

    ASSERT_TRUE(peer.Send("\x01\x02"));
    EXPECT_EQ(client.Wait(5000), TTcpClient::TWaitResult::Readable);
    // Not watching the socket: the pending octets do not wake it.
    EXPECT_EQ(client.Wait(20, false), TTcpClient::TWaitResult::Timeout);
    EXPECT_EQ(client.Available(), 2u);
    char buf[8];
    EXPECT_EQ(client.ReadAvailable(buf, sizeof buf), 2);
    EXPECT_EQ(client.ReadAvailable(buf, sizeof buf), 0);
}

TEST(TcpClient, ReadTakesAtMostTheBufferAndKeepsTheRest) {
    TLoopbackListener listener;
    TTcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer = listener.Accept(2000);
    std::string big(100 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    std::thread sender([&] { peer.Send(big); });
    std::string got;
    std::vector<char> buf(64 * 1024);
    while (got.size() < big.size()) {
        long n = client.Read(buf.data(), buf.size(), 2000);
        ASSERT_GT(n, 0);
        ASSERT_LE(static_cast<size_t>(n), buf.size());
        got.append(buf.data(), static_cast<size_t>(n));
    }
    sender.join();
    EXPECT_EQ(got, big);
}

TEST(TcpClient, PeerCloseIsReportedOnceAndDisconnectIsSilent) {
    TLoopbackListener listener;
    TTcpClient client;
    int drops = 0;
    client.SetOnDisconnected([&] { ++drops; });
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer = listener.Accept(2000);
    peer.Close();
    char buf[8];
    EXPECT_EQ(client.Read(buf, sizeof buf, 2000), -1);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(drops, 1);
    EXPECT_EQ(client.Read(buf, sizeof buf, 10), -1);
    EXPECT_EQ(drops, 1);

    // Our own disconnect is not a drop.
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer2 = listener.Accept(2000);
    EXPECT_TRUE(client.Disconnect());
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(peer2.WaitClosed(2000));
    EXPECT_EQ(drops, 1);
    EXPECT_TRUE(client.Disconnect());  // twice is harmless
}

TEST(TcpClient, WriteToResetPeerFailsWithoutSignal) {
    TLoopbackListener listener;
    TTcpClient client;
    int drops = 0;
    client.SetOnDisconnected([&] { ++drops; });
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer = listener.Accept(2000);
    peer.Reset();
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        failed = !client.WriteAll(kStartDtAct.data(), kStartDtAct.size());
        if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(failed);  // and no SIGPIPE took the process down
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(drops, 1);
}

TEST(TcpClient, StalledWriteDropsTheConnection) {
    TLoopbackListener listener;
    TTcpClient client;
    int drops = 0;
    client.SetOnDisconnected([&] { ++drops; });
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port(), 2000));
    TLoopbackPeer peer = listener.Accept(2000);  // never reads
    std::string chunk(1 << 20, 'x');
    bool ok = true;
    for (int i = 0; i < 64 && ok; ++i) ok = client.WriteAll(chunk.data(), chunk.size(), 100);
    EXPECT_FALSE(ok);
    EXPECT_EQ(client.LastError(), "write stalled");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(drops, 1);
}

TEST(WakeEvent, SleepForStopsOnlyWhenAsked) {
    TWakeEvent wake;
    EXPECT_FALSE(wake.WaitFor(10));
    wake.Signal();
    EXPECT_TRUE(wake.WaitFor(0));
    EXPECT_FALSE(wake.WaitFor(0));  // drained

    std::atomic<bool> stop{false};
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wake.Signal();  // a signal without stop does not end the sleep
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        stop = true;
        wake.Signal();
    });
    long long t0 = TestNowMs();
    EXPECT_TRUE(wake.SleepFor(10000, [&] { return stop.load(); }));
    long long took = TestNowMs() - t0;
    other.join();
    EXPECT_GE(took, 55);
    EXPECT_LT(took, 3000);

    t0 = TestNowMs();
    EXPECT_FALSE(wake.SleepFor(40, [] { return false; }));
    EXPECT_GE(TestNowMs() - t0, 35);
    EXPECT_TRUE(wake.SleepFor(10000, [] { return true; }));  // already asked
}

}  // namespace
}  // namespace telegate
