#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LinkFixture.h"
#include "iec104/LinkStatistics.h"
#include "iec104/StationClient.h"
#include "iec104/StationWorker.h"
#include "model/TypeCatalogue.h"
#include "platform/LoopbackPeer.h"
#include "platform/ManualMainLoop.h"
#include "support/CodePage.h"
#include "support/Notifier.h"

namespace telegate {
namespace {

using testing::ClosedLoopbackPort;
using testing::RawConnect;
using testing::TestNowMs;
using testing::TLoopbackListener;
using testing::TLoopbackPeer;

const std::string kStartDtAct("\x68\x04\x07\x00\x00\x00", 6);
const std::string kStartDtCon("\x68\x04\x0B\x00\x00\x00", 6);
const std::string kTestFrAct("\x68\x04\x43\x00\x00\x00", 6);

enum class TEv { Connect, Disconnect, Read };

struct TEvent {
    TEv kind;
    int nom;
    std::string data;
    std::string host;
    int port = 0;
    TDisconnectReason why = TDisconnectReason::None;
};

// Records the worker's events; touched on the main (test) thread only.
class TRecorder : public IWorkerEvents {
  public:
    explicit TRecorder(IMainLoop& loop) : loop_(loop) {}
    void On_Connect_Main(int nom_th) override { Add({TEv::Connect, nom_th, {}, {}, 0}); }
    void On_DisConnect_Main(int nom_th, TDisconnectReason why) override {
        Add({TEv::Disconnect, nom_th, {}, {}, 0, why});
    }
    void On_Batch_Main(int, const TMainBatch& b) override {
        dataStarted = b.DataStarted;
        batchFrames += b.DecodedFrames();
        if (onBatch) onBatch(b);
    }
    void On_ConnectFailed_Main(int nom_th) override {
        if (!loop_.isMainThread()) ++offMainThread;
        ++connectFailed;
        if (nom_th <= 0) ++offMainThread;  // never: the worker's number is 1-based
        if (onConnectFailed) onConnectFailed();
    }
    void On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                      int port) override {
        Add({TEv::Read, nom_th, str_read, host, port});
    }
    int Count(TEv kind) const {
        int n = 0;
        for (const auto& e : events) n += (e.kind == kind);
        return n;
    }
    std::string ReadData() const {
        std::string s;
        for (const auto& e : events)
            if (e.kind == TEv::Read) s += e.data;
        return s;
    }
    // The reason of the last disconnect report (None when there was none).
    TDisconnectReason LastWhy() const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->kind == TEv::Disconnect) return it->why;
        return TDisconnectReason::None;
    }
    std::vector<TEv> Kinds() const {
        std::vector<TEv> k;
        for (const auto& e : events) k.push_back(e.kind);
        return k;
    }

    std::vector<TEvent> events;
    int offMainThread = 0;
    int connectFailed = 0;  // failed connect reports (not in events)
    std::string batchFrames;  // I frames of the batches, in order
    bool dataStarted = false;  // as the last batch said
    // Called after each connect or read is recorded (on the main thread).
    std::function<void()> onConnect;
    std::function<void()> onRead;
    std::function<void()> onDisconnect;
    std::function<void()> onConnectFailed;
    std::function<void(const TMainBatch&)> onBatch;

  private:
    void Add(TEvent e) {
        if (!loop_.isMainThread()) ++offMainThread;
        const TEv kind = e.kind;
        events.push_back(std::move(e));
        if (kind == TEv::Connect && onConnect) onConnect();
        if (kind == TEv::Read && onRead) onRead();
        if (kind == TEv::Disconnect && onDisconnect) onDisconnect();
    }
    IMainLoop& loop_;
};

