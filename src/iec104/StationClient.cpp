#include "iec104/StationClient.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "model/Tags.h"
#include "support/DateTime.h"
#include "support/TraceFiles.h"

namespace telegate {

namespace {

std::string Hex2(uint8_t b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s(2, '0');
    s[0] = digits[b >> 4];
    s[1] = digits[b & 0x0F];
    return s;
}

std::string ApduHex(const T104APDU& papdu) {
    return papdu.toString(std::string());
}

}  // namespace

// ---------------------------------------------------------------------------------
// TSubj104

TSubj104::TSubj104(const TPrmn& Aprm, const TLinkEnv& env)
    : t1_Response(env.clock),
      t2_AckReseiveI(env.clock),
      t3_TestSending(env.clock),
      tStartdtOk(env.clock),
      TraceTraffic(env.clock),
      prm(Aprm),
      s_APDUBuf(Aprm.kMax),
      r_APDUBuf(static_cast<int32_t>(std::clamp<int64_t>(int64_t{Aprm.kMax} + 8, 8, 32767))),
      FClock(env.clock),
      FJournal(env.journal),
      FTypes(env.types),
      FTraceDir(env.traceDir),
      FWork(static_cast<size_t>(kReceiveWorkSize)),
      FSentAt(static_cast<size_t>(std::max<int32_t>(s_APDUBuf.GetSize(), 0))) {}

void TSubj104::JournalTime(uint32_t cat, const std::string& text) const {
    FJournal.Put(cat, text, FClock.Now());
}

void TSubj104::TraceLine(const std::string& text, int nomer_socket) const {
    AppendTraceLine(text, JoinPath(FTraceDir, "Socket" + std::to_string(nomer_socket) + ".txt"));
}

void TSubj104::ResetCounters() {
    Fvs = Fvr = FVrAck = Ack = k = 0;
    CountReserv = 0;
    FTestfrConDue = FStopdtConDue = false;
}

void TSubj104::DoOnConnect() {
    ResetCounters();
    flag.Operation(FClearAll, 0);
    s_APDUBuf.Reset(true);
    r_APDUBuf.Reset(true);
    t3_TestSending.Start();
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5,
                    "(iec5) DoOnConnect (сбросить все счетчики,STARTDT)" + flag.ToString());
}

void TSubj104::DoOnDisconnect() {
    flag.Operation(FClearAll, 0);
    flag.Op(FSet, bsb_ClearValid);
    s_APDUBuf.Reset(true);
    r_APDUBuf.Reset(true);
    // The window is emptied, so nothing counts as sent and unacknowledged any more:
    // k and Ack must agree, or a frame sent before the next connect would make k
    // larger than the window.
    Ack = Fvs;
    k = 0;
    // Octets of an incomplete frame belong to the connection that is gone.
    CountReserv = 0;
    FTestfrConDue = FStopdtConDue = false;
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5, "(iec5) DoOnDisconnect():" + prm.Host +
                                      " Port=" + std::to_string(prm.Port) + "(сбросить STARTDT)" +
                                      flag.ToString());
}

void TSubj104::Receive(const PSocket_temp& Socket, bool Save_Obmen, int nomer_socket) {
    const std::string& blk = Socket.ReceiveBuf_str;
    const int32_t blkLen = static_cast<int32_t>(std::min<size_t>(blk.size(), INT32_MAX / 2));
    if (Save_Obmen)
        TraceLine("From KP " + FormatTime(FClock.Now()) + " " + HexDumpChars(blk) +
                      "  Count =" + std::to_string(blkLen),
                  nomer_socket);
    TraceTraffic.AddBytes(blkLen);
    t3_TestSending.Start();
    // An acknowledgement the transport refused before goes first.
    if (GetConnected()) AckIfDue(Save_Obmen, nomer_socket);

    // The block goes through the working buffer in pieces; the octets carried from
    // the previous piece (an incomplete frame, at most 257 octets) come first.
    int32_t offset = 0;
    while (offset < blkLen) {
        const int32_t carried = std::clamp(CountReserv, 0, static_cast<int32_t>(DataReserv.size()));
        const int32_t room = kReceiveWorkSize - carried;
        const int32_t n = std::min(room, blkLen - offset);
        if (carried > 0) std::memcpy(FWork.data(), DataReserv.data(), static_cast<size_t>(carried));
        std::memcpy(FWork.data() + carried, blk.data() + offset, static_cast<size_t>(n));
        CountReserv = 0;
        offset += n;
        if (!CutApdus(carried + n, Socket, Save_Obmen, nomer_socket)) break;
    }
}

