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
            LowerThreadPriority();
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
    {
        std::lock_guard<std::mutex> lk(handMx_);
        if (!toWrite_.empty()) return false;
        toWrite_ = octets;
    }
    if (!octets.empty()) wake_.Signal();
    return true;
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
    ResetSlicing();
    bool ran = false;
    try {
        // Connected from inside the report: after the client has reset its link
        // state, before any other main-thread pass can look.
        ran = loop_.invokeAndWait([this, &ev, n] {
            ev.On_Connect_Main(n);
            isConnect_.store(true);
        });
    } catch (...) {
    }
    if (!ran) isConnect_.store(true);
}

void Toprosdevice::SyncDisconnected() {
    const int n = nomer_;
    IWorkerEvents& ev = events_;
    try {
        loop_.invokeAndWait([&ev, n] { ev.On_DisConnect_Main(n); });
    } catch (...) {
    }
}

void Toprosdevice::SyncReceived() {
    const int n = nomer_;
    IWorkerEvents& ev = events_;
    const std::string& data = readStr_;
    const std::string host = tcp_ ? tcp_->Host() : std::string();
    const int port = tcp_ ? tcp_->Port() : 0;
    try {
        loop_.invokeAndWait([&ev, n, &data, &host, port] { ev.On_Read_Main(n, data, host, port); });
    } catch (...) {
    }
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
    Trace(" ClientDisconnected " + Peer() + " ");
    isConnect_.store(false);
    SyncDisconnected();
}