TWorkerTimings FastTimings() {
    TWorkerTimings t;
    t.StartDelayMs = 0;
    t.FirstConnectTimeoutMs = 2000;
    t.ConnectTimeoutMs = 2000;
    t.ReconnectPauseMs = 10;
    t.WatchdogPauseMs = 50;
    return t;
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("telegate-worker-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (worker_) {
            worker_->Terminate();
            PumpUntil([&] { return worker_->Finished(); }, 5000);
            EXPECT_TRUE(worker_->WaitFinished(1000));
        }
        EXPECT_EQ(rec_.offMainThread, 0);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::shared_ptr<Toprosdevice> Make(int nomer, int port, int t0,
                                       TWorkerTimings timings = FastTimings()) {
        TWorkerTrace trace;
        trace.Enabled = [this] { return traceOn_.load(); };
        trace.Dir = dir_.string();
        worker_ = std::make_shared<Toprosdevice>(nomer, "127.0.0.1", port, t0, loop_, rec_, clock_,
                                                 trace, timings);
        return worker_;
    }

    // Serves the worker's calls on this (the main) thread until pred holds.
    template <class Pred>
    bool PumpUntil(Pred pred, int timeoutMs) {
        const long long end = TestNowMs() + timeoutMs;
        for (;;) {
            loop_.RunPending();
            if (pred()) return true;
            if (TestNowMs() >= end) return false;
            loop_.WaitForPending(5);
        }
    }
    void PumpFor(int ms) {
        PumpUntil([] { return false; }, ms);
    }

    std::string TraceText(int nomer) const {
        std::ifstream f(dir_ / ("Thread" + std::to_string(nomer - 1) + ".txt"), std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        return Cp1251ToUtf8(raw);
    }

    TManualClock clock_;
    TManualMainLoop loop_{clock_};
    TRecorder rec_{loop_};
    std::atomic<bool> traceOn_{true};
    std::filesystem::path dir_;
    std::shared_ptr<Toprosdevice> worker_;
};

TEST_F(WorkerTest, SilenceLimitIsWholeSeconds) {
    EXPECT_EQ(Make(1, 1, 30000)->SilenceLimitSec(), 30);
    EXPECT_EQ(Make(1, 1, 999)->SilenceLimitSec(), 1);
    EXPECT_EQ(Make(1, 1, 998)->SilenceLimitSec(), 0);
    EXPECT_EQ(Make(1, 1, 1999)->SilenceLimitSec(), 2);
}

TEST_F(WorkerTest, SendBufferTakesWholeFramesUpToItsLimit) {
    auto w = Make(1, 2404, 30000);  // not started
    const std::string frame(250, 'x');
    size_t taken = 0;
    while (w->TryPutToWrite(frame)) taken += frame.size();
    // Whole frames only: the last one that did not fit is refused, not cut.
    EXPECT_LE(taken, Toprosdevice::kSendBufferLimit);
    EXPECT_GT(taken + frame.size(), Toprosdevice::kSendBufferLimit);
    EXPECT_FALSE(w->TryPutToWrite(kTestFrAct + kTestFrAct + frame));
    w->SetTarget("10.1.2.3", 2405);
    EXPECT_EQ(w->Host(), "10.1.2.3");
    EXPECT_EQ(w->Port(), 2405);
    EXPECT_FALSE(w->IsConnect());
    EXPECT_TRUE(w->Finished());  // never started
}

TEST_F(WorkerTest, ConnectsReadsOnlyAfterFirstWriteAndTraces) {
    TLoopbackListener listener;
    auto w = Make(3, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    EXPECT_EQ(rec_.events[0].nom, 3);
    EXPECT_TRUE(PumpUntil([&] { return w->IsConnect(); }, 1000));

    // The station talks first: nothing is taken before the master has written.
    ASSERT_TRUE(peer.Send(kTestFrAct));
    PumpFor(300);
    EXPECT_EQ(rec_.Count(TEv::Read), 0);

    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    ASSERT_TRUE(PumpUntil([&] { return rec_.ReadData().size() >= 6; }, 2000));
    EXPECT_EQ(rec_.ReadData(), kTestFrAct);
    ASSERT_TRUE(peer.Send(kStartDtCon));
    ASSERT_TRUE(PumpUntil([&] { return rec_.ReadData().size() >= 12; }, 2000));
    EXPECT_EQ(rec_.ReadData(), kTestFrAct + kStartDtCon);
    const TEvent& read = rec_.events.back();
    EXPECT_EQ(read.nom, 3);
    EXPECT_EQ(read.host, "127.0.0.1");
    EXPECT_EQ(read.port, listener.Port());
    // The buffer has been written: it takes the next frame.
    EXPECT_TRUE(PumpUntil([&] { return w->TryPutToWrite(kTestFrAct); }, 2000));
    EXPECT_EQ(peer.Receive(6, 2000), kTestFrAct);

    const std::string peerText = "127.0.0.1:" + std::to_string(listener.Port());
    const std::string trace = TraceText(3);
    EXPECT_NE(trace.find(" первое соединение с " + peerText + " установлено\r\n"),
              std::string::npos);
    EXPECT_NE(trace.find(" периодическая запись в лог " + peerText + " \r\n"), std::string::npos);
    EXPECT_NE(trace.find(" WriteText \r\n"), std::string::npos);
    EXPECT_NE(trace.find(" -> 68 04 07 00 00 00 \r\n"), std::string::npos);
    EXPECT_NE(trace.find(" <- 68 04 43 00 00 00 "), std::string::npos);
    EXPECT_NE(trace.find(" BufferSize "), std::string::npos);
    // Every line starts with the time of day.
    EXPECT_EQ(trace.substr(0, 9), FormatTime(clock_.Now()) + " ");
}

TEST_F(WorkerTest, TraceOffWritesNoFile) {
    traceOn_ = false;
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "Thread0.txt"));
    // Switched on at run time: the next lines go to the file.
    traceOn_ = true;
    ASSERT_TRUE(PumpUntil([&] { return w->TryPutToWrite(kTestFrAct); }, 2000));
    EXPECT_EQ(peer.Receive(6, 2000), kTestFrAct);
    EXPECT_TRUE(PumpUntil(
        [&] { return TraceText(1).find(" -> 68 04 43 00 00 00 ") != std::string::npos; }, 2000));
}