bool TSubj104::CutApdus(int32_t len, const PSocket_temp& Socket, bool Save_Obmen,
                        int nomer_socket) {
    const uint8_t* w = FWork.data();
    int32_t p = 0;
    while (p < len) {
        if (w[p] != kApduStart) {
            const std::string err = "ERROR: 1-й байт APDU не равен 68H. Байт=" + Hex2(w[p]);
            if (Save_Obmen) {
                TraceLine(err, nomer_socket);
                TraceLine("Data " + FormatTime(FClock.Now()) + " " +
                              HexDumpBytes("", w + p, static_cast<size_t>(len - p)) +
                              "  Count =" + std::to_string(len),
                          nomer_socket);
            }
            FJournal.Put(1, err);
            // The stream is out of step: the rest of the block goes, tail included, so
            // that no octet of it is taken for a length in front of the next block.
            // Frames in that rest are lost, so the connection is dropped at the next
            // service pass; the new connection's interrogation brings every value back.
            flag.Op(FSet, bsb_ERRSEQAPDU);
            return false;
        }
        const int32_t L = (p + 1 < len) ? w[p + 1] : 0;
        if (p + L + 2 > len) {
            // Incomplete: carried in front of the next block (at most 256 octets).
            const int32_t rest = len - p;
            std::memcpy(DataReserv.data(), w + p, static_cast<size_t>(rest));
            CountReserv = rest;
            return true;
        }
        if (L < 4) {
            // Shorter than a control field: nothing after it can be trusted.
            const std::string err = "ERROR: Длина APDU меньше 4. Длина=" + std::to_string(L);
            if (Save_Obmen) TraceLine(err, nomer_socket);
            FJournal.Put(1, err);
            flag.Op(FSet, bsb_ERRSEQAPDU);
            return false;
        }
        // A block with more frames than the queue holds is decoded as it fills.
        if (r_APDUBuf.GetFull()) {
            DrainReceiveQueue(Save_Obmen, nomer_socket);
        }
        if (r_APDUBuf.GetFull()) {
            const std::string err = "Error!!! Ошибка записи принятого APDU в r_APDUBuf. Count=" +
                                    std::to_string(r_APDUBuf.GetIndAdd());
            if (Save_Obmen) TraceLine(err, nomer_socket);
            FJournal.Put(0, err);
            flag.Op(FSet, bsb_ERRSEQAPDU);  // the frames of the rest are lost: start afresh
            return false;
        }
        r_APDUBuf.Put1(w, L + 2, p);
        NoteFrame(TFrameDir::Received, w + p, static_cast<size_t>(L + 2), k);
        const bool jr = FJournal.Enabled(kJournalIec0);
        if (Save_Obmen || jr) {
            const std::string peer = FormatPeer(Socket.RemoteAddress, Socket.RemotePort);
            const std::string hex = HexDumpBytes("", w + p, static_cast<size_t>(L + 2));
            if (Save_Obmen) TraceLine(" Data >         " + hex + " " + peer, nomer_socket);
            if (jr) JournalTime(kJournalIec0, ">(iec0)" + peer + " Receive: " + hex);
        }
        p += L + 2;
    }
    return true;
}

