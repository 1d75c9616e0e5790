#include "iec104/WorkerLink.h"

#include <algorithm>

#include "support/DateTime.h"
#include "support/TraceFiles.h"

namespace telegate {

TWorkerLink::TWorkerLink(const TPrmn& prm, const TLinkEnv& env, uint32_t journalMask)
    : TOwnJournal(journalMask),
      TSubj104(prm, TLinkEnv{env.clock, FOwnJournal, env.types, env.traceDir}) {
    FIpPort = FormatPeer(prm.Host, prm.Port);
}

bool TWorkerLink::SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) {
    if (!FConnected) return false;
    const int32_t n = std::clamp(papdu.lenData, 0, kApduSize);
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
    FConnected = true;
    FStopRequested = false;
    FOut.clear();
    DoOnConnect();
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

void TWorkerLink::DrainInto(TMainBatch& batch, bool Save_Obmen, int nomer_socket) {
    while (T104APDU* p = r_APDUBuf.GetToSend()) {
        if (!RaspakAPDU(*p, Save_Obmen, nomer_socket, FAsdu)) continue;
        batch.IFrames.append(reinterpret_cast<const char*>(p->Data),
                             static_cast<size_t>(std::clamp(p->lenData, 0, kApduSize)));
    }
    r_APDUBuf.Reset(false);
}

void TWorkerLink::DrainReceiveQueue(bool Save_Obmen, int nomer_socket) {
    if (FBatch != nullptr) DrainInto(*FBatch, Save_Obmen, nomer_socket);
}

void TWorkerLink::TakeBlock(const std::string& block, TMainBatch& batch, bool Save_Obmen,
                            int nomer_socket) {
    PSocket_temp sock;
    sock.ReceiveBuf_str = block;
    sock.RemoteAddress = prm.Host;
    sock.RemotePort = prm.Port;
    FBatch = &batch;
    Receive(sock, Save_Obmen, nomer_socket);
    DrainInto(batch, Save_Obmen, nomer_socket);
    FBatch = nullptr;
    Service(batch, Save_Obmen, nomer_socket);
}

void TWorkerLink::Service(TMainBatch& batch, bool Save_Obmen, int nomer_socket) {
    if (FConnected && flag.Op(FYes, bsb_STARTDT_Want) &&
        SendUCommand1(U_STARTDT, UACT, Save_Obmen, nomer_socket)) {
        flag.Op(FClear, bsb_STARTDT_Want);
        flag.Op(FSet, bsb_STARTDT_Act);
    }
    ConnectService(Save_Obmen, nomer_socket);
    batch.DataStarted = flag.Op(FYes, bsb_STARTDT_Ok);
    batch.UnackedOut = k;
}

bool TWorkerLink::QueueAsdu(const std::string& apdu) {
    if (s_APDUBuf.GetFull() || apdu.size() < 6 || apdu.size() > static_cast<size_t>(kApduSize))
        return false;
    return s_APDUBuf.Put1(reinterpret_cast<const uint8_t*>(apdu.data()),
                          static_cast<int32_t>(apdu.size()), 0);
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

}  // namespace telegate