TEST_F(WorkerTest, SilenceWatchdogDropsAfterLimitOnTheMonotonicClock) {
    TLoopbackListener listener;
    auto w = Make(2, listener.Port(), 999);  // 1 s
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);

    // Octets from the station count as a sign of life.
    clock_.Advance(900);
    ASSERT_TRUE(peer.Send(kStartDtCon));
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Read) == 1; }, 2000));
    clock_.Advance(1000);  // exactly the limit: not yet
    PumpFor(300);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 0);
    EXPECT_TRUE(w->IsConnect());
    // A wall clock jump does not matter.
    clock_.SetWall(clock_.Now() + 1.0);
    PumpFor(150);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 0);

    clock_.Advance(1);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Disconnect) == 1; }, 2000));
    EXPECT_EQ(rec_.LastWhy(), TDisconnectReason::Silence);
    EXPECT_TRUE(peer.WaitClosed(2000));
    EXPECT_TRUE(PumpUntil([&] { return !w->IsConnect(); }, 2000));
    clock_.Advance(5000);
    PumpFor(200);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 1);
    EXPECT_NE(TraceText(2).find(" вышел таймаут. разрываю соединение 127.0.0.1:" +
                                std::to_string(listener.Port()) + " 999\r\n"),
              std::string::npos);
}

TEST_F(WorkerTest, StationThatNeverSpeaksIsDroppedEvenBeforeAnyWrite) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 999);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    clock_.Advance(2001);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Disconnect) == 1; }, 2000));
    EXPECT_TRUE(peer.WaitClosed(2000));
    EXPECT_EQ(rec_.Count(TEv::Read), 0);
}

TEST_F(WorkerTest, MustConnectWhileConnectedDropsThenConnectsAgain) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer1 = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));

    w->RequestConnect();
    EXPECT_TRUE(peer1.WaitClosed(2000));
    TLoopbackPeer peer2;
    ASSERT_TRUE(PumpUntil(
        [&] {
            if (!peer2.Valid()) peer2 = listener.Accept(1);
            return rec_.Count(TEv::Connect) == 2;
        },
        3000));
    EXPECT_TRUE(peer2.Valid());
    EXPECT_EQ(rec_.Kinds(), (std::vector<TEv>{TEv::Connect, TEv::Disconnect, TEv::Connect}));
    EXPECT_FALSE(w->MustConnect());
    EXPECT_TRUE(PumpUntil([&] { return w->IsConnect(); }, 1000));
    const std::string trace = TraceText(1);
    EXPECT_NE(trace.find(" пробую убрать соединение "), std::string::npos);
    EXPECT_NE(trace.find(" пробую соединиться с 127.0.0.1:"), std::string::npos);
    EXPECT_NE(
        trace.find(" соединение с 127.0.0.1:" + std::to_string(listener.Port()) + " установлено"),
        std::string::npos);
}