bool TSubj104::RaspakAPDU(const T104APDU& papdu, bool Save_Obmen, int nomer_socket,
                          TIEC_ASDUt& asdu) {
    if (papdu.lenData < 6) {
        // The receive path never queues such a frame; refuse it all the same.
        FJournal.Put(0, "Error Короткий APDU. Длина=" + std::to_string(papdu.lenData));
        return false;
    }
    std::string err;
    bool result = false;
    const uint8_t f = papdu.Data[2] & 0x03;
    if (f == 1) {
        int32_t vs = 0, vr = 0;
        papdu.GetFromAPCI(1, vs, vr);
        if (vr != Ack) DoAckSend(vr);
        if (FJournal.Enabled(kJournalIec5))
            JournalTime(kJournalIec5, ">(iec5) " + str_vsvrCmd('>', 'S', 0, vr) + str_vsvrCnt() +
                                          "S!!!: " + ApduHex(papdu) + flag.ToString());
    } else if (f == 3) {
        if (papdu.lenData != 6 || papdu.Data[3] != 0 || papdu.Data[4] != 0 || papdu.Data[5] != 0) {
            err = "Формат U ошибка в длине или байты 3,4,5<>0";
        } else {
            const uint8_t c = papdu.Data[2] & 0xFC;
            const char* label = nullptr;
            const char* suffix = "";
            const char* sep = "): ";
            switch (c) {
                case 0x04:
                    label = "Receive(U_STARTDT_ACT)(";
                    if (SendUCommand1(U_STARTDT, UCON, Save_Obmen, nomer_socket)) {
                        if (flag.Op(FNo, bsb_STARTDT_Ok)) tStartdtOk.Start();
                        flag.Op(FSet, bsb_STARTDT_Ok);
                        flag.Op(FSet, bsb_PROC_OPROS);
                        flag.Op(FClear, bsb_STARTDT_Act);
                    }
                    break;
                case 0x08:
                    label = "(U_STARTDT_CON)(";
                    suffix = " уст.фл. STARTDT_Ok, OPROS";
                    if (flag.Op(FNo, bsb_STARTDT_Ok)) tStartdtOk.Start();
                    flag.Op(FSet, bsb_STARTDT_Ok);
                    flag.Op(FSet, bsb_PROC_OPROS);
                    flag.Op(FClear, bsb_STARTDT_Act);
                    break;
                case 0x10:
                    label = "Receive(U_STOPDT_ACT)(";
                    suffix = " сбросить STARTDT_Ok";
                    sep = "):";
                    flag.Op(FClear, bsb_STARTDT_Ok);
                    flag.Op(FClear, bsb_STARTDT_Act);
                    FStopdtConDue = !SendUCommand1(U_STOPDT, UCON, Save_Obmen, nomer_socket);
                    break;
                case 0x20:
                    label = "Receive(U_STOPDT_CON)(";
                    suffix = " сбросить STARTDT_Ok";
                    flag.Op(FClear, bsb_STARTDT_Ok);
                    break;
                case 0x40:
                    label = "Receive(U_TESTFR_ACT)(";
                    FTestfrConDue = !SendUCommand1(U_TESTFR, UCON, Save_Obmen, nomer_socket);
                    break;
                case 0x80:
                    label = "Receive(U_TESTFR_CON)(";
                    break;
                default:
                    err = "Одновременно несколько функций? actcon=" + Hex2(c);
                    break;
            }
            if (label != nullptr && FJournal.Enabled(kJournalIec5))
                JournalTime(kJournalIec5, std::string(">(iec5) ") + label + prm.Host +
                                              " Port=" + std::to_string(prm.Port) + sep +
                                              ApduHex(papdu) + suffix + flag.ToString());
        }
    } else {
        if (flag.Op(FNo, bsb_STARTDT_Ok)) {
            if (Save_Obmen) TraceLine("Не буду принимать данные. Не было STARTDT", nomer_socket);
            FJournal.Put(0, "!!! Данные не принимаем т.к. не было STARTDT!");
            return false;
        }
        const TAsduSizes sz = AsduSizes(&prm);
        const int32_t asduLen = papdu.lenData - 6;
        const int32_t headerLen = 2 + sz.szCOT + sz.szASDUAddress + sz.szInfObjAddress;
        if (asduLen < headerLen) {
            // A frame that cannot hold its own header is a protocol error.
            FJournal.Put(0, "Error Короткий APDU_I. Длина ASDU=" + std::to_string(asduLen) +
                                " Разрыв соедин!");
            flag.Op(FSet, bsb_ERRSEQAPDU);
            return false;
        }
        const bool jr = FJournal.Enabled(kJournalIec0);
        if (FParseAsdu || jr)
            asdu.Create(FTypes,
                        std::span<const uint8_t>(papdu.Data, static_cast<size_t>(papdu.lenData)),
                        prm, asduLen, 6);
        int32_t vs = 0, vr = 0;
        papdu.GetFromAPCI(0, vs, vr);
        if (vr != Ack) DoAckSend(vr);
        bool inSequence = false;
        if (vs == Fvr) {
            // t2 runs from the first frame not yet acknowledged.
            if (GetW() == 0) t2_AckReseiveI.Start();
            Fvr = SeqIncrement(Fvr);
            inSequence = true;
        } else if (SeqDistance(vs, Fvr) > 0) {
            err = "Error Нарушена последовательность APDU_I. vr=" + std::to_string(Fvr * 2) +
                  " меньше vsSecond=" + std::to_string(vs * 2) + " Разрыв соедин!";
            if (Save_Obmen) TraceLine(err, nomer_socket);
            flag.Op(FSet, bsb_ERRSEQAPDU);
        }
        if (jr)
            JournalTime(kJournalIec0, ">(iec0)" + FIpPort + str_vsvrCmd('>', 'I', vs, vr) +
                                          str_vsvrCnt() + asdu.ToString(FTypes));
        // At w the acknowledgement goes out at once, not after the rest of the block.
        if (inSequence && GetW() >= prm.wMax) AckIfDue(Save_Obmen, nomer_socket);
        result = true;
    }
    if (!err.empty()) FJournal.Put(0, err);
    return result;
}

