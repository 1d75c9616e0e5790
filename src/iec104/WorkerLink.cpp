#include "iec104/WorkerLink.h"

#include <algorithm>

#include "iec104/StationWorker.h"
#include "support/DateTime.h"
#include "support/TraceFiles.h"

namespace telegate {

TWorkerLink::TWorkerLink(const TPrmn& prm, const TLinkEnv& env, TWorkerLinkSettings settings)
    : TOwnJournal(env.journal.MBufFlag),
      TSubj104(prm, TLinkEnv{env.clock, FOwnJournal, env.types, env.traceDir}),
      FSettings(std::move(settings)) {
    FIpPort = FormatPeer(prm.Host, prm.Port);
    // The main thread decodes the frames; here the ASDU is parsed for the journal only.
    FParseAsdu = false;
}

void TWorkerLink::ApplySettings() {
    if (FSettings.JournalMask) FOwnJournal.MBufFlag = FSettings.JournalMask();
}

bool TWorkerLink::SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) {
    if (!FConnected) return false;
    const int32_t n = std::clamp(papdu.lenData, 0, kApduSize);
    NoteFrame(TFrameDir::Sent, papdu.Data, static_cast<size_t>(n), k);
    FOut.append(reinterpret_cast<const char*>(papdu.Data), static_cast<size_t>(n));
    TraceTraffic.AddBytes(n);
    if (Save_Obmen)
        TraceLine("То KP " + FormatTime(FClock.Now()) + "  " + " " + papdu.toString(std::string()),
                  nomer_socket);
    return true;
}

void TWorkerLink::StopConnect() {
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5,
                    "(iec5) !!! Вызвана процедура StopConnect()! ClSFlag=" + flag.ToString());
    DoOnDisconnect();
    FStopRequested = true;
    flag.Op(FClear, bsb_ERRSEQAPDU);
    s_APDUBuf.Reset(false);
}

void TWorkerLink::Connected() {
    ApplySettings();
    FConnected = true;
    FStopRequested = false;
    FOut.clear();
    DoOnConnect();
    flag.Op(FSet, bsb_STARTDT_Want);
}

void TWorkerLink::Disconnected() {
    FConnected = false;
    FOut.clear();
    DoOnDisconnect();
}

bool TWorkerLink::TakeStopRequest() {
    const bool r = FStopRequested;
    FStopRequested = false;
    return r;
}

void TWorkerLink::NoteFrame(TFrameDir dir, const uint8_t* apdu, size_t length,
                            int32_t unackedOut) {
    // Received frames are recorded as they are taken from the queue (DrainInto),
    // where it is known whether they are to be decoded.
    if (dir == TFrameDir::Sent && FBatch != nullptr) FBatch->AddFrame(dir, apdu, length, unackedOut);
}

void TWorkerLink::NoteWindow(int32_t unackedIn) {
    if (FBatch != nullptr) FBatch->MaxUnackedIn = std::max(FBatch->MaxUnackedIn, unackedIn);
}

void TWorkerLink::NoteReason(TDisconnectReason reason) {
    if (FBatch != nullptr && FBatch->Reason == TDisconnectReason::None) FBatch->Reason = reason;
}

void TWorkerLink::NoteT1Expired() {
    if (FBatch != nullptr) FBatch->T1Expired = true;
}

void TWorkerLink::DrainInto(TMainBatch& batch, bool Save_Obmen, int nomer_socket) {
    while (T104APDU* p = r_APDUBuf.GetToSend()) {
        const size_t len = static_cast<size_t>(std::clamp(p->lenData, 0, kApduSize));
        batch.AddFrame(TFrameDir::Received, p->Data, len, k);
        const size_t at = batch.Frames.size() - 1;
        const bool accepted = RaspakAPDU(*p, Save_Obmen, nomer_socket, FAsdu);
        batch.Frames[at].Decode = accepted;
        if (accepted && len >= 9) {
            const int cause = p->Data[8] & 0x3F;
            if (cause < 1 || cause > 3) batch.Urgent = true;
        }
        // STARTDT confirmed (or activated by the station): the main thread asks for
        // an interrogation.
        if (flag.Op(FYes, bsb_PROC_OPROS)) {
            flag.Op(FClear, bsb_PROC_OPROS);
            batch.InterrogationDue = true;
        }
    }
    r_APDUBuf.Reset(false);
}