TEST_F(WorkerTest, ReconnectGoesToTheNewTarget) {
    TLoopbackListener first;
    TLoopbackListener second;
    auto w = Make(1, first.Port(), 30000);
    w->Start();
    TLoopbackPeer p1 = first.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    w->SetTarget("127.0.0.1", second.Port());
    w->RequestConnect();
    TLoopbackPeer p2;
    ASSERT_TRUE(PumpUntil(
        [&] {
            if (!p2.Valid()) p2 = second.Accept(1);
            return rec_.Count(TEv::Connect) == 2;
        },
        3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(p2.Receive(6, 2000), kStartDtAct);
}

TEST_F(WorkerTest, FailedConnectAndWriteWhileDisconnectedAreHarmless) {
    const int port = ClosedLoopbackPort();
    auto w = Make(1, port, 30000);
    w->Start();
    EXPECT_TRUE(PumpUntil(
        [&] { return TraceText(1).find(" ошибка первого соединения с ") != std::string::npos; },
        3000));
    EXPECT_FALSE(w->IsConnect());
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    // The frame is dropped and the slot frees again; the worker goes on.
    EXPECT_TRUE(PumpUntil([&] { return w->TryPutToWrite(kTestFrAct); }, 2000));
    EXPECT_TRUE(PumpUntil([&] { return w->TryPutToWrite(kTestFrAct); }, 2000));
    EXPECT_FALSE(w->Finished());
    EXPECT_EQ(rec_.events.size(), 0u);
    EXPECT_TRUE(PumpUntil([&] { return rec_.connectFailed == 1; }, 2000));

    // A later request reaches a station that is up by now.
    w->RequestConnect();
    EXPECT_TRUE(PumpUntil(
        [&] {
            return TraceText(1).find(" не удалось соединиться с 127.0.0.1:" + std::to_string(port) +
                                     " ") != std::string::npos;
        },
        3000));
    EXPECT_TRUE(PumpUntil([&] { return rec_.connectFailed == 2; }, 2000));
    EXPECT_EQ(rec_.Count(TEv::Connect), 0);
}

TEST_F(WorkerTest, PeerCloseGivesOneDisconnect) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    peer.Close();
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Disconnect) == 1; }, 2000));
    EXPECT_EQ(rec_.LastWhy(), TDisconnectReason::StationClosed);
    EXPECT_FALSE(w->IsConnect());
    PumpFor(300);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 1);
    EXPECT_NE(TraceText(1).find(" ClientDisconnected 127.0.0.1:"), std::string::npos);
}

TEST_F(WorkerTest, DisconnectRequestClosesAndReportsOnce) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    w->RequestDisconnect();
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Disconnect) == 1; }, 2000));
    EXPECT_EQ(rec_.LastWhy(), TDisconnectReason::OperatorStop);
    EXPECT_TRUE(peer.WaitClosed(2000));
    EXPECT_FALSE(w->IsConnect());
    EXPECT_FALSE(w->MustDisconnect());
    PumpFor(200);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 1);
    EXPECT_NE(TraceText(1).find(" соединение с 127.0.0.1:" + std::to_string(listener.Port()) +
                                " разорвано"),
              std::string::npos);
}

TEST_F(WorkerTest, TerminateWhileConnectedReportsOnceAndClosesSocket) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    w->Terminate();
    ASSERT_TRUE(PumpUntil([&] { return w->Finished(); }, 2000));
    EXPECT_TRUE(w->WaitFinished(1000));
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 1);
    EXPECT_EQ(rec_.LastWhy(), TDisconnectReason::OperatorStop);
    EXPECT_TRUE(peer.WaitClosed(1000));
    EXPECT_FALSE(w->IsConnect());
    EXPECT_NE(TraceText(1).find(" поток завершается 127.0.0.1:" + std::to_string(listener.Port()) +
                                " \r\n"),
              std::string::npos);
}

TEST_F(WorkerTest, TerminateWhileConnectingDoesNotWaitForTheTimeout) {
    TLoopbackListener listener(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) fillers.push_back(RawConnect(listener.Port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    TWorkerTimings t = FastTimings();
    t.FirstConnectTimeoutMs = 10000;
    auto w = Make(1, listener.Port(), 30000, t);
    w->Start();
    PumpFor(200);  // now inside the connect
    const long long t0 = TestNowMs();
    w->Terminate();
    ASSERT_TRUE(PumpUntil([&] { return w->Finished(); }, 3000));
    EXPECT_LT(TestNowMs() - t0, 2000);
    EXPECT_EQ(rec_.Count(TEv::Connect), 0);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 1);
    for (int fd : fillers) testing::CloseRawSocket(fd);
}

TEST_F(WorkerTest, TerminateDuringStartDelayEndsAtOnce) {
    TLoopbackListener listener;
    TWorkerTimings t = FastTimings();
    t.StartDelayMs = 10000;
    auto w = Make(1, listener.Port(), 30000, t);
    w->Start();
    PumpFor(50);
    w->Terminate();
    ASSERT_TRUE(PumpUntil([&] { return w->Finished(); }, 2000));
    EXPECT_FALSE(listener.Accept(50).Valid());  // never tried to connect
    EXPECT_EQ(rec_.Kinds(), std::vector<TEv>{TEv::Disconnect});
}

TEST_F(WorkerTest, TerminateAfterTheMainLoopQuitNeverBlocks) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    loop_.quit();
    // Data arriving now cannot be delivered; the worker must not hang on it.
    ASSERT_TRUE(peer.Send(kStartDtCon));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    w->Terminate();
    EXPECT_TRUE(w->WaitFinished(2000));  // nobody serves the loop
    EXPECT_TRUE(peer.WaitClosed(1000));
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 0);
    EXPECT_EQ(rec_.Count(TEv::Read), 0);
}