bool TSubj104::DoAckSend(int32_t vrSecond) {
    const int32_t acked = SeqDistance(vrSecond, Ack);
    if (acked < 0 || acked > k) {
        FJournal.Put(0, "Error Подтверждение неотправленного APDU_I. vr=" +
                            std::to_string(vrSecond) + " Ack=" + std::to_string(Ack) +
                            " vs=" + std::to_string(Fvs) + " Разрыв соедин!");
        flag.Op(FSet, bsb_ERRSEQAPDU);
        return false;
    }
    Ack = vrSecond;
    if (acked > 0) {
        s_APDUBuf.ReleaseFirst(acked);
        const int32_t held = std::clamp<int32_t>(k, 0, static_cast<int32_t>(FSentAt.size()));
        const int32_t left = held - std::min(acked, held);
        std::copy(FSentAt.begin() + (held - left), FSentAt.begin() + held, FSentAt.begin());
        // t1 now runs from the send of the oldest frame still unacknowledged.
        if (left > 0) t1_Response.tmstamp0 = FSentAt[0];
    }
    k = SeqDistance(Fvs, Ack);
    return true;
}

void TSubj104::ConnectService(bool Save_Obmen, int nomer_socket) {
    if (flag.Op(FYes, bsb_CallDoDisconnect)) DoOnDisconnect();
    if (!RunsLink() || !GetConnected()) return;

    SendDueConfirmations(Save_Obmen, nomer_socket);
    AckIfDue(Save_Obmen, nomer_socket);
    if (t3_TestSending.CheckExpire(prm.t3, false)) {
        if (FJournal.Enabled(kJournalIec5))
            JournalTime(kJournalIec5, "(iec5) t3_(вышел таймаут! Послать проверку связи.)");
        SendUCommand1(U_TESTFR, UACT, Save_Obmen, nomer_socket);
        t3_TestSending.Start();
    }
    if (flag.Op(FYes, bsb_ERRSEQAPDU)) {
        NoteReason(TDisconnectReason::SequenceError);
        StopConnect();
        return;
    }
    if (k > 0 && t1_Response.CheckExpire(prm.t1, false)) {
        NoteT1Expired();
        // The station did not acknowledge in time: close, and let the reconnect path
        // build a fresh connection. Nothing is sent again under new numbers.
        if (FJournal.Enabled(kJournalIec5))
            JournalTime(kJournalIec5, "(iec5) t1(вышел таймаут! Разрыв соединения)");
        StopConnect();
        return;
    }
    if (flag.Op(FNo, bsb_STARTDT_Ok)) return;
    while (k < s_APDUBuf.GetSize()) {
        T104APDU* p = s_APDUBuf.GetItem(s_APDUBuf.GetIndSend());
        if (p == nullptr) break;
        const int32_t before = k;
        if (!SendICommand(*p, Save_Obmen, nomer_socket)) break;  // stays first in line
        s_APDUBuf.GetToSend();
        const int64_t now = FClock.MonotonicMs();
        if (before >= 0 && before < static_cast<int32_t>(FSentAt.size()))
            FSentAt[static_cast<size_t>(before)] = now;
        if (before == 0) t1_Response.Start();
    }
}

void TSubj104::AckIfDue(bool Save_Obmen, int nomer_socket) {
    const int32_t w = GetW();
    NoteWindow(w);
    if (w <= 0 || (w < prm.wMax && !t2_AckReseiveI.CheckExpire(prm.t2, false))) return;
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5, w < prm.wMax
                                      ? "(iec5) Подтверждение приема т.к.(вышел таймаут t2!"
                                      : "(iec5) Подтверждение приема т.к.(GetW>=wMax)");
    SendSCommand1(Fvr, Save_Obmen, nomer_socket);
}

