// The master's IEC 60870-5-104 stack without the application layer, for the
// loopback tests and benchmarks: per station a worker thread with its real TCP
// client, a station client and a channel controller, and one tag list built from
// the station table, all on a plain main loop that runs on its own thread. Two
// timers do for the clients what the application's 50 ms and 200 ms timers do:
// the connection step and the channel service, and the drain of changed tags.
//
// Threads: everything but the counters belongs to the loop's thread; the test
// reaches it through Call() (invokeAndWait). Header only, free of gtest.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "iec104/ChannelController.h"
#include "iec104/StationWorker.h"
#include "iec104/WorkerLink.h"
#include "iec104/StationClient.h"
#include "iec104/ClientList.h"
#include "model/Prmn.h"
#include "model/StationTable.h"
#include "model/Tags.h"
#include "model/TypeCatalogue.h"
#include "platform/PlainMainLoop.h"
#include "platform/SystemClock.h"
#include "support/Notifier.h"
#include "support/Journal.h"

namespace telegate::test {

struct TStackOptions {
    // Link parameters of every station (ms, frames).
    int32_t t0 = 30000;
    int32_t t1 = 15000;
    int32_t t2 = 10000;
    int32_t t3 = 20000;
    int32_t kMax = 12;
    int32_t wMax = 8;
    // Send the general interrogation after STARTDT.
    bool prOprosSend = true;
    // Journal categories kept (0: only the lines that are always written).
    uint32_t journalMask = 0;
    // Lines of the journal kept for the test after the timer drained them.
    size_t keptLines = 20000;
    // Short waits so that a test does not sit through the production pauses.
    TWorkerTimings timings = [] {
        TWorkerTimings t;
        t.StartDelayMs = 10;
        t.FirstConnectTimeoutMs = 2000;
        t.ConnectTimeoutMs = 2000;
        t.ReconnectPauseMs = 50;
        t.WatchdogPauseMs = 200;
        return t;
    }();
    int commandTimerMs = 50;
    int showTimerMs = 200;
    // The link layer runs on the workers' threads, as in the program; false: on
    // the loop's thread, fed the octets read.
    bool linkOnWorker = true;
};

class TStackHarness : public IWorkerEvents {
  public:
    // Station n (1-based) of the table is served at 127.0.0.1 (its IP) : ports[n-1].
    TStackHarness(const TStationTable& table, std::vector<int> ports, TStackOptions opt = {})
        : opt_(opt),
          journal_(100000, opt.journalMask),
          types_(notifier_),
          env_{clock_, journal_, types_, std::string()},
          clients_(64, env_, prmn_),
          kinds_(1),
          tags_(journal_),
          ports_(std::move(ports)) {
        loop_.onException = [this](const char* what, const char* type) {
            ++exceptions;
            std::lock_guard<std::mutex> lk(mu_);
            exceptionTexts_.push_back(std::string(type) + ": " + what);
        };
        const int count = static_cast<int>(ports_.size());
        for (int n = 1; n <= count && n <= table.Kol_KP; ++n) {
            const T_KP& kp = table.KP_arr[n];
            const int port = ports_[static_cast<size_t>(n - 1)];
            TPrmn& rec = prmn_[static_cast<size_t>(n - 1)];
            SetDefaultPrmn(rec, kp.IP, port);
            rec.t0 = opt_.t0;
            rec.t1 = opt_.t1;
            rec.t2 = opt_.t2;
            rec.t3 = opt_.t3;
            rec.kMax = opt_.kMax;
            rec.wMax = opt_.wMax;
            rec.CommonAsduAddress = kp.ASDU_Adr;
            rec.prWork1 = 1;
            auto worker = std::make_shared<Toprosdevice>(n, kp.IP, port, opt_.t0, loop_, *this,
                                                         clock_, TWorkerTrace{}, opt_.timings);
            workers_.push_back(worker);
            PClientSocket psock;
            psock.Nomer_Thread = n;
            psock.oprosdevice2 = worker;
            clients_.prOprosSend = opt_.prOprosSend;
            auto client = clients_.AddClient(psock);
            client->SetTagList(&tags_);
            controllers_.push_back(std::make_unique<TClient104Frm>(client, 5, 5, true));
            // The station's tags: two-state ones, then measured ones.
            TTagSignal tag;
            for (int i = 1; i <= kp.Kol_TS; ++i) {
                const T_TS& ts = kp.TS_arr[i];
                tag.Init(ts.NameTS, ts.AdrASDU, ts.AdrIOA, kp.IP, port, kinds_.GetPtc(tcn_TS), -1);
                tags_.AddTag(tag);
            }
            for (int i = 1; i <= kp.Kol_TI; ++i) {
                const T_TI& ti = kp.TI_arr[i];
                tag.Init(ti.NameTI, ti.AdrASDU, ti.AdrIOA, kp.IP, port, kinds_.GetPtc(tcn_TIT), -1);
                tags_.AddTag(tag);
            }
        }
        timerCommand_ = loop_.addTimer(opt_.commandTimerMs, [this] { TimerCommand(); });
        timerShow_ = loop_.addTimer(opt_.showTimerMs, [this] { TimerShow(); });
    }