void TWorkerLink::DrainReceiveQueue(bool Save_Obmen, int nomer_socket) {
    if (FBatch != nullptr) DrainInto(*FBatch, Save_Obmen, nomer_socket);
}

void TWorkerLink::TakeBlock(std::string block, TMainBatch& batch, int nomer_socket) {
    ApplySettings();
    const bool trace = TraceOn();
    PSocket_temp sock;
    sock.ReceiveBuf_str = std::move(block);
    sock.RemoteAddress = prm.Host;
    sock.RemotePort = prm.Port;
    FBatch = &batch;
    Receive(sock, trace, nomer_socket);
    DrainInto(batch, trace, nomer_socket);
    FBatch = nullptr;
    ServicePass(batch, nomer_socket, trace);
}

void TWorkerLink::Service(TMainBatch& batch, int nomer_socket) {
    ApplySettings();
    ServicePass(batch, nomer_socket, TraceOn());
}

void TWorkerLink::ServicePass(TMainBatch& batch, int nomer_socket, bool trace) {
    FBatch = &batch;
    if (FConnected && flag.Op(FYes, bsb_STARTDT_Want) &&
        SendUCommand1(U_STARTDT, UACT, trace, nomer_socket)) {
        flag.Op(FClear, bsb_STARTDT_Want);
        flag.Op(FSet, bsb_STARTDT_Act);
    }
    ConnectService(trace, nomer_socket);
    // A test frame while STARTDT is still unconfirmed: the activation goes out again.
    if (flag.Op(FYes, bsb_DoTESTFR)) {
        flag.Op(FClear, bsb_DoTESTFR);
        if (flag.Op(FYes, bsb_STARTDT_Act) && flag.Op(FNo, bsb_STARTDT_Ok))
            flag.Op(FSet, bsb_STARTDT_Want);
    }
    FBatch = nullptr;
    batch.DataStarted = FConnected && flag.Op(FYes, bsb_STARTDT_Ok);
    batch.UnackedOut = k;
}

bool TWorkerLink::QueueAsdu(const std::string& apdu) {
    if (s_APDUBuf.GetFull() || apdu.size() < 6 || apdu.size() > static_cast<size_t>(kApduSize))
        return false;
    return s_APDUBuf.Put1(reinterpret_cast<const uint8_t*>(apdu.data()),
                          static_cast<int32_t>(apdu.size()), 0);
}

int64_t TWorkerLink::MsToNextTimer() {
    if (!FConnected) return INT32_MAX;
    // A timer fires once more than its pause has passed.
    auto left = [](const TTimeCheckPause& t, int64_t pause) {
        return std::max<int64_t>(0, pause + 1 - t.TimeFromStart());
    };
    int64_t due = left(t3_TestSending, prm.t3);
    if (GetW() > 0) due = std::min(due, left(t2_AckReseiveI, prm.t2));
    if (k > 0) due = std::min(due, left(t1_Response, prm.t1));
    // Something the transport refused earlier, or a STARTDT still to send, is due now.
    if (flag.Op(FYes, bsb_STARTDT_Want) || flag.Op(FYes, bsb_ERRSEQAPDU)) due = 0;
    return due;
}

std::string TWorkerLink::TakeOutput() {
    std::string out;
    out.swap(FOut);
    return out;
}

void TWorkerLink::MoveJournal(TMainBatch& batch) {
    TJournalLine line;
    while (FOwnJournal.Get(line.Text, line.Time)) {
        line.Flag = kJournalAlways;
        batch.Journal.push_back(line);
    }
}

void RunLinkOnWorker(Toprosdevice& worker, T104Client& client, const TLinkEnv& env,
                     TWorkerLinkSettings settings) {
    worker.AttachLink(std::make_unique<TWorkerLink>(client.prm, env, std::move(settings)));
    client.SetLinkOnWorker(true);
}

}  // namespace telegate
