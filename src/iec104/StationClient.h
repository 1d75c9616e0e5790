// The IEC 60870-5-104 link layer of one station connection (TSubj104) and the
// master's station client built on it (T104Client).
//
// TSubj104 cuts APDUs out of the received byte stream, acts on U and S frames,
// checks and counts I frames, acknowledges them, sends the I frames of its send
// window and runs t1, t2 and t3. It does not own the transport: GetConnected,
// SendToSocket and StopConnect are implemented by T104Client, which hands frames
// to the station's worker thread through IStationLink.
//
// Rules of the send window:
// - an I frame counts as sent only when the transport took it; a frame the
//   transport refused (send buffer full) stays first in line and goes out at the
//   next service pass with the next N(S);
// - a received N(R) releases exactly the frames it acknowledges; an N(R) that
//   acknowledges a frame never sent (or moves backwards) is a protocol error: the
//   connection is dropped;
// - when the oldest unacknowledged I frame waits longer than t1 the connection is
//   closed and re-established through the reconnect path; frames are never sent
//   again under new sequence numbers;
// - I frames leave the window only while data transfer is started (STARTDT
//   confirmed).
//
// Rules of acknowledgement:
// - t2 runs from the first received I frame not yet acknowledged: it starts when
//   that count goes from 0 to 1 and is not restarted by the frames that follow;
// - as soon as w frames are unacknowledged the S frame goes out, also in the
//   middle of a received block;
// - a received block of any length is decoded as the receive queue fills, so a
//   station whose own k is larger than ours is served without loss;
// - a TESTFR or STOPDT confirmation the transport could not take stays due and
//   goes out at the next pass.
//
// A station client runs on the main thread. Its link layer runs either there too
// (the client is fed the octets its worker read) or on the worker's thread
// (TWorkerLink): then the client takes batches of accepted I frames, decodes them
// into tags and hands the ASDUs it wants sent to the worker.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iec104/Apdu.h"
#include "iec104/Asdu.h"
#include "iec104/LinkStatistics.h"
#include "iec104/StationLink.h"
#include "iec104/Telecontrol.h"
#include "iec104/WorkerBatch.h"
#include "model/Prmn.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/FlagWord.h"
#include "support/Journal.h"
#include "support/Stopwatch.h"

namespace telegate {

class TTagSignalList;

// Journal categories of the link layer and the client.
constexpr uint32_t kJournalAlways = 0;
constexpr uint32_t kJournalIec0 = 16;     // ">(iec0)" / "<(iec0)": one line per APDU
constexpr uint32_t kJournalIec3 = 128;    // "(iec3)": telecontrol progress
constexpr uint32_t kJournalIec5 = 65536;  // "(iec5)": link service

// Octets of the working buffer of one received block. A longer block is cut into
// pieces of this size.
constexpr int32_t kReceiveWorkSize = 61024;

enum TBit104Subj : uint8_t {
    bsb_SOCK_EMPTY = 0,
    bsb_SOCK_SERVICE = 1,
    bsb_PROC_OPROS = 2,        // a general interrogation is due
    bsb_STARTDT_Want = 3,      // STARTDT activation must be sent
    bsb_STARTDT_Act = 4,       // STARTDT activation sent, confirmation awaited
    bsb_STARTDT_Ok = 5,        // data transfer started
    bsb_ERRSEQAPDU = 6,        // protocol error: drop the connection at the next pass
    bsb_DoTESTFR = 7,          // a TESTFR frame has just been formed
    bsb_ClearValid = 8,        // set on disconnect: the station's tags become invalid
    bsb_CallDoDisconnect = 9,  // the transport reported a disconnect
};
using TFl104Subj = TTypedFlag<TBit104Subj>;

// One block from the transport: octets one per character, and the remote end.
struct PSocket_temp {
    std::string ReceiveBuf_str;
    std::string RemoteAddress;
    int32_t RemotePort = 0;
};

// What a link layer and a client use from the application context. Everything
// referenced must outlive the client.
struct TLinkEnv {
    const IClock& clock;
    TMessBuff& journal;
    const TTypeIdentList& types;
    // Folder of the trace files "Socket" + n + ".txt"; empty = working directory.
    std::string traceDir;
};

class TSubj104 {
  public:
    TSubj104(const TPrmn& Aprm, const TLinkEnv& env);
    virtual ~TSubj104() = default;
    TSubj104(const TSubj104&) = delete;
    TSubj104& operator=(const TSubj104&) = delete;

    // Transport operations, implemented by the station client.
    virtual bool GetConnected() = 0;
    // Hands one APDU to the transport; true when it was taken.
    virtual bool SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) = 0;
    virtual void StopConnect() = 0;