TEST_F(WorkerTest, TerminateWhileMainThreadBusyAndReferenceDropped) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    // The main thread is busy (does not serve): Terminate returns at once and the
    // worker waits for its last report.
    const long long t0 = TestNowMs();
    w->Terminate();
    EXPECT_LT(TestNowMs() - t0, 100);
    EXPECT_FALSE(w->WaitFinished(200));
    // The owner lets go; the running thread keeps its worker alive.
    std::weak_ptr<Toprosdevice> weak = w;
    w.reset();
    worker_.reset();
    ASSERT_FALSE(weak.expired());
    // A late call from the client side still reaches a live object.
    if (auto late = weak.lock()) {
        late->TryPutToWrite(kTestFrAct);
        late->RequestDisconnect();
    }
    ASSERT_TRUE(PumpUntil([&] { return weak.expired(); }, 3000));
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 1);
    EXPECT_TRUE(peer.WaitClosed(1000));
}

TEST_F(WorkerTest, BusyStationIsReadInLargeBlocks) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    traceOn_ = false;
    // 2000 frames in a burst arrive complete and in order, in far fewer blocks.
    std::string burst;
    for (int i = 0; i < 2000; ++i) {
        burst += std::string("\x68\x04\x01\x00", 4);
        burst += static_cast<char>((i * 2) & 0xFF);
        burst += static_cast<char>((i * 2) >> 8);
    }
    std::thread sender([&] { peer.Send(burst); });
    ASSERT_TRUE(PumpUntil([&] { return rec_.ReadData().size() >= burst.size(); }, 5000));
    sender.join();
    EXPECT_EQ(rec_.ReadData(), burst);
    EXPECT_LT(rec_.Count(TEv::Read), 200);
    for (const auto& e : rec_.events) EXPECT_LE(e.data.size(), Toprosdevice::kMaxBlock);
}

// Frames in a burst from a station whose own k is large: N(S) counting up from 0.
std::string IFrames(int from, int count) {
    std::string out;
    for (int ns = from; ns < from + count; ++ns) {
        out += std::string("\x68\x0E", 2);
        out += static_cast<char>((ns << 1) & 0xFF);
        out += static_cast<char>((ns >> 7) & 0xFF);
        out += std::string("\x00\x00\x01\x01\x03\x00\x01\x00", 8);
        out += static_cast<char>(ns & 0xFF);
        out += static_cast<char>((ns >> 8) & 0xFF);
        out += std::string("\x00\x01", 2);
    }
    return out;
}

// The worker does not wait for the main thread: blocks queue up while the main
// thread is busy and reach it as one batch, and the acknowledgements the main
// thread leaves meanwhile (several, one per w frames) all go out.
TEST_F(WorkerTest, BlocksQueueWhileTheMainThreadIsBusyAndArriveAsOneBatch) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    // The main thread does not run: three separate sends are all read meanwhile.
    const std::string a = IFrames(0, 8), b = IFrames(8, 8), c = kStartDtCon;
    for (const std::string& part : {a, b, c}) {
        ASSERT_TRUE(peer.Send(part));
        const size_t want = w->QueuedOctets() + part.size();
        const long long end = TestNowMs() + 2000;
        while (w->QueuedOctets() < want && TestNowMs() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(w->QueuedOctets(), a.size() + b.size() + c.size());
    EXPECT_EQ(rec_.Count(TEv::Read), 0);
    const std::string s8("\x68\x04\x01\x00\x10\x00", 6), s16("\x68\x04\x01\x00\x20\x00", 6);
    rec_.onRead = [&] {
        EXPECT_TRUE(w->TryPutToWrite(s8));
        EXPECT_TRUE(w->TryPutToWrite(s16));
    };
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Read) >= 1; }, 2000));
    EXPECT_EQ(rec_.Count(TEv::Read), 1);
    EXPECT_EQ(rec_.ReadData(), a + b + c);
    EXPECT_EQ(w->QueuedOctets(), 0u);
    EXPECT_EQ(peer.Receive(12, 2000), s8 + s16);
}

