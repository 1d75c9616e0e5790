// The station connection worker: one thread per controlled station that owns the
// station's TCP connection. It connects and disconnects when the station client
// asks, writes what the client leaves in its send buffer, reads whatever the
// station sends and drops a connection that stays silent too long. It does not
// interpret the protocol unless a link layer is attached (AttachLink): connect
// and disconnect (with the reason the worker knows: the station closed, silence,
// asked for) reach the main thread through IWorkerEvents, run there with
// IMainLoop::invokeAndWait; a failed connect attempt is posted there.
//
// With a link layer attached (the way polling runs), the worker also does the
// protocol's hot path itself: every block read goes through the link at once
// (framing, sequence numbers, acknowledgements at w and t2, t1 and t3, STARTDT
// right after the connect), and what the link sends is written in the same
// step. The main thread receives batches of frames instead of octets
// (On_Batch_Main) and orders its ASDUs through TryPutAsdu. The batches go
// through the same bounded queue as octets do. A batch of plain data (cyclic,
// background, spontaneous) from a quiet station does not wake the main thread:
// it takes such batches at its own passes (TakeQueued), at least every 50 ms;
// answers to interrogations, confirmations, a change of the link's state, a busy
// station or kPromptOctets queued wake it at once.
//
// Received octets do not wait for the main thread: the worker appends each block
// to a bounded receive queue and goes on reading; the first block of an empty
// queue posts one delivery to the main thread, which takes everything queued by
// then as one batch (On_Read_Main). When the queue holds kRxQueueLimit octets the
// worker stops reading the socket until the main thread has taken them, so TCP's
// window and the station's k hold the station back; nothing is dropped. Queued
// octets are always delivered before the next connect or disconnect report, so
// they are decoded with the state of the connection they came from.
//
// The send buffer takes whole frames as long as it holds fewer than
// kSendBufferLimit octets: the acknowledgements the main thread produces while it
// decodes a long batch all go out, each covering at most w frames, and the worker
// writes them at once.
//
// The link counts as connected (IsConnect) only from inside the connect report on
// the main thread, after the client has reset its link state: no service pass can
// send with the counters of the previous connection in between.
//
// Between passes the thread sleeps on the first of: octets on the socket (unless
// the receive queue is full), a frame in the send buffer, a connect or disconnect
// request, termination, the main thread taking a full queue, or the end of the
// pass pause. An idle station so wakes about every ReadTimeoutMs, and a busy one
// reads and writes as fast as the octets come. The thread runs at normal priority.
//
// Lifetime: owned through std::shared_ptr; the running thread and every pending
// delivery hold a reference to their worker, so a late call from the client never
// reaches a freed object. The loop, the events and the clock given to the
// constructor must stay alive until the thread has finished (Join /
// WaitFinished). When the thread ends, its last calls to the main thread either
// run there or, once the loop has quit, are dropped (invokeAndWait returns false)
// - so do not wait for a worker on the main thread while that loop still runs
// and has not quit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "iec104/StationLink.h"
#include "iec104/WorkerLink.h"
#include "platform/MainLoop.h"
#include "platform/TcpClient.h"
#include "support/Clock.h"

namespace telegate {

// The waits of the worker, in ms. The defaults are the system's; tests shorten
// the long pauses.
struct TWorkerTimings {
    int StartDelayMs = 1200;            // before the first connect
    int FirstConnectTimeoutMs = 10000;  // the first connect
    int ConnectTimeoutMs = 15000;       // every connect the client orders
    int ReconnectPauseMs = 100;         // between dropping and connecting again
    int ReadTimeoutMs = 111;            // longest wait for octets in one pass
    int WatchdogPauseMs = 2500;         // after the silence watchdog dropped the link
    int PeriodicTraceMs = 60000;        // periodic trace line
    int WriteTimeoutMs = 5000;          // a write that stalls longer drops the link
};

// The exchange-trace setting and where the trace file goes.
struct TWorkerTrace {
    // Asked at every line, from the worker's thread; the operator may toggle the
    // setting at run time. Empty means off.
    std::function<bool()> Enabled;
    // Folder of the file "Thread" + (Number_of_Thread - 1) + ".txt"; empty is the
    // working directory.
    std::string Dir;
};

class TStationPoller;

class Toprosdevice final : public IStationLink, public std::enable_shared_from_this<Toprosdevice> {
  public:
    // The largest block read in one pass.
    static constexpr size_t kMaxBlock = 64 * 1024;
    // Octets waiting for the main thread at which reading stops.
    static constexpr size_t kRxQueueLimit = 256 * 1024;
    // Octets the send buffer takes before it refuses a frame.
    static constexpr size_t kSendBufferLimit = 16 * 1024;
    // ASDUs ordered from the main thread that wait for the link's window.
    static constexpr size_t kAsduInboxLimit = 64;
    // With a link: queued octets at which the main thread is woken for plain data,
    // and how long after a wake-up a station counts as busy (every batch wakes).
    static constexpr size_t kPromptOctets = 16 * 1024;
    static constexpr int64_t kBusyPostMs = 20;
    // With a poller: the longest sleep of a connected station's thread (the
    // watchdog's resolution).
    static constexpr int kIdlePassMs = 1000;