void TSubj104::SendDueConfirmations(bool Save_Obmen, int nomer_socket) {
    if (FTestfrConDue) FTestfrConDue = !SendUCommand1(U_TESTFR, UCON, Save_Obmen, nomer_socket);
    if (FStopdtConDue) FStopdtConDue = !SendUCommand1(U_STOPDT, UCON, Save_Obmen, nomer_socket);
}

void TSubj104::FillAPCI1(T104APDU& papdu, TApciFormat format, uint8_t code) {
    switch (format) {
        case apf_I:
            papdu.SetISequence(Fvs, Fvr);
            break;
        case apf_S:
            papdu.FormSCommand(Fvr);
            break;
        case apf_U:
            papdu.Data[0] = kApduStart;
            papdu.Data[1] = 4;
            papdu.Data[2] = static_cast<uint8_t>(code | 0x03);
            papdu.Data[3] = papdu.Data[4] = papdu.Data[5] = 0;
            papdu.lenData = 6;
            break;
    }
}

void TSubj104::FormUCommand(U_Func ucom, T104APDU& papdu, UActCon ActCon) {
    FillAPCI1(papdu, apf_U, UFuncCode(ucom, ActCon));
    if (ucom == U_TESTFR) flag.Op(FSet, bsb_DoTESTFR);
}

void TSubj104::FormSCommand1(T104APDU& papdu) {
    FillAPCI1(papdu, apf_S, 0);
}

bool TSubj104::SendUCommand1(U_Func command, UActCon ActCon, bool Save_Obmen, int nomer_socket) {
    // Nothing goes out, and nothing is journaled as sent, on a link that is down.
    if (!GetConnected()) return false;
    FormUCommand(command, FTx, ActCon);
    const bool ok = SendToSocket(FTx, Save_Obmen, nomer_socket);
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5,
                    "<(iec5) " + FTx.toString(ok ? "Send_U:" : "Error Send_U:") + flag.ToString());
    return ok;
}

bool TSubj104::SendSCommand1(int32_t vr, bool Save_Obmen, int nomer_socket) {
    if (!GetConnected()) return false;
    FormSCommand1(FTx);
    const bool ok = SendToSocket(FTx, Save_Obmen, nomer_socket);
    if (ok) FVrAck = vr;
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5, "<(iec5) " + FTx.toString("Send_S: ") + flag.ToString());
    return ok;
}

bool TSubj104::SendICommand(T104APDU& papdu, bool Save_Obmen, int nomer_socket) {
    if (!GetConnected()) return false;
    FillAPCI1(papdu, apf_I, 0);
    if (papdu.lenData < 1 || papdu.lenData > 300)
        FJournal.Put(0, "++++++++++++ ERROR+++ LenAPDU  in SendICommand()");
    const bool ok = SendToSocket(papdu, Save_Obmen, nomer_socket);
    std::string text;
    if (ok) {
        text = str_vsvrCmd('<', 'I', Fvs, Fvr);
        Fvs = SeqIncrement(Fvs);
        k = SeqDistance(Fvs, Ack);
        FVrAck = Fvr;
    } else {
        text = "Error Send I:";
    }
    if (FJournal.Enabled(kJournalIec0))
        JournalTime(kJournalIec0, "<(iec0)" + text + str_vsvrCnt() + ApduHex(papdu));
    if (ok && Save_Obmen) TraceLine("Опрос КП", nomer_socket);
    return ok;
}

std::string TSubj104::str_vsvrCmd(char chDirect, char chCommand, int32_t Avs, int32_t Avr) {
    std::string s;
    s += chDirect;
    s += chCommand;
    s += " (";
    if (chCommand == 'S') {
        s += std::to_string(Avr) + ") ";
    } else if (chCommand == 'I') {
        s += std::to_string(Avs) + "," + std::to_string(Avr) + ") ";
    }
    return s;
}

std::string TSubj104::str_vsvrCnt() const {
    return "(" + std::to_string(Fvs) + "," + std::to_string(Fvr) + "," + std::to_string(Ack) +
           ",k=" + std::to_string(k) + ") ";
}

// ---------------------------------------------------------------------------------
// T104Client