    // The transport has connected: counters and queues from zero.
    virtual void DoOnConnect();
    // The connection is gone.
    void DoOnDisconnect();

    // One block from the transport: cuts complete APDUs into r_APDUBuf.
    void Receive(const PSocket_temp& Socket, bool Save_Obmen, int nomer_socket);
    // Acts on one received APDU. Returns true when it was an accepted I frame whose
    // ASDU has been parsed into asdu (the caller decodes it).
    bool RaspakAPDU(const T104APDU& papdu, bool Save_Obmen, int nomer_socket, TIEC_ASDUt& asdu);
    // The periodic service pass: acknowledgements, timers, send window.
    void ConnectService(bool Save_Obmen, int nomer_socket);
    // Sends the S frame when w received I frames are unacknowledged or the oldest of
    // them has waited longer than t2.
    void AckIfDue(bool Save_Obmen, int nomer_socket);

    bool SendUCommand1(U_Func command, UActCon ActCon, bool Save_Obmen, int nomer_socket);
    bool SendSCommand1(int32_t vr, bool Save_Obmen, int nomer_socket);
    bool SendICommand(T104APDU& papdu, bool Save_Obmen, int nomer_socket);

    void FormUCommand(U_Func ucom, T104APDU& papdu, UActCon ActCon);
    void FormSCommand1(T104APDU& papdu);
    // Writes the control field with the current counters: I (N(S) = Fvs, N(R) = Fvr),
    // S (N(R) = Fvr) or U (code = function code before OR 03H).
    void FillAPCI1(T104APDU& papdu, TApciFormat format, uint8_t code);

    // Processes a received N(R). False (and bsb_ERRSEQAPDU set) when it acknowledges
    // a frame never sent or lies behind the last acknowledgement.
    bool DoAckSend(int32_t vrSecond);
    // Received I frames not yet acknowledged.
    int32_t GetW() const { return SeqDistance(Fvr, FVrAck); }

    static std::string str_vsvrCmd(char chDirect, char chCommand, int32_t Avs, int32_t Avr);
    std::string str_vsvrCnt() const;

    // Trace line to "Socket" + nomer_socket + ".txt".
    void TraceLine(const std::string& text, int nomer_socket) const;

    int32_t k = 0;       // sent and unacknowledged I frames
    int32_t Fvs = 0;     // V(S)
    int32_t Fvr = 0;     // V(R)
    int32_t FVrAck = 0;  // Fvr last sent to the station
    int32_t Ack = 0;     // last N(R) received
    // Runs from the send of the oldest unacknowledged I frame.
    TTimeCheckPause t1_Response;
    TTimeCheckPause t2_AckReseiveI;
    TTimeCheckPause t3_TestSending;
    // Runs from the last STARTDT confirmation (data transfer started).
    TTimeCheckPause tStartdtOk;
    TTraceTraffic TraceTraffic;
    std::string FIpPort;
    TFl104Subj flag;
    TPrmn prm;
    TBufferAPDU s_APDUBuf;
    TBufferAPDU r_APDUBuf;
    std::array<uint8_t, kApduSize> DataReserv{};
    int32_t CountReserv = 0;
    // Statistics and frame tap of the station (owned by polling); may be null.
    TLinkDiagnostics* Diag = nullptr;

  protected:
    // Called when the receive queue is full in the middle of a block: decode what it
    // holds so that cutting can go on. Without it the rest of the block is refused.
    virtual void DrainReceiveQueue(bool /*Save_Obmen*/, int /*nomer_socket*/) {}
    // False when this object does not run the link itself (its worker does): the
    // service pass then only forgets a lost connection.
    virtual bool RunsLink() const { return true; }
    // What the statistics learn from the link layer; to Diag by default.
    virtual void NoteFrame(TFrameDir dir, const uint8_t* apdu, size_t length, int32_t unackedOut) {
        if (Diag) Diag->OnFrame(dir, apdu, length, unackedOut);
    }
    virtual void NoteWindow(int32_t unackedIn) {
        if (Diag) Diag->NoteWindow(unackedIn);
    }
    virtual void NoteReason(TDisconnectReason reason) {
        if (Diag) Diag->NoteReason(reason);
    }
    virtual void NoteT1Expired() {
        if (Diag) Diag->OnT1Expired();
    }
    // False: the ASDU of an accepted I frame is parsed only for the journal line
    // (whoever takes the frame decodes it).
    bool FParseAsdu = true;
    // Sends the TESTFR and STOPDT confirmations the transport refused earlier.
    void SendDueConfirmations(bool Save_Obmen, int nomer_socket);

    const IClock& FClock;
    TMessBuff& FJournal;
    const TTypeIdentList& FTypes;
    std::string FTraceDir;

    void JournalTime(uint32_t cat, const std::string& text) const;