// A main thread that falls behind holds the station back: at the queue's limit
// the worker stops reading, the octets wait in TCP, and once the main thread
// takes the queue everything arrives complete and in order, on the same
// connection.
TEST_F(WorkerTest, FullQueueHoldsTheStationBackWithoutLossOrReconnect) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    traceOn_ = false;
    const std::string burst = IFrames(0, 32767) + IFrames(0, 32767);  // about 1.1 MB
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        peer.Send(burst);
        sent = true;
    });
    // Without the main thread the queue fills to its limit and no further.
    const long long end = TestNowMs() + 5000;
    while (w->QueuedOctets() < Toprosdevice::kRxQueueLimit && TestNowMs() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GE(w->QueuedOctets(), Toprosdevice::kRxQueueLimit);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(w->QueuedOctets(), Toprosdevice::kRxQueueLimit + Toprosdevice::kMaxBlock);
    EXPECT_EQ(rec_.Count(TEv::Read), 0);
    ASSERT_TRUE(PumpUntil([&] { return rec_.ReadData().size() >= burst.size(); }, 10000));
    sender.join();
    EXPECT_TRUE(sent.load());
    EXPECT_TRUE(rec_.ReadData() == burst);
    EXPECT_EQ(rec_.Count(TEv::Disconnect), 0);
    EXPECT_EQ(rec_.Count(TEv::Connect), 1);
    EXPECT_TRUE(w->IsConnect());
}