T104Client::T104Client(const PClientSocket& Apsock, const TPrmn& Aprm, const TLinkEnv& env)
    : TSubj104(Aprm, env),
      psock(Apsock),
      tWaitConnect(env.clock),
      ElemTU(env.clock, env.journal, env.types, kTuAckTimeout) {
    flag.Operation(FClearAll, 0);
    if (prm.prWork1 == 1) setWork(true);
    FIpPort = FormatPeer(prm.Host, prm.Port);
}

bool T104Client::GetConnected() {
    return psock.oprosdevice2 != nullptr && psock.oprosdevice2->IsConnect();
}

bool T104Client::SendToSocket(const T104APDU& papdu, bool Save_Obmen, int nomer_socket) {
    if (!GetConnected()) return false;
    const int32_t n = std::clamp(papdu.lenData, 0, kApduSize);
    const bool ok = psock.oprosdevice2->TryPutToWrite(
        std::string(reinterpret_cast<const char*>(papdu.Data), static_cast<size_t>(n)));
    if (ok) {
        NoteFrame(TFrameDir::Sent, papdu.Data, static_cast<size_t>(n), k);
        TraceTraffic.AddBytes(n);
        if (Save_Obmen)
            TraceLine("То KP " + FormatTime(FClock.Now()) + "  " + " " + ApduHex(papdu),
                      nomer_socket);
    }
    return ok;
}

void T104Client::StopConnect() {
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5,
                    "(iec5) !!! Вызвана процедура StopConnect()! ClSFlag=" + flag.ToString());
    DoOnDisconnect();
    if (psock.oprosdevice2 != nullptr) psock.oprosdevice2->RequestDisconnect();
    flag.Op(FClear, bsb_ERRSEQAPDU);
    s_APDUBuf.Reset(false);
}

void T104Client::DoOnConnect() {
    TSubj104::DoOnConnect();
    if (FJournal.Enabled(kJournalIec5))
        JournalTime(kJournalIec5,
                    "(iec5) T104Client.DoOnConnect() Соед.установлено! Флаг Connecting." +
                        flag.ToString() + ClSFlag.ToString());
    ClSFlag.Op(FSet, bclb_ConnectingOk);
    FWaitConnect = false;
}

void T104Client::setWork(bool onoff) {
    if (onoff) {
        ClSFlag.Op(FSet, bclb_Work);
        prm.prWork1 = 1;
    } else {
        ClSFlag.Op(FClear, bclb_Work);
        prm.prWork1 = 0;
        if (GetConnected()) ClSFlag.Op(FSet, bclb_DisConnect);
    }
}

void T104Client::Connecting(bool Save_Obmen, int nomer_socket) {
    if (flag.Op(FYes, bsb_CallDoDisconnect)) DoOnDisconnect();
    IStationLink* worker = psock.oprosdevice2.get();

    // A connection that has carried data for t3 has proven itself: the next loss
    // is retried from the shortest pause again.
    if (nClConnAtt != 0 && GetConnected() && flag.Op(FYes, bsb_STARTDT_Ok) &&
        tStartdtOk.CheckExpire(prm.t3, false))
        nClConnAtt = 0;
    if (ClSFlag.Op(FYes, bclb_Work) && ClSFlag.Op(FYes, bclb_AutoConnect) && worker != nullptr &&
        !worker->IsConnect() && tWaitConnect.CheckExpire(ConnectPauseMs(), true)) {
        ++nClConnAtt;
        ClSFlag.Op(FSet, bclb_Connect);
        FWaitConnect = true;
        if (nClConnAtt > 6000) nClConnAtt = 0;
    }
    if (ClSFlag.Op(FYes, bclb_Connect)) {
        ClSFlag.Op(FClear, bclb_Connect);
        ClSFlag.Op(FClear, bclb_ConnectingOk);
        if (worker != nullptr) {
            // A record without a port keeps the port the worker was created with.
            worker->SetTarget(prm.Host, prm.Port > 0 ? prm.Port : worker->Port());
        }
        if (FJournal.Enabled(kJournalIec5))
            JournalTime(kJournalIec5, "(iec5) sock.Open  Запуск соединения! prm.Host=" + prm.Host +
                                          " prm.Port=" + std::to_string(prm.Port) +
                                          flag.ToString() + ClSFlag.ToString());
        if (worker != nullptr && !worker->IsConnect()) worker->RequestConnect();
    }
    if (OPROS_KP_) {
        flag.Op(FSet, bsb_PROC_OPROS);
        OPROS_KP_ = false;
    }
    // A connection the station closed before this pass has nothing left to
    // start: the connect report is spent, and the next connect wants STARTDT anew.
    const bool linkUp = GetConnected();
    if (ClSFlag.Op(FYes, bclb_ConnectingOk)) {
        ClSFlag.Op(FClear, bclb_ConnectingOk);
        if (linkUp) {
            flag.Op(FSet, bsb_STARTDT_Want);
            if (FJournal.Enabled(kJournalIec5))
                JournalTime(kJournalIec5, "(iec5) Cоединение Ок! Host=" + prm.Host + "Port=" +
                                              std::to_string(prm.Port) + " Посылаем STARTDT_ACT" +
                                              flag.ToString() + ClSFlag.ToString());
        }
    }
    if (!linkUp || FLinkOnWorker) flag.Op(FClear, bsb_STARTDT_Want);  // the worker starts it
    if (flag.Op(FYes, bsb_STARTDT_Want)) {
        // Stays wanted until the transport takes the frame.
        if (SendUCommand1(U_STARTDT, UACT, Save_Obmen, nomer_socket)) {
            flag.Op(FClear, bsb_STARTDT_Want);
            flag.Op(FSet, bsb_STARTDT_Act);
        }
    }
    if (flag.Op(FYes, bsb_PROC_OPROS)) Opros();
    if (flag.Op(FYes, bsb_DoTESTFR)) OnTestFr();
    if (ClSFlag.Op(FYes, bclb_DisConnect)) {
        ClSFlag.Op(FClear, bclb_DisConnect);
        if (worker != nullptr && worker->IsConnect()) worker->RequestDisconnect();
    }
}