void Toprosdevice::Execute() {
    firstZapusk_ = true;
    lastGoodMs_ = clock_.MonotonicMs();
    isConnect_.store(false);
    readBuf_.assign(kMaxBlock, '\0');
    tcp_ = std::make_unique<TTcpClient>(&wake_, [this] { return terminated_.load(); });
    tcp_->SetOnDisconnected([this] { OnTcpDisconnected(); });

    if (!PauseFor(timings_.StartDelayMs)) {
        if (ConnectNow(timings_.FirstConnectTimeoutMs)) {
            Trace(" первое соединение с " + Peer() + " установлено");
            lastGoodMs_ = clock_.MonotonicMs();
            // Cleared before the report, so a request made from it is kept.
            mustConnect_.store(false);
            SyncConnected();
        } else {
            lastGoodMs_ = clock_.MonotonicMs();
            isConnect_.store(false);
            Trace(" ошибка первого соединения с " + Peer() + " ");
        }
    }

    while (!terminated_.load()) {
        try {
            ServiceStep();
        } catch (...) {
            // A failed pass is dropped; the loop goes on.
        }
        WaitForWork();
    }

    try {
        Trace(" поток завершается " + Peer() + " ");
        mustDisconnect_.store(false);
        SyncDisconnected();
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

void Toprosdevice::WaitForWork() {
    if (terminated_.load() || mustConnect_.load() || mustDisconnect_.load()) return;
    {
        std::lock_guard<std::mutex> lk(handMx_);
        if (!toWrite_.empty()) return;
    }
    // Octets are only looked for once something has been written.
    const bool watchSocket = tcp_->Connected() && !firstZapusk_;
    tcp_->Wait(timings_.ReadTimeoutMs, watchSocket);
}

void Toprosdevice::ServiceStep() {
    // 1. (Re)connect on request.
    if (mustConnect_.load()) {
        Trace(" пробую убрать соединение " + Peer() + " ");
        if (tcp_->Connected() || isConnect_.load()) {
            // The old connection is gone for the client too.
            tcp_->Disconnect();
            isConnect_.store(false);
            SyncDisconnected();
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
            SyncConnected();
        } else {
            Trace(" не удалось соединиться с " + Peer() + " ");
        }
    }

    // 2. Disconnect on request.
    if (mustDisconnect_.load()) {
        if (tcp_->Disconnect()) {
            Trace(" соединение с " + Peer() + " разорвано");
            mustDisconnect_.store(false);
            isConnect_.store(false);
            SyncDisconnected();
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

    // 5. The frame in the send slot.
    WriteSlot();

    // 6. What the station sent. The client usually answers a block at once (an
    // acknowledgement or the next frame): write that answer in this pass rather
    // than waking for another one. Wake-ups signalled for it are spent here; a
    // slot filled after the drain signals again, so none is lost.
    const std::string block = ReadBlock();
    if (!block.empty()) HandOver(block);

    // 7. Silence watchdog.
    if (isConnect_.load() || tcp_->Connected()) {
        if (clock_.MonotonicMs() - lastGoodMs_ > SilenceLimitSec() * 1000) {
            Trace(" вышел таймаут. разрываю соединение " + Peer() + " " + std::to_string(t0_));
            if (tcp_->Disconnect()) {
                if (!tcp_->Connected()) SyncDisconnected();
                PauseFor(timings_.WatchdogPauseMs);
                isConnect_.store(false);
            } else {
                lastGoodMs_ = clock_.MonotonicMs();
            }
        }
    }
}

void Toprosdevice::ResetSlicing() {
    scanPhase_ = scanLen_ = scanLeft_ = 0;
    scanI_ = scanLost_ = false;
}

size_t Toprosdevice::SliceEnd(const std::string& block, size_t pos, int maxI) {
    int iFrames = 0;
    while (pos < block.size()) {
        if (scanLost_) return block.size();
        const auto o = static_cast<uint8_t>(block[pos]);
        switch (scanPhase_) {
            case 0:
                if (o != 0x68) {
                    scanLost_ = true;
                    return block.size();
                }
                scanPhase_ = 1;
                ++pos;
                break;
            case 1:
                if (o < 4) {
                    scanLost_ = true;
                    return block.size();
                }
                scanLen_ = o;
                scanPhase_ = 2;
                ++pos;
                break;
            case 2:
                scanI_ = (o & 0x01) == 0;
                scanLeft_ = scanLen_ - 1;
                scanPhase_ = 3;
                ++pos;
                break;
            default: {
                const size_t take = std::min(static_cast<size_t>(scanLeft_), block.size() - pos);
                pos += take;
                scanLeft_ -= static_cast<int>(take);
                if (scanLeft_ == 0) {
                    scanPhase_ = 0;
                    if (scanI_ && ++iFrames >= maxI) return pos;
                }
                break;
            }
        }
    }
    return pos;
}

void Toprosdevice::HandOver(const std::string& block) {
    size_t pos = 0;
    while (pos < block.size()) {
        // Read again for every slice: the main thread updates it as it decodes.
        const int w = ackWindow_.load();
        const size_t end = w > 0 ? SliceEnd(block, pos, w) : block.size();
        if (pos == 0 && end == block.size())
            readStr_ = block;
        else
            readStr_.assign(block, pos, end - pos);
        pos = end;
        SyncReceived();
        // The client usually answers at once (an acknowledgement or the next frame):
        // write that answer now rather than waking for another pass. Wake-ups
        // signalled for it are spent here; a slot filled after the drain signals
        // again, so none is lost.
        wake_.Drain();
        WriteSlot();
        if (terminated_.load()) return;
    }
}

std::string Toprosdevice::ReadBlock() {
    if (firstZapusk_) return {};
    if (!tcp_->Connected()) return {};
    // Everything already there, up to one block; the pass wait did the waiting.
    const long n = tcp_->ReadAvailable(readBuf_.data(), readBuf_.size());
    if (n <= 0) return {};
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
    firstZapusk_ = false;
    Trace(" WriteText ");
    // A failure drops the octets (and the connection, when there was one).
    if (tcp_->WriteAll(octets.data(), octets.size(), timings_.WriteTimeoutMs)) {
        if (TraceOn()) Trace(" -> " + HexDumpChars(octets));
    }
}

}  // namespace telegate
