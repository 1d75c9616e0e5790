#include "iec104/StationWorker.h"

#include <algorithm>
#include <utility>

#include "support/DateTime.h"
#include "support/TraceFiles.h"

namespace telegate {

Toprosdevice::Toprosdevice(int nomer, const std::string& host, int port, int t0, IMainLoop& loop,
                           IWorkerEvents& events, const IClock& clock, TWorkerTrace trace,
                           TWorkerTimings timings)
    : nomer_(nomer),
      t0_(t0),
      loop_(loop),
      events_(events),
      clock_(clock),
      trace_(std::move(trace)),
      timings_(timings),
      traceFile_(JoinPath(trace_.Dir, "Thread" + std::to_string(nomer - 1) + ".txt")),
      hostThread_(host),
      portThread_(port) {}

Toprosdevice::~Toprosdevice() {
    terminated_.store(true);
    // Reached either on the worker's own thread (it held the last reference) or
    // after the thread has dropped its reference, i.e. when it is ending.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

// ------------------------------------------------------------------ control

void Toprosdevice::Start() {
    std::lock_guard<std::mutex> lk(joinMx_);
    if (started_.load()) return;
    std::shared_ptr<Toprosdevice> self = shared_from_this();
    started_.store(true);
    thread_ = std::thread(
        [](std::shared_ptr<Toprosdevice> me) {
            try {
                me->Execute();
            } catch (...) {
                // Nothing may escape the thread body.
            }
            me->MarkFinished();
            // `me` goes here; it may be the last reference.
        },
        std::move(self));
}

void Toprosdevice::Terminate() {
    terminated_.store(true);
    wake_.Signal();
}

void Toprosdevice::MarkFinished() {
    {
        std::lock_guard<std::mutex> lk(finishMx_);
        finished_ = true;
    }
    finishedCv_.notify_all();
}

bool Toprosdevice::Finished() const {
    if (!started_.load()) return true;
    std::lock_guard<std::mutex> lk(finishMx_);
    return finished_;
}

bool Toprosdevice::WaitFinished(int timeoutMs) {
    if (started_.load()) {
        std::unique_lock<std::mutex> lk(finishMx_);
        if (!finishedCv_.wait_for(lk, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                  [this] { return finished_; })) {
            return false;
        }
    }
    Join();
    return true;
}

void Toprosdevice::Join() {
    std::lock_guard<std::mutex> lk(joinMx_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

// ------------------------------------------------------- hand-over fields

void Toprosdevice::SetTarget(const std::string& host, int port) {
    std::lock_guard<std::mutex> lk(handMx_);
    hostThread_ = host;
    portThread_ = port;
}

std::string Toprosdevice::Host() const {
    std::lock_guard<std::mutex> lk(handMx_);
    return hostThread_;
}

int Toprosdevice::Port() const {
    std::lock_guard<std::mutex> lk(handMx_);
    return portThread_;
}

void Toprosdevice::RequestConnect() {
    mustConnect_.store(true);
    wake_.Signal();
}

void Toprosdevice::RequestDisconnect() {
    mustDisconnect_.store(true);
    wake_.Signal();
}

bool Toprosdevice::TryPutToWrite(const std::string& octets) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lk(handMx_);
        if (!toWrite_.empty() && toWrite_.size() + octets.size() > kSendBufferLimit) return false;
        wasEmpty = toWrite_.empty();
        toWrite_ += octets;
    }
    // A buffer that was not empty has its wake-up on the way already.
    if (wasEmpty && !octets.empty()) wake_.Signal();
    return true;
}

bool Toprosdevice::TryPutAsdu(const std::string& apdu) {
    // Taken while disconnected too, as the client's own window did: the next
    // connect report drops what was meant for the connection before it.
    if (link_ == nullptr || apdu.size() < 6 || apdu.size() > 255 + 2) return false;
    {
        std::lock_guard<std::mutex> lk(handMx_);
        if (asduInbox_.size() >= kAsduInboxLimit) return false;
        asduInbox_.push_back(apdu);
    }
    wake_.Signal();
    return true;
}

size_t Toprosdevice::QueuedOctets() const {
    std::lock_guard<std::mutex> lk(rxMx_);
    return rxBytes_;
}

bool Toprosdevice::RxQueueFull() const {
    std::lock_guard<std::mutex> lk(rxMx_);
    return rxBytes_ >= kRxQueueLimit;
}

// ------------------------------------------------------------- receive queue

void Toprosdevice::Enqueue(std::string block) {
    bool post = false;
    {
        std::lock_guard<std::mutex> lk(rxMx_);
        rxBytes_ += block.size();
        rxQueue_.push_back(std::move(block));
        post = !rxPosted_;
        rxPosted_ = true;
    }
    if (!post) return;
    std::shared_ptr<Toprosdevice> self = shared_from_this();
    loop_.post([self] { self->Deliver(); });
}

void Toprosdevice::TakeQueued() {
    Deliver();
}

void Toprosdevice::Deliver() {
    std::deque<std::string> batch;
    std::deque<TMainBatch> linkBatches;
    std::string host;
    int port = 0;
    bool wasFull = false;
    {
        std::lock_guard<std::mutex> lk(rxMx_);
        batch.swap(rxQueue_);
        linkBatches.swap(batchQueue_);
        wasFull = rxBytes_ >= kRxQueueLimit;
        rxBytes_ = 0;
        rxPosted_ = false;
        host = rxHost_;
        port = rxPort_;
    }
    // The worker stopped reading at the limit: it may go on now.
    if (wasFull) {
        wake_.Signal();
        WakePoller();
    }
    for (const TMainBatch& b : linkBatches) events_.On_Batch_Main(nomer_, b);
    if (batch.empty()) return;
    std::string data = std::move(batch.front());
    for (size_t i = 1; i < batch.size(); ++i) data += batch[i];
    events_.On_Read_Main(nomer_, data, host, port);
}

void Toprosdevice::EnqueueBatch(TMainBatch b) {
    if (b.Empty(batchStarted_)) return;
    const bool prompt = b.Prompt(batchStarted_);
    batchStarted_ = b.DataStarted;
    const int64_t now = clock_.MonotonicMs();
    bool post = false;
    {
        std::lock_guard<std::mutex> lk(rxMx_);
        // The frames' bookkeeping counts too, so a flood of short frames also fills it.
        rxBytes_ += b.Octets.size() + b.Frames.size() * sizeof(TBatchFrame);
        batchQueue_.push_back(std::move(b));
        // Plain data waits for the main thread's next pass (TakeQueued) unless much
        // is queued or the station is busy; waking the main thread for every
        // change of a quiet station would cost more than decoding it.
        post = !rxPosted_ && (prompt || rxBytes_ >= kPromptOctets ||
                              now - lastPostMs_ < kBusyPostMs);
        if (post) {
            rxPosted_ = true;
            lastPostMs_ = now;
        }
    }
    if (!post) return;
    std::shared_ptr<Toprosdevice> self = shared_from_this();
    loop_.post([self] { self->Deliver(); });
}

// ------------------------------------------------------------ link on this thread

void Toprosdevice::LinkBlock(std::string block) {
    TMainBatch b;
    link_->TakeBlock(std::move(block), b, nomer_ - 1);
    FinishLinkStep(std::move(b));
}

void Toprosdevice::LinkPass() {
    {
        std::lock_guard<std::mutex> lk(handMx_);
        while (!asduInbox_.empty() && link_->QueueAsdu(asduInbox_.front())) asduInbox_.pop_front();
    }
    TMainBatch b;
    link_->Service(b, nomer_ - 1);
    FinishLinkStep(std::move(b));
}

void Toprosdevice::FinishLinkStep(TMainBatch b) {
    const std::string out = link_->TakeOutput();
    if (!out.empty()) {
        if (inPoller_)
            SendFromPoller(out);
        else
            WriteBlock(out);
    }
    link_->MoveJournal(b);
    EnqueueBatch(std::move(b));
    if (link_->TakeStopRequest() && (tcp_->Connected() || isConnect_.load())) {
        if (inPoller_)
            deferredStop_ = true;
        else
            CloseForLink();
    }
}

void Toprosdevice::CloseForLink() {
    // t1 expired or a protocol error: the batch queued before says why.
    Trace(" канальный уровень разрывает соединение " + Peer() + " ");
    tcp_->Disconnect();
    isConnect_.store(false);
    SyncDisconnected(TDisconnectReason::OperatorStop);
}

void Toprosdevice::SendFromPoller(const std::string& out) {
    // What the socket takes at once goes now, behind anything the thread still has
    // to write; the rest (or everything, on an error) is the thread's to write.
    size_t sent = 0;
    {
        std::lock_guard<std::mutex> lk(handMx_);
        if (toWrite_.empty()) {
            const long r = tcp_->SendNow(out.data(), out.size());
            if (r > 0) sent = static_cast<size_t>(r);
        }
        if (sent < out.size()) toWrite_.append(out, sent, std::string::npos);
    }
    if (sent > 0 && TraceOn()) Trace(" -> " + HexDumpChars(out.substr(0, sent)));
    if (sent < out.size()) wake_.Signal();
}

// ------------------------------------------------------------------ tracing

void Toprosdevice::Trace(const std::string& text) {
    if (!TraceOn()) return;
    AppendTraceLine(FormatTime(clock_.Now()) + text, traceFile_);
}

std::string Toprosdevice::TargetPeer() const {
    std::lock_guard<std::mutex> lk(handMx_);
    return hostThread_ + ":" + std::to_string(portThread_);
}

std::string Toprosdevice::Peer() const {
    if (tcp_ && !tcp_->Host().empty()) return tcp_->Host() + ":" + std::to_string(tcp_->Port());
    return TargetPeer();
}

// --------------------------------------------------- calls on the main thread

void Toprosdevice::SyncConnected() {
    const int n = nomer_;
    IWorkerEvents& ev = events_;
    const std::string host = tcp_ ? tcp_->Host() : std::string();
    const int port = tcp_ ? tcp_->Port() : 0;
    bool ran = false;
    try {
        // Connected from inside the report: after the client has reset its link
        // state, before any other main-thread pass can look. Octets still queued
        // belong to the previous connection and are decoded first.
        ran = loop_.invokeAndWait([this, &ev, n, &host, port] {
            Deliver();
            {
                std::lock_guard<std::mutex> lk(rxMx_);
                rxHost_ = host;
                rxPort_ = port;
            }
            {
                // Orders still waiting were meant for the connection that is gone.
                std::lock_guard<std::mutex> lk(handMx_);
                asduInbox_.clear();
            }
            ev.On_Connect_Main(n);
            isConnect_.store(true);
        });
    } catch (...) {
    }
    if (!ran) isConnect_.store(true);
}

void Toprosdevice::SyncDisconnected(TDisconnectReason why) {
    // The link layer on this thread forgets the connection first; its lines go
    // ahead of the report.
    if (link_) {
        link_->Disconnected();
        TMainBatch b;
        link_->MoveJournal(b);
        EnqueueBatch(std::move(b));
        batchStarted_ = false;
    }
    const int n = nomer_;
    IWorkerEvents& ev = events_;
    try {
        // What was read before the loss is decoded before the loss is reported.
        loop_.invokeAndWait([this, &ev, n, why] {
            Deliver();
            ev.On_DisConnect_Main(n, why);
        });
    } catch (...) {
    }
}

void Toprosdevice::ReportConnectFailed() {
    std::shared_ptr<Toprosdevice> self = shared_from_this();
    loop_.post([self] { self->events_.On_ConnectFailed_Main(self->nomer_); });
}

// -------------------------------------------------------------- the thread

bool Toprosdevice::PauseFor(int ms) {
    return wake_.SleepFor(ms, [this] { return terminated_.load(); });
}

bool Toprosdevice::ConnectNow(int timeoutMs) {
    std::string host;
    int port = 0;
    {
        std::lock_guard<std::mutex> lk(handMx_);
        host = hostThread_;
        port = portThread_;
    }
    return tcp_->Connect(host, port, timeoutMs);
}

void Toprosdevice::OnTcpDisconnected() {
    isConnect_.store(false);
    if (inPoller_) {
        // The poller never waits for the main thread: the report is this thread's.
        deferredDrop_ = true;
        return;
    }
    Trace(" ClientDisconnected " + Peer() + " ");
    SyncDisconnected(TDisconnectReason::StationClosed);
}

void Toprosdevice::Execute() {
    // Held all the time but for the waits between passes: the poller reads this
    // station only while the thread waits.
    std::unique_lock<std::mutex> io(ioMx_);
    firstZapusk_ = true;
    lastGoodMs_ = clock_.MonotonicMs();
    isConnect_.store(false);
    readBuf_.assign(kMaxBlock, '\0');
    tcp_ = std::make_unique<TTcpClient>(&wake_, [this] { return terminated_.load(); });
    tcp_->SetOnDisconnected([this] { OnTcpDisconnected(); });

    if (!PauseFor(timings_.StartDelayMs)) {
        if (ConnectNow(timings_.FirstConnectTimeoutMs)) {
            Trace(" первое соединение с " + Peer() + " установлено");
            if (link_) link_->Connected();
            lastGoodMs_ = clock_.MonotonicMs();
            // Cleared before the report, so a request made from it is kept.
            mustConnect_.store(false);
            SyncConnected();
        } else {
            lastGoodMs_ = clock_.MonotonicMs();
            isConnect_.store(false);
            Trace(" ошибка первого соединения с " + Peer() + " ");
            ReportConnectFailed();
        }
    }

    while (!terminated_.load()) {
        try {
            ServiceStep();
        } catch (...) {
            // A failed pass is dropped; the loop goes on.
        }
        const bool watch = PrepareWait();
        const int pause = PassPauseMs();
        plannedWakeMs_ = clock_.MonotonicMs() + pause;
        pollerSkip_ = false;
        io.unlock();
        // Asked after the unlock: a poller that found the lock taken has said so.
        if (pollerMissed_.exchange(false)) WakePoller();
        WaitForWork(watch, pause);
        io.lock();
    }

    try {
        Trace(" поток завершается " + Peer() + " ");
        mustDisconnect_.store(false);
        SyncDisconnected(TDisconnectReason::OperatorStop);
        tcp_->Disconnect();
        isConnect_.store(false);
    } catch (...) {
    }
    tcp_.reset();
}

void Toprosdevice::WriteSlot() {
    std::string out;
    {
        std::lock_guard<std::mutex> lk(handMx_);
        out.swap(toWrite_);
    }
    if (out.empty()) return;
    try {
        WriteBlock(out);
    } catch (...) {
    }
}

bool Toprosdevice::MustNotWait() {
    if (terminated_.load() || mustConnect_.load() || mustDisconnect_.load()) return true;
    std::lock_guard<std::mutex> lk(handMx_);
    return !toWrite_.empty() || !asduInbox_.empty();
}

bool Toprosdevice::PrepareWait() {
    // Octets are only looked for once something has been written, and not while
    // the main thread has a full queue to take (it wakes the thread when it has).
    // With a poller, the poller looks for them.
    if (poller_.expired()) return tcp_->Connected() && !firstZapusk_ && !RxQueueFull();
    return false;
}

void Toprosdevice::WaitForWork(bool watchSocket, int timeoutMs) {
    if (MustNotWait()) return;
    tcp_->Wait(timeoutMs, watchSocket);
}

int Toprosdevice::PassPauseMs() {
    // Without a poller the pass pause is also the longest wait for octets.
    if (poller_.expired() || !link_ || !tcp_->Connected()) return timings_.ReadTimeoutMs;
    // With one, the thread only serves the link's timers, the watchdog and the
    // requests (which wake it): it sleeps until the next timer is due.
    const int64_t due = std::clamp<int64_t>(link_->MsToNextTimer(), 1, kIdlePassMs);
    return static_cast<int>(due);
}

void Toprosdevice::WakePoller() {
    if (std::shared_ptr<TStationPoller> p = poller_.lock()) p->Wake();
}

int Toprosdevice::PollerHandle() {
    std::unique_lock<std::mutex> io(ioMx_, std::try_to_lock);
    if (!io.owns_lock()) {
        // The thread is in a pass; it tells the poller when it is done.
        pollerMissed_.store(true);
        return -1;
    }
    if (pollerSkip_ || terminated_.load() || tcp_ == nullptr || !tcp_->Connected() ||
        firstZapusk_ || RxQueueFull())
        return -1;
    return tcp_->Handle();
}

void Toprosdevice::PollerRead(int handle) {
    std::unique_lock<std::mutex> io(ioMx_, std::try_to_lock);
    if (!io.owns_lock()) {
        pollerMissed_.store(true);
        wake_.Signal();  // the thread reads it in its pass
        return;
    }
    if (terminated_.load() || tcp_ == nullptr || !tcp_->Connected() || tcp_->Handle() != handle ||
        firstZapusk_ || RxQueueFull())
        return;
    const long n = tcp_->ReadNow(readBuf_.data(), readBuf_.size());
    if (n < 0) {
        // Closed or failed. The thread finds out and reports it; the poller
        // leaves the station alone until then.
        pollerSkip_ = true;
        wake_.Signal();
        return;
    }
    if (n == 0) return;
    inPoller_ = true;
    std::string block = TakeRead(n);
    if (link_) LinkBlock(std::move(block));
    inPoller_ = false;
    // A timer of the link that is due before the thread wakes wakes it.
    if (link_ && link_->MsToNextTimer() < plannedWakeMs_ - clock_.MonotonicMs()) wake_.Signal();
    if (deferredDrop_ || deferredStop_) {
        pollerSkip_ = true;
        wake_.Signal();
    }
}

void Toprosdevice::ServiceStep() {
    // 0. What the poller found and left to this thread: the connection dropped
    // under a read, or the link layer asked to close.
    if (deferredDrop_) {
        deferredDrop_ = false;
        deferredStop_ = false;
        Trace(" ClientDisconnected " + Peer() + " ");
        SyncDisconnected(TDisconnectReason::StationClosed);
    }
    if (deferredStop_) {
        deferredStop_ = false;
        if (tcp_->Connected() || isConnect_.load()) CloseForLink();
    }
    // 1. (Re)connect on request.
    if (mustConnect_.load()) {
        Trace(" пробую убрать соединение " + Peer() + " ");
        if (tcp_->Connected() || isConnect_.load()) {
            // The old connection is gone for the client too.
            tcp_->Disconnect();
            isConnect_.store(false);
            SyncDisconnected(TDisconnectReason::OperatorStop);
        }
        if (PauseFor(timings_.ReconnectPauseMs)) return;
        Trace(" пробую соединиться с " + TargetPeer() + " ");
        const bool ok = ConnectNow(timings_.ConnectTimeoutMs);
        // Requests made while connecting are served by this attempt; one made
        // from the connect report below is kept.
        mustConnect_.store(false);
        lastGoodMs_ = clock_.MonotonicMs();
        if (ok) {
            Trace(" соединение с " + Peer() + " установлено");
            pollerMissed_.store(true);
            if (link_) link_->Connected();
            SyncConnected();
        } else {
            Trace(" не удалось соединиться с " + Peer() + " ");
            ReportConnectFailed();
        }
    }

    // 2. Disconnect on request.
    if (mustDisconnect_.load()) {
        if (tcp_->Disconnect()) {
            Trace(" соединение с " + Peer() + " разорвано");
            mustDisconnect_.store(false);
            isConnect_.store(false);
            SyncDisconnected(TDisconnectReason::OperatorStop);
        } else {
            Trace(" не удалось разорвать соединение с " + Peer() + " ");
        }
    }

    // 3.
    if (tcp_->Connected()) isConnect_.store(true);

    // 4. Periodic trace line.
    const int64_t now = clock_.MonotonicMs();
    if (!periodTestSet_ || now - periodTestMs_ > timings_.PeriodicTraceMs) {
        Trace(" периодическая запись в лог " + Peer() + " ");
        periodTestMs_ = now;
        periodTestSet_ = true;
    }

    // 5. The frame in the send slot; with the link here, its pass.
    WriteSlot();
    if (link_ && tcp_->Connected()) LinkPass();

    // 6. What the station sent goes to the receive queue; the main thread takes
    // it when it comes to it. A full queue is not added to: the octets wait in
    // the socket.
    if (!RxQueueFull()) {
        std::string block = ReadBlock();
        if (!block.empty()) {
            if (link_)
                LinkBlock(std::move(block));
            else
                Enqueue(std::move(block));
        }
    }

    // 7. Silence watchdog.
    if (isConnect_.load() || tcp_->Connected()) {
        if (clock_.MonotonicMs() - lastGoodMs_ > SilenceLimitSec() * 1000) {
            Trace(" вышел таймаут. разрываю соединение " + Peer() + " " + std::to_string(t0_));
            if (tcp_->Disconnect()) {
                if (!tcp_->Connected()) SyncDisconnected(TDisconnectReason::Silence);
                PauseFor(timings_.WatchdogPauseMs);
                isConnect_.store(false);
            } else {
                lastGoodMs_ = clock_.MonotonicMs();
            }
        }
    }
}

std::string Toprosdevice::ReadBlock() {
    if (firstZapusk_) return {};
    if (!tcp_->Connected()) return {};
    // Everything already there, up to one block; the pass wait did the waiting.
    const long n = tcp_->ReadAvailable(readBuf_.data(), readBuf_.size());
    if (n <= 0) return {};
    return TakeRead(n);
}

std::string Toprosdevice::TakeRead(long n) {
    std::string block(readBuf_.data(), static_cast<size_t>(n));
    lastGoodMs_ = clock_.MonotonicMs();
    if (TraceOn()) {
        Trace(" BufferSize " + std::to_string(n - 1) + "  " + HexDumpChars(block.substr(0, 1)));
        Trace(" <- " + HexDumpChars(block));
    }
    return block;
}

void Toprosdevice::WriteBlock(const std::string& octets) {
    if (octets.empty()) return;
    if (firstZapusk_) pollerMissed_.store(true);  // the poller may watch it from now on
    firstZapusk_ = false;
    Trace(" WriteText ");
    // A failure drops the octets (and the connection, when there was one).
    if (tcp_->WriteAll(octets.data(), octets.size(), timings_.WriteTimeoutMs)) {
        if (TraceOn()) Trace(" -> " + HexDumpChars(octets));
    }
}

// ---------------------------------------------------------------- the poller

TStationPoller::~TStationPoller() {
    Stop();
    Join();
}

void TStationPoller::Add(std::shared_ptr<Toprosdevice> worker) {
    worker->poller_ = weak_from_this();
    workers_.push_back(std::move(worker));
}

void TStationPoller::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { Run(); });
}

void TStationPoller::Stop() {
    stop_.store(true);
    wake_.Signal();
}

void TStationPoller::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TStationPoller::Run() {
    std::vector<int> handles;
    std::vector<Toprosdevice*> watched;
    std::vector<uint8_t> ready;
    while (!stop_.load()) {
        handles.clear();
        watched.clear();
        for (const auto& w : workers_) {
            const int h = w->PollerHandle();
            if (h < 0) continue;
            handles.push_back(h);
            watched.push_back(w.get());
        }
        const int n = WaitAnyReadable(handles, wake_, kRoundMs, ready);
        if (n < 0) {
            // A connection closed while watched: take the set anew.
            wake_.WaitFor(1);
            continue;
        }
        for (size_t i = 0; i < watched.size() && !stop_.load(); ++i)
            if (ready[i]) watched[i]->PollerRead(handles[i]);
    }
}

}  // namespace telegate