// A stop while batches wait for the main thread: they are handed over before the
// final disconnect report, and nothing comes after it.
TEST_F(WorkerTest, StopWithQueuedBatchesDeliversThemBeforeTheDisconnect) {
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    ASSERT_TRUE(w->TryPutToWrite(kStartDtAct));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    const std::string data = IFrames(0, 20);
    ASSERT_TRUE(peer.Send(data));
    const long long end = TestNowMs() + 2000;
    while (w->QueuedOctets() < data.size() && TestNowMs() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(w->QueuedOctets(), data.size());
    w->Terminate();
    ASSERT_TRUE(PumpUntil([&] { return w->Finished(); }, 3000));
    PumpFor(50);  // the delivery posted earlier finds nothing left
    EXPECT_EQ(rec_.Kinds(), (std::vector<TEv>{TEv::Connect, TEv::Read, TEv::Disconnect}));
    EXPECT_EQ(rec_.ReadData(), data);
}

// The link counts as connected only once the client has reset its link state: a
// service pass that runs before the connect report sends nothing with the old
// connection's counters and does not queue a command that the reset would drop.
TEST_F(WorkerTest, ServicePassBeforeTheConnectReportSendsNothingStale) {
    TMessBuff journal(1000, 0);
    TRecordingNotifier notifier;
    TTypeIdentList types(notifier);
    TPrmn prm;
    SetDefaultPrmn(prm, "127.0.0.1", 2404);
    prm.prWork1 = 1;
    TLoopbackListener listener;
    auto w = Make(1, listener.Port(), 30000);
    PClientSocket ps;
    ps.Nomer_Thread = 1;
    ps.oprosdevice2 = w;
    T104Client client(ps, prm, TLinkEnv{clock_, journal, types, dir_.string()});
    // What is left of a previous connection: five frames received, three
    // acknowledged, t3 long expired; and a command waiting to go out.
    client.Fvr = 5;
    client.FVrAck = 3;
    client.ElemTU.Init(tuCommand_On, 1, 5000, client.prm, true);
    auto pass = [&] {
        client.Connecting(false, 0);
        client.TuService1();
        client.ConnectService(false, 0);
    };
    rec_.onConnect = [&] { client.DoOnConnect(); };
    rec_.onRead = [&] {
        PSocket_temp sock{rec_.events.back().data, "127.0.0.1", listener.Port()};
        client.Receive(sock, false, 0);
        client.RaspakReceiveBufferAPDU(false, 0);
        pass();
    };
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(peer.Valid());
    // The connect report waits on the main thread; a timer pass comes first.
    ASSERT_TRUE(loop_.WaitForPending(3000));
    pass();
    ASSERT_EQ(loop_.RunPending(), 1);
    ASSERT_EQ(rec_.Count(TEv::Connect), 1);
    ASSERT_TRUE(PumpUntil(
        [&] {
            pass();
            return client.flag.Op(FYes, bsb_STARTDT_Act);
        },
        2000));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    ASSERT_TRUE(peer.Send(kStartDtCon));
    // The select goes out as the first I frame of the new connection.
    std::string got;
    ASSERT_TRUE(PumpUntil(
        [&] {
            pass();
            got += peer.Receive(1, 1);
            return got.size() >= 16 || client.ElemTU.step1 == stuNone;
        },
        3000));
    const std::string select("\x68\x0E\x00\x00\x00\x00\x2D\x01\x06\x00\x01\x00\x88\x13\x00\x85",
                             16);
    EXPECT_EQ(got.substr(0, 16), select);
}

// The reason of a disconnect as the statistics give it, from the wire: a real
// worker and station client against a station that refuses, closes, falls silent,
// leaves our interrogation unacknowledged or sends out of sequence.
// Each case twice: with the link layer on the main thread, fed octets, and as
// polling runs it, on the station's side with the poller reading.
TEST_F(WorkerTest, DisconnectReasonsAtTheWire) {
  for (const bool onWorker : {false, true}) {
    SCOPED_TRACE(onWorker ? "link on the worker, poller" : "link on the main thread");
    using R = TDisconnectReason;
    enum class TAct { Refuse, Close, Silence, T1, Sequence };
    struct TCase {
        const char* what;
        TAct act;
        R reason;
        uint32_t connects, disconnects, t1, seq;
    };
    const TCase cases[] = {
        {"refused connect", TAct::Refuse, R::ConnectFailed, 0, 0, 0, 0},
        {"station closes", TAct::Close, R::StationClosed, 1, 1, 0, 0},
        {"silence", TAct::Silence, R::Silence, 1, 1, 0, 0},
        {"t1 expires", TAct::T1, R::T1Expired, 1, 1, 1, 0},
        {"sequence error", TAct::Sequence, R::SequenceError, 1, 1, 0, 1},
    };
    TMessBuff journal(1000, 0);
    TRecordingNotifier notifier;
    TTypeIdentList types(notifier);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        rec_.events.clear();
        rec_.connectFailed = 0;
        TLoopbackListener listener;
        const int port = c.act == TAct::Refuse ? ClosedLoopbackPort() : listener.Port();
        TPrmn prm;
        SetDefaultPrmn(prm, "127.0.0.1", port);
        prm.prWork1 = 1;
        prm.t0 = 999;  // silence after one second without octets
        auto w = Make(1, port, prm.t0);
        PClientSocket ps;
        ps.Nomer_Thread = 1;
        ps.oprosdevice2 = w;
        const TLinkEnv env{clock_, journal, types, dir_.string()};
        T104Client client(ps, prm, env);
        TLinkDiagnostics diag(clock_);
        client.Diag = &diag;
        std::shared_ptr<TStationPoller> poller;
        if (onWorker) {
            RunLinkOnWorker(*w, client, env);
            poller = std::make_shared<TStationPoller>();
            poller->Add(w);
        }
        // Whatever way the case ends, the worker is gone before the client.
        struct TEnd {
            std::function<void()> run;
            ~TEnd() { run(); }
        } end{[this, poller] {
            if (poller) {
                poller->Stop();
                poller->Join();
            }
            if (worker_) {
                worker_->Terminate();
                PumpUntil([&] { return worker_->Finished(); }, 5000);
                worker_->WaitFinished(1000);
            }
            rec_.onConnect = rec_.onDisconnect = rec_.onConnectFailed = rec_.onRead = nullptr;
            rec_.onBatch = nullptr;
        }};
        auto pass = [&] {
            client.Connecting(false, 0);
            client.TuService1();
            client.ConnectService(false, 0);
        };
        rec_.onConnect = [&] {
            client.DoOnConnect();
            diag.OnConnected();
        };
        rec_.onDisconnect = [&] {
            client.flag.Op(FSet, bsb_CallDoDisconnect);
            diag.OnDisconnected(rec_.LastWhy());
        };
        rec_.onConnectFailed = [&] { diag.OnConnectFailed(); };
        rec_.onRead = [&] {
            PSocket_temp sock{rec_.events.back().data, "127.0.0.1", port};
            client.Receive(sock, false, 0);
            client.RaspakReceiveBufferAPDU(false, 0);
            pass();
        };
        rec_.onBatch = [&](const TMainBatch& b) {
            client.TakeBatch(b, 0);
            pass();
        };
        w->Start();
        if (poller) poller->Start();
        TLoopbackPeer peer;
        if (c.act != TAct::Refuse) {
            peer = listener.Accept(3000);
            ASSERT_TRUE(peer.Valid());
            ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
            // On the worker, STARTDT goes out without the main thread.
            if (!onWorker) {
                ASSERT_TRUE(PumpUntil(
                    [&] {
                        pass();
                        return client.flag.Op(FYes, bsb_STARTDT_Act);
                    },
                    2000));
            }
            ASSERT_EQ(peer.Receive(6, 2000), kStartDtAct);
        }
        switch (c.act) {
            case TAct::Refuse:
                break;
            case TAct::Close:
                peer.Close();
                break;
            case TAct::Silence:
                clock_.Advance(2001);
                break;
            case TAct::T1: {
                // The interrogation goes out and is never acknowledged; the station
                // keeps talking (test frames), so the silence limit is not reached.
                ASSERT_TRUE(peer.Send(kStartDtCon));
                std::string got;
                ASSERT_TRUE(PumpUntil(
                    [&] {
                        pass();
                        got += peer.Receive(1, 1);
                        return got.size() >= 16;
                    },
                    3000));
                ASSERT_EQ(got.substr(6, 1), "\x64");  // C_IC_NA_1
                for (int ms = 0; ms <= prm.t1; ms += 500) {
                    clock_.Advance(500);
                    ASSERT_TRUE(peer.Send(kTestFrAct));
                    ASSERT_TRUE(PumpUntil(
                        [&] {
                            w->TakeQueued();
                            return w->QueuedOctets() == 0;
                        },
                        1000));
                    PumpFor(5);
                    pass();
                    if (rec_.Count(TEv::Disconnect) > 0) break;
                }
                break;
            }
            case TAct::Sequence:
                ASSERT_TRUE(peer.Send(kStartDtCon));
                // N(S) = 3 where 0 is due.
                ASSERT_TRUE(peer.Send(
                    std::string("\x68\x0E\x06\x00\x00\x00\x01\x01\x03\x00\x01\x00\x01\x00\x00\x01",
                                16)));
                break;
        }
        ASSERT_TRUE(PumpUntil(
            [&] {
                pass();
                return c.act == TAct::Refuse ? rec_.connectFailed > 0
                                             : rec_.Count(TEv::Disconnect) > 0;
            },
            4000));
        if (c.act != TAct::Refuse && c.act != TAct::Close) {
            EXPECT_TRUE(peer.WaitClosed(2000));
        }
        const TLinkStatistics s = diag.Stats;
        EXPECT_EQ(s.LastDisconnectReason, c.reason);
        EXPECT_EQ(s.Connects, c.connects);
        EXPECT_EQ(s.Disconnects, c.disconnects);
        EXPECT_EQ(s.T1Expiries, c.t1);
        EXPECT_EQ(s.SequenceErrors, c.seq);
        EXPECT_EQ(s.ConnectedSince, 0.0);
        EXPECT_STRNE(DisconnectReasonText(s.LastDisconnectReason), "");
        // The worker ends with the operator's stop; with nothing connected it
        // leaves the reason of the loss.
        worker_->Terminate();
        ASSERT_TRUE(PumpUntil([&] { return worker_->Finished(); }, 5000));
        EXPECT_TRUE(worker_->WaitFinished(1000));
        EXPECT_EQ(diag.Stats.LastDisconnectReason, c.reason);
        EXPECT_EQ(diag.Stats.Disconnects, c.disconnects);
    }
  }
}