    // Created suspended; Start() runs it. nomer is Number_of_Thread (1-based);
    // t0 is the silence limit in ms (the creator turns 0 into 30000).
    Toprosdevice(int nomer, const std::string& host, int port, int t0, IMainLoop& loop,
                 IWorkerEvents& events, const IClock& clock, TWorkerTrace trace = {},
                 TWorkerTimings timings = {});
    ~Toprosdevice() override;
    Toprosdevice(const Toprosdevice&) = delete;
    Toprosdevice& operator=(const Toprosdevice&) = delete;

    // Starts the thread (once). The worker must be owned by a std::shared_ptr.
    void Start();
    // Asks the thread to end after its current step; does not wait. Any thread.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    // True once the thread body has returned (or when it never started).
    bool Finished() const;
    // Waits at most timeoutMs for the thread to finish, then joins it; true when
    // finished.
    bool WaitFinished(int timeoutMs);
    // Waits for the thread to finish and joins it.
    void Join();

    int Number_of_Thread() const { return nomer_; }
    int T0() const { return t0_; }
    // Silence limit in whole seconds: (T0 + 1) div 1000.
    int64_t SilenceLimitSec() const { return (static_cast<int64_t>(t0_) + 1) / 1000; }

    // IStationLink (main thread side)
    void SetTarget(const std::string& host, int port) override;
    std::string Host() const override;
    int Port() const override;
    void RequestConnect() override;
    void RequestDisconnect() override;
    bool IsConnect() const override { return isConnect_.load(); }
    bool TryPutToWrite(const std::string& octets) override;

    // Octets read and not yet taken by the main thread; for tests.
    size_t QueuedOctets() const;

    // Runs the station's link layer on this worker's thread (call before Start):
    // blocks read go through it, and the main thread receives batches of I frames
    // (IWorkerEvents::On_Batch_Main) instead of octets.
    void AttachLink(std::unique_ptr<TWorkerLink> link) { link_ = std::move(link); }
    bool HasLink() const { return link_ != nullptr; }
    // Main thread, with a link attached: an APDU whose APCI the link fills in (a
    // general interrogation, a telecontrol step); it goes out at the worker's next
    // pass, which it wakes. False while the inbox is full.
    bool TryPutAsdu(const std::string& apdu) override;
    // Main thread, at its passes: hands over the batches that wait without a
    // wake-up (plain data of a quiet station).
    void TakeQueued();

    // Pending requests, for the client's bookkeeping and for tests.
    bool MustConnect() const { return mustConnect_.load(); }
    bool MustDisconnect() const { return mustDisconnect_.load(); }

  private:
    // Thread body and its steps (worker thread only).
    void Execute();
    void ServiceStep();
    std::string ReadBlock();
    void WriteBlock(const std::string& octets);
    void OnTcpDisconnected();
    void SyncConnected();
    void SyncDisconnected(TDisconnectReason why);
    // Posts the report of a failed connect attempt.
    void ReportConnectFailed();
    // Appends a block to the receive queue; posts a delivery when none is pending.
    void Enqueue(std::string block);
    // Main thread: hands everything queued to the events as one batch.
    void Deliver();
    bool RxQueueFull() const;
    // Connects the TCP client to the current target; traces nothing.
    bool ConnectNow(int timeoutMs);
    // Sleeps ms; returns early (true) on termination.
    bool PauseFor(int ms);
    // True when the thread has work at once (no wait).
    bool MustNotWait();
    // Whether the wait watches the socket (with ioMx_ held).
    bool PrepareWait();
    void WaitForWork(bool watchSocket, int timeoutMs);
    // The longest pause before the next pass (with ioMx_ held).
    int PassPauseMs();
    // A block of n octets just read into readBuf_.
    std::string TakeRead(long n);
    // The poller's side (poller thread): the handle to watch (-1: none now), and
    // a read of what arrived, with the thread's lock taken only if free.
    int PollerHandle();
    void PollerRead(int handle);
    void WakePoller();
    // The link layer asked to close (worker thread).
    void CloseForLink();
    // Output of the link produced on the poller thread.
    void SendFromPoller(const std::string& out);
    // Writes and empties the send slot.
    void WriteSlot();
    bool TraceOn() const { return trace_.Enabled && trace_.Enabled(); }
    void Trace(const std::string& text);
    // host:port of the TCP client (of the target before the first connect).
    std::string Peer() const;
    // host:port of the target (Host_Thread:Port_Thread).
    std::string TargetPeer() const;
    void MarkFinished();