  private:
    // Cuts APDUs out of FWork[0..len); false when a stop was ordered.
    bool CutApdus(int32_t len, const PSocket_temp& Socket, bool Save_Obmen, int nomer_socket);
    void ResetCounters();

    std::vector<uint8_t> FWork;    // kReceiveWorkSize octets
    std::vector<int64_t> FSentAt;  // monotonic send instants of window entries 0..k-1
    T104APDU FTx;                  // U and S frames are built here
    bool FTestfrConDue = false;    // a TESTFR confirmation waits for the send slot
    bool FStopdtConDue = false;    // a STOPDT confirmation waits for the send slot
};

// Link from a client to its worker thread.
struct PClientSocket {
    int32_t Nomer_Thread = 0;
    std::shared_ptr<IStationLink> oprosdevice2;
    uint8_t WrkTimeTU = 0;
};

enum TBitClient : uint8_t {
    bclb_Work = 0,
    bclb_AutoConnect = 1,
    bclb_ConnectingOk = 2,
    bclb_Connect = 3,
    bclb_DisConnect = 4,
};
using TClSFlag = TTypedFlag<TBitClient>;

class T104Client : public TSubj104 {
  public:
    static constexpr int32_t kTuAckTimeout = 6000;

    T104Client(const PClientSocket& Apsock, const TPrmn& Aprm, const TLinkEnv& env);

    bool GetConnected() override;
    bool SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) override;
    void StopConnect() override;
    void DoOnConnect() override;

    void setWork(bool onoff);
    bool GetWork() { return ClSFlag.Op(FYes, bclb_Work); }
    // Connection management; once per command-timer tick.
    void Connecting(bool Save_Obmen, int nomer_socket);
    // Queues a general interrogation when data transfer is started.
    void Opros();
    void OnTestFr();
    // Advances the telecontrol command.
    void TuService1();
    // Decodes every APDU of the receive queue into the tags.
    void RaspakReceiveBufferAPDU(bool Save_Obmen, int nomer_socket);

    // The link layer runs on the worker's thread (set before the worker starts):
    // this client no longer cuts, acknowledges or times frames; it takes batches
    // (TakeBatch) and orders its ASDUs through IStationLink::TryPutAsdu.
    void SetLinkOnWorker(bool on) { FLinkOnWorker = on; }
    bool LinkOnWorker() const { return FLinkOnWorker; }
    // A batch from the worker's link layer, in order: its journal lines go to the
    // journal, its frames to the statistics and the frame tap, and its accepted I
    // frames are decoded into the tags and checked against the pending command;
    // then the link's state (data transfer started, an interrogation due) is taken.
    void TakeBatch(const TMainBatch& batch, int nomer_socket);
    // The periodic general interrogation is due (command timer).
    void OprosDue() { OPROS_KP_ = true; }
    // Where decoded objects are stored (may be null: nothing is stored).
    void SetTagList(TTagSignalList* tags) { FTags = tags; }
    TTagSignalList* GetTagList() const { return FTags; }

    // Pause before automatic attempt number nClConnAtt + 1, ms. The count of
    // attempts starts again only once a connection has proven itself (data
    // transfer confirmed and up for t3), so a station that accepts and drops at once
    // is retried with the growing pause.
    int64_t ConnectPauseMs() const { return static_cast<int64_t>(nClConnAtt / 20) * 2000 + 2000; }

    PClientSocket psock;
    TTimeCheckPause tWaitConnect;
    TClSFlag ClSFlag;
    TElemTU ElemTU;
    bool FWaitConnect = false;
    bool OPROS_KP_ = false;
    int32_t nClConnAtt = 0;
    // Setting "_Set_"/"prOprosSend": a due interrogation is sent only when true.
    bool prOprosSend = true;

  protected:
    void DrainReceiveQueue(bool Save_Obmen, int nomer_socket) override {
        RaspakReceiveBufferAPDU(Save_Obmen, nomer_socket);
    }
    bool RunsLink() const override { return !FLinkOnWorker; }

  private:
    // Puts an ASDU into the send window: the own one, or the worker's. False
    // when there is no room (the caller tries again at the next pass) or the
    // ASDU cannot be framed (*bad set).
    bool QueueAsdu(const TIEC_ASDUt& asdu, bool* bad);
    // Decodes one accepted I frame into the tags.
    void DecodeIFrame(const uint8_t* apdu, int32_t length, const std::string& host, int32_t port,
                      int nomer_socket);

    bool FLinkOnWorker = false;
    T104APDU FOrder;  // an ASDU ordered from the worker is framed here
    TTagSignalList* FTags = nullptr;
    TIEC_ASDUt FAsdu;  // the ASDU being decoded
};

}  // namespace telegate