void T104Client::Opros() {
    if (flag.Op(FYes, bsb_STARTDT_Ok) && prOprosSend) {
        TIEC_ASDUt::CreateAsduInterrogation(FTypes, prm, FAsdu);
        bool bad = false;
        // Stays due until the window has room.
        if (!QueueAsdu(FAsdu, &bad) && !bad) return;
        if (FJournal.Enabled(kJournalIec5))
            JournalTime(kJournalIec5,
                        "(iec5) OprosKP: Адрес КП=" + std::to_string(prm.CommonAsduAddress));
    }
    flag.Op(FClear, bsb_PROC_OPROS);
}

bool T104Client::QueueAsdu(const TIEC_ASDUt& asdu, bool* bad) {
    *bad = false;
    if (FLinkOnWorker) {
        if (psock.oprosdevice2 == nullptr) return false;
        if (!FOrder.Create(asdu)) {
            *bad = true;
            return false;
        }
        const int32_t n = std::clamp(FOrder.lenData, 0, kApduSize);
        return psock.oprosdevice2->TryPutAsdu(
            std::string(reinterpret_cast<const char*>(FOrder.Data), static_cast<size_t>(n)));
    }
    if (s_APDUBuf.GetFull()) return false;
    std::unique_ptr<T104APDU> p = s_APDUBuf.TakeFree();
    if (!p->Create(asdu)) {
        *bad = true;
        return false;
    }
    return s_APDUBuf.Put1(std::move(p));
}

void T104Client::OnTestFr() {
    flag.Op(FClear, bsb_DoTESTFR);
    if (flag.Op(FYes, bsb_STARTDT_Act) && flag.Op(FNo, bsb_STARTDT_Ok))
        flag.Op(FSet, bsb_STARTDT_Want);
}

void T104Client::TuService1() {
    if (ElemTU.step1 == stuSendExecute) ElemTU.step1 = stuNone;
    if (ElemTU.Busy() && ElemTU.tmCommand.CheckExpire(ElemTU.AckTimeout, false)) {
        ElemTU.fl.Op(FSet, btue_TU_TimeOut1);
        ElemTU.Finish(tuo_TimedOut);
        if (Diag != nullptr) Diag->OnCommandTimedOut();
    }
    // A command that was sent cannot be confirmed over a connection that is gone.
    if (ElemTU.Busy() && ElemTU.step1 != stuInit && ElemTU.step1 != stuFormSelect &&
        !GetConnected())
        ElemTU.Finish(tuo_LinkLost);
    if (ElemTU.step1 == stuNone) return;
    ElemTU.ExecuteNextStep();
    if ((ElemTU.step1 == stuFormSelect || ElemTU.step1 == stuFormExecute1) && GetConnected()) {
        bool bad = false;
        if (!QueueAsdu(ElemTU.asdu, &bad)) {
            if (bad) ElemTU.Finish(tuo_Failed);
            return;  // no room yet: the next pass tries again
        }
        if (FJournal.Enabled(kJournalIec3))
            JournalTime(kJournalIec3, "(iec3) TU: Send" + flag.ToString() + ClSFlag.ToString());
        if (ElemTU.step1 == stuFormSelect) {
            ElemTU.step1 = stuSendSelect;
            ElemTU.fl.Op(FSet, btue_TU_SendSelect);
        } else {
            ElemTU.step1 = stuSendExecute;
            ElemTU.fl.Op(FSet, btue_TU_SendExecute);
            ElemTU.ExecuteQueued();
        }
    }
}