// With the link layer on the worker's thread the station is acknowledged while
// the main thread does nothing at all: STARTDT goes out by itself, S frames
// leave at every w I frames, and the frames wait as batches for the main thread,
// which gets them complete and in order.
TEST_F(WorkerTest, LinkOnTheWorkerAcknowledgesWithoutTheMainThread) {
    TMessBuff journal(1000, 0);
    TRecordingNotifier notifier;
    TTypeIdentList types(notifier);
    TLoopbackListener listener;
    TPrmn prm;
    SetDefaultPrmn(prm, "127.0.0.1", listener.Port());
    auto w = Make(1, listener.Port(), 30000);
    w->AttachLink(std::make_unique<TWorkerLink>(
        prm, TLinkEnv{clock_, journal, types, dir_.string()}));
    w->Start();
    TLoopbackPeer peer = listener.Accept(3000);
    ASSERT_TRUE(peer.Valid());
    // The connect report waits for the main thread; the link does not.
    ASSERT_TRUE(PumpUntil([&] { return rec_.Count(TEv::Connect) == 1; }, 3000));
    EXPECT_EQ(peer.Receive(6, 2000), kStartDtAct);
    ASSERT_TRUE(peer.Send(kStartDtCon));
    // Data transfer started: that wakes the main thread.
    ASSERT_TRUE(PumpUntil([&] { return rec_.dataStarted; }, 3000));
    clock_.Advance(1000);  // the station is no longer busy
    const std::string flood = IFrames(0, 16);
    ASSERT_TRUE(peer.Send(flood));
    // No pumping from here: two acknowledgements, N(R) = 8 and 16.
    EXPECT_EQ(testlink::ToHex(peer.Receive(12, 3000)), "68 04 01 00 10 00 68 04 01 00 20 00");
    const long long end = TestNowMs() + 2000;
    while (w->QueuedOctets() < flood.size() && TestNowMs() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    // The frames and their bookkeeping wait in the queue.
    EXPECT_GE(w->QueuedOctets(), flood.size());
    EXPECT_EQ(rec_.Count(TEv::Read), 0);
    // Plain spontaneous data does not wake the main thread: it waits until the
    // main thread's pass takes it.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    loop_.RunPending();
    EXPECT_TRUE(rec_.batchFrames.empty());
    w->TakeQueued();
    EXPECT_EQ(rec_.batchFrames, flood);
}

}  // namespace
}  // namespace telegate