    ~TStackHarness() override { Stop(); }
    TStackHarness(const TStackHarness&) = delete;
    TStackHarness& operator=(const TStackHarness&) = delete;

    // Runs the loop on its own thread, starts the timers and the workers.
    void Start() {
        if (opt_.linkOnWorker) {
            poller_ = std::make_shared<TStationPoller>();
            for (size_t i = 0; i < workers_.size(); ++i) {
                RunLinkOnWorker(*workers_[i], *controllers_[i]->pcl, env_);
                poller_->Add(workers_[i]);
            }
        }
        loop_.startTimer(timerCommand_);
        loop_.startTimer(timerShow_);
        loopThread_ = std::thread([this] { loop_.run(); });
        // From here on the loop's thread is the main thread.
        std::promise<void> running;
        loop_.post([&running] { running.set_value(); });
        running.get_future().wait();
        for (auto& w : workers_) w->Start();
        if (poller_) poller_->Start();
    }

    // Ends the workers while the loop still serves their last reports, then the loop.
    void Stop() {
        if (stopped_) return;
        stopped_ = true;
        if (poller_) {
            poller_->Stop();
            poller_->Join();
        }
        for (auto& w : workers_) w->Terminate();
        if (loopThread_.joinable()) {
            for (auto& w : workers_) w->WaitFinished(10000);
            loop_.quit();
            loopThread_.join();
        }
        for (auto& w : workers_) w->Join();
    }

    // Runs fn on the loop's thread and returns its result.
    template <typename F>
    auto Call(F fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if constexpr (std::is_void_v<R>) {
            loop_.invokeAndWait([&] { fn(); });
        } else {
            R r{};
            loop_.invokeAndWait([&] { r = fn(); });
            return r;
        }
    }

    // Polls pred on the loop's thread every 5 ms until it holds; false after timeoutMs.
    bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (Call([&] { return pred(); })) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Data transfer of station n is started (STARTDT confirmed). Loop thread only.
    bool Started(int n) { return Client(n).flag.Op(FYes, bsb_STARTDT_Ok); }

    // Loop thread only.
    T104Client& Client(int n) { return *controllers_[static_cast<size_t>(n - 1)]->pcl; }
    TClient104Frm& Controller(int n) { return *controllers_[static_cast<size_t>(n - 1)]; }
    TTagSignalList& Tags() { return tags_; }
    TMessBuff& Journal() { return journal_; }
    // The tag of station n at (ca, ioa), or nullptr.
    TTagSignal* Tag(int n, int ca, int ioa) {
        TTagSignal* t = nullptr;
        tags_.FindTag(ca, ioa, "127.0.0.1", ports_[static_cast<size_t>(n - 1)], t);
        return t;
    }

    std::shared_ptr<Toprosdevice> Worker(int n) const {
        return workers_[static_cast<size_t>(n - 1)];
    }
    int Stations() const { return static_cast<int>(workers_.size()); }
    IMainLoop& Loop() { return loop_; }
    const IClock& Clock() const { return clock_; }