    // Fixed at creation.
    const int nomer_;
    const int t0_;
    IMainLoop& loop_;
    IWorkerEvents& events_;
    const IClock& clock_;
    const TWorkerTrace trace_;
    const TWorkerTimings timings_;
    const std::string traceFile_;

    // Hand-over fields shared with the main thread.
    mutable std::mutex handMx_;
    std::string hostThread_;  // Host_Thread
    int portThread_;          // Port_Thread
    std::string toWrite_;     // str_To_write: whole frames, in order
    std::atomic<bool> mustConnect_{false};
    std::atomic<bool> mustDisconnect_{false};
    std::atomic<bool> isConnect_{false};
    std::atomic<bool> terminated_{false};
    TWakeEvent wake_;

    // Receive queue shared with the main thread.
    mutable std::mutex rxMx_;
    std::deque<std::string> rxQueue_;
    std::deque<TMainBatch> batchQueue_;  // with a link: batches for the main thread
    std::deque<std::string> asduInbox_;  // with a link: ASDUs the main thread ordered (handMx_)
    size_t rxBytes_ = 0;
    bool rxPosted_ = false;  // a delivery is on its way to the main thread
    std::string rxHost_;     // remote end of the connection the queued octets came from
    int rxPort_ = 0;

    // Worker thread only.
    std::unique_ptr<TTcpClient> tcp_;  // IdTCPClient_Thread
    int64_t lastGoodMs_ = 0;           // Date_TimeLast_OTVET_Good (monotonic)
    int64_t periodTestMs_ = 0;         // Date_Time_Period_test (monotonic)
    bool periodTestSet_ = false;
    bool firstZapusk_ = true;  // first_zapusk
    std::vector<char> readBuf_;
    std::unique_ptr<TWorkerLink> link_;  // the link layer, when it runs here
    // With a link: its pass (orders, timers, output) and one block through it.
    void LinkPass();
    void LinkBlock(std::string block);
    // Writes the link's output, queues the batch, closes when the link asked to.
    void FinishLinkStep(TMainBatch batch);
    void EnqueueBatch(TMainBatch batch);
    bool batchStarted_ = false;  // DataStarted of the last batch queued
    int64_t lastPostMs_ = -1000000;  // monotonic ms of the last wake-up of the main thread

    // Sharing the station with a poller (see TStationPoller). ioMx_ is held by
    // the thread except while it waits between passes, and by the poller while
    // it reads; the fields marked "worker thread only" are used under it.
    friend class TStationPoller;
    std::mutex ioMx_;
    std::weak_ptr<TStationPoller> poller_;  // set before Start
    std::atomic<bool> pollerMissed_{false};  // the poller found the thread busy
    bool pollerSkip_ = false;    // the poller leaves the station to the thread until its next pass
    bool inPoller_ = false;      // a read on the poller's thread is running
    bool deferredDrop_ = false;  // the connection dropped under the poller's read
    bool deferredStop_ = false;  // the link asked to close during the poller's read
    int64_t plannedWakeMs_ = 0;  // monotonic ms the thread wakes at the latest

    // Thread bookkeeping.
    std::mutex joinMx_;  // guards thread_ (Start, Join)
    std::thread thread_;
    std::atomic<bool> started_{false};
    mutable std::mutex finishMx_;
    std::condition_variable finishedCv_;
    bool finished_ = false;
};

// One thread that waits for octets on every connected station of a run at once
// and, for each station that has some, reads them and runs them through the
// station's link layer on the spot (acknowledgements included), then hands the
// batch on as the station's own thread would. A station that sends now and then
// so costs no wake-up of its own thread: 32 stations that each send a change at
// the same moment cost one wake-up instead of 32. The station's thread keeps
// everything else (connects, timers, commands, reports to the main thread); the
// poller never waits for the main thread nor for a station's thread (what it
// cannot do at once it leaves to that thread and wakes it).
//
// Owned through std::shared_ptr; add every worker before either starts. Stop and
// Join may be called on the main thread at any time.
class TStationPoller : public std::enable_shared_from_this<TStationPoller> {
  public:
    // The longest wait before the set of watched connections is taken anew.
    static constexpr int kRoundMs = 100;

    TStationPoller() = default;
    ~TStationPoller();
    TStationPoller(const TStationPoller&) = delete;
    TStationPoller& operator=(const TStationPoller&) = delete;

    void Add(std::shared_ptr<Toprosdevice> worker);
    void Start();
    void Stop();
    void Join();
    // Any thread: take the set of watched connections anew.
    void Wake() { wake_.Signal(); }

  private:
    void Run();

    std::vector<std::shared_ptr<Toprosdevice>> workers_;
    TWakeEvent wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace telegate