void T104Client::RaspakReceiveBufferAPDU(bool Save_Obmen, int nomer_socket) {
    const TAsduSinks sinks{FTags, FJournal, FClock};
    // The station's address, taken once for the whole queue.
    if (r_APDUBuf.GetEmpty()) return;
    const std::string host = psock.oprosdevice2 != nullptr ? psock.oprosdevice2->Host() : prm.Host;
    const int32_t port = psock.oprosdevice2 != nullptr ? psock.oprosdevice2->Port() : prm.Port;
    while (T104APDU* p = r_APDUBuf.GetToSend()) {
        if (!RaspakAPDU(*p, Save_Obmen, nomer_socket, FAsdu)) continue;
        ElemTU.CheckConfirmation(FAsdu);
        FAsdu.IP_address2 = host;
        FAsdu.IP_port3 = port;
        FAsdu.Nomer_sock = nomer_socket;
        FAsdu.ReceiveRaspak1(sinks);
    }
    r_APDUBuf.Reset(false);
}

void T104Client::DecodeIFrame(const uint8_t* apdu, int32_t length, const std::string& host,
                              int32_t port, int nomer_socket) {
    // The worker's link layer accepted the frame and checked that it holds its
    // ASDU header.
    if (length < 6) return;
    FAsdu.Create(FTypes, std::span<const uint8_t>(apdu, static_cast<size_t>(length)), prm,
                 length - 6, 6);
    ElemTU.CheckConfirmation(FAsdu);
    FAsdu.IP_address2 = host;
    FAsdu.IP_port3 = port;
    FAsdu.Nomer_sock = nomer_socket;
    FAsdu.ReceiveRaspak1(TAsduSinks{FTags, FJournal, FClock});
}

void T104Client::TakeBatch(const TMainBatch& batch, int nomer_socket) {
    for (const TJournalLine& line : batch.Journal) FJournal.Put(line.Flag, line.Text, line.Time);
    std::string host;
    int32_t port = prm.Port;
    bool addressTaken = false;
    const auto* octets = reinterpret_cast<const uint8_t*>(batch.Octets.data());
    for (const TBatchFrame& f : batch.Frames) {
        if (static_cast<size_t>(f.Offset) + f.Length > batch.Octets.size()) break;
        const uint8_t* apdu = octets + f.Offset;
        if (Diag) Diag->OnFrame(f.Dir, apdu, f.Length, f.UnackedOut);
        if (!f.Decode) continue;
        if (!addressTaken) {
            // The station's address, taken once for the whole batch.
            host = psock.oprosdevice2 != nullptr ? psock.oprosdevice2->Host() : prm.Host;
            port = psock.oprosdevice2 != nullptr ? psock.oprosdevice2->Port() : prm.Port;
            addressTaken = true;
        }
        DecodeIFrame(apdu, f.Length, host, port, nomer_socket);
    }
    if (Diag) {
        Diag->NoteWindow(batch.MaxUnackedIn);
        if (batch.T1Expired) Diag->OnT1Expired();
        if (batch.Reason != TDisconnectReason::None) Diag->NoteReason(batch.Reason);
    }
    // The link's state as the worker left it.
    if (batch.DataStarted && flag.Op(FNo, bsb_STARTDT_Ok)) tStartdtOk.Start();
    flag.Op(batch.DataStarted ? FSet : FClear, bsb_STARTDT_Ok);
    if (batch.InterrogationDue) flag.Op(FSet, bsb_PROC_OPROS);
    k = batch.UnackedOut;
}

}  // namespace telegate