    // Journal lines drained so far (any thread).
    std::vector<std::string> JournalLines() const {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_;
    }
    std::vector<std::string> ExceptionTexts() const {
        std::lock_guard<std::mutex> lk(mu_);
        return exceptionTexts_;
    }

    // Called on the loop's thread after every block a worker read has been handled.
    std::function<void(int n)> AfterRead;

    // Counters, any thread.
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int64_t> reads{0};
    std::atomic<int64_t> octetsRead{0};
    std::atomic<int64_t> changedDrained{0};
    std::atomic<int> exceptions{0};

    // IWorkerEvents (loop thread)
    void On_Connect_Main(int nom_th) override {
        if (!Valid(nom_th)) return;
        ++connects;
        Client(nom_th).DoOnConnect();
    }
    void On_DisConnect_Main(int nom_th, TDisconnectReason) override {
        if (!Valid(nom_th)) return;
        ++disconnects;
        Client(nom_th).flag.Op(FSet, bsb_CallDoDisconnect);
    }
    void On_Read_Main(int nom_th, const std::string& str_read, const std::string& host,
                      int port) override {
        if (!Valid(nom_th)) return;
        ++reads;
        octetsRead += static_cast<int64_t>(str_read.size());
        PSocket_temp sock;
        sock.ReceiveBuf_str = str_read;
        sock.RemoteAddress = host;
        sock.RemotePort = port;
        Controller(nom_th).OnReceive(sock, false, nom_th - 1);
        if (AfterRead) AfterRead(nom_th);
    }
    void On_Batch_Main(int nom_th, const TMainBatch& batch) override {
        if (!Valid(nom_th)) return;
        ++reads;
        for (const TBatchFrame& f : batch.Frames)
            if (f.Dir == TFrameDir::Received) octetsRead += f.Length;
        Controller(nom_th).OnBatch(batch, false, nom_th - 1);
        if (AfterRead) AfterRead(nom_th);
    }

  private:
    bool Valid(int n) const { return n >= 1 && n <= static_cast<int>(controllers_.size()); }

    void TimerCommand() {
        for (auto& w : workers_) w->TakeQueued();
        clients_.Connecting(false, 100);
        for (size_t k = 0; k < controllers_.size(); ++k)
            controllers_[k]->DoService(false, static_cast<int>(k));
        DrainJournal();
    }

    void TimerShow() {
        for (auto& w : workers_) w->TakeQueued();
        DrainJournal();
        TTagSignal* tag = nullptr;
        while (tags_.GetChangedTag(tag)) ++changedDrained;
        for (size_t k = 0; k < controllers_.size(); ++k) {
            TClient104Frm& c = *controllers_[k];
            c.DoService(false, static_cast<int>(k));
            c.ShowLed();
            c.CheckValid1(false);
        }
        DrainJournal();
    }

    void DrainJournal() {
        std::string line;
        TDateTime dt = 0;
        std::lock_guard<std::mutex> lk(mu_);
        while (journal_.Get(line, dt))
            if (lines_.size() < opt_.keptLines) lines_.push_back(line);
    }

    const TStackOptions opt_;
    TSystemClock clock_;
    TRecordingNotifier notifier_;
    TMessBuff journal_;
    TTypeIdentList types_;
    TLinkEnv env_;
    TPrmnTable prmn_{};
    TClients104 clients_;
    TTagCategoryList kinds_;
    TTagSignalList tags_;
    std::vector<int> ports_;
    TPlainMainLoop loop_;
    std::vector<std::shared_ptr<Toprosdevice>> workers_;
    std::shared_ptr<TStationPoller> poller_;
    std::vector<std::unique_ptr<TClient104Frm>> controllers_;
    IMainLoop::TimerId timerCommand_ = 0;
    IMainLoop::TimerId timerShow_ = 0;
    std::thread loopThread_;
    bool stopped_ = false;
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
    std::vector<std::string> exceptionTexts_;
};

}  // namespace telegate::test
