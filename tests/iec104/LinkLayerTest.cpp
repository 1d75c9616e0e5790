// The link layer: cutting APDUs out of the byte stream, U/S/I frames, the k and w
// windows, t1/t2/t3, sequence errors and the rules of the send window.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "LinkFixture.h"
#include "support/CodePage.h"

namespace telegate::testlink {
namespace {

// An I frame with N(S) = vs, N(R) = vr carrying the ASDU given in hex.
Bytes IFrame(int vs, int vr, const std::string& asduHex) {
    const Bytes asdu = Hex(asduHex);
    Bytes f;
    f.reserve(asdu.size() + 6);
    f.push_back(0x68);
    f.push_back(static_cast<uint8_t>(asdu.size() + 4));
    f.push_back(static_cast<uint8_t>((vs * 2) & 0xFF));
    f.push_back(static_cast<uint8_t>((vs * 2) >> 8));
    f.push_back(static_cast<uint8_t>((vr * 2) & 0xFF));
    f.push_back(static_cast<uint8_t>((vr * 2) >> 8));
    for (uint8_t o : asdu) f.push_back(o);
    return f;
}

// A single point, spontaneous, common address 3, object 100, value on.
const char* kSpAsdu = "01 01 03 00 03 00 64 00 00 01";
// The general interrogation the client sends with the default record.
const char* kGiFrame0 = "68 0E 00 00 00 00 64 01 06 00 03 00 00 00 00 14";

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The S frame acknowledging n frames, as hex text.
std::string SFrameHex(int n) {
    return ToHex(Chars(Bytes{0x68, 0x04, 0x01, 0x00, static_cast<uint8_t>((n * 2) & 0xFF),
                             static_cast<uint8_t>((n * 2) >> 8)}));
}

class LinkLayerTest : public LinkFixture {};

// ---------------------------------------------------------------------------------
// Cutting the byte stream

TEST_F(LinkLayerTest, TwoCompleteFramesAndThreeOctetsCarryTheTail) {
    MakeClient();
    StartData();
    const Bytes a = IFrame(0, 0, kSpAsdu), b = IFrame(1, 0, kSpAsdu), c = IFrame(2, 0, kSpAsdu);
    Bytes block = Concat({a, b});
    block.insert(block.end(), c.begin(), c.begin() + 3);
    ReceiveOnly(block);
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 2);
    EXPECT_EQ(client->CountReserv, 3);
    ReceiveOnly(Bytes(c.begin() + 3, c.end()));
    ASSERT_EQ(client->r_APDUBuf.GetIndAdd(), 3);
    const T104APDU* third = client->r_APDUBuf.GetItem(2);
    EXPECT_EQ(Bytes(third->Data, third->Data + third->lenData), c);
    EXPECT_EQ(client->CountReserv, 0);
    client->RaspakReceiveBufferAPDU(false, 0);
    EXPECT_EQ(client->Fvr, 3);
}

TEST_F(LinkLayerTest, EverySplitPointOfAStreamGivesTheSameFrames) {
    const Bytes stream = Concat({Hex("68 04 43 00 00 00"), IFrame(0, 0, kSpAsdu),
                                 Hex("68 04 01 00 00 00"), IFrame(1, 0, kSpAsdu)});
    for (size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 3) {
            MakeClient();
            StartData();
            ReceiveOnly(Bytes(stream.begin(), stream.begin() + cut1));
            ReceiveOnly(Bytes(stream.begin() + cut1, stream.begin() + cut2));
            ReceiveOnly(Bytes(stream.begin() + cut2, stream.end()));
            ASSERT_EQ(client->r_APDUBuf.GetIndAdd(), 4) << cut1 << "," << cut2;
            EXPECT_EQ(client->r_APDUBuf.GetItem(1)->lenData, 16);
            EXPECT_EQ(client->CountReserv, 0);
            client->RaspakReceiveBufferAPDU(false, 0);
            EXPECT_EQ(client->Fvr, 2);
            // The TESTFR activation was answered once.
            EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 83 00 00 00"});
        }
    }
}

TEST_F(LinkLayerTest, LoneStartOctetIsCarriedWhole) {
    MakeClient();
    ReceiveOnly(Hex("68"));
    EXPECT_EQ(client->CountReserv, 1);
    EXPECT_EQ(client->DataReserv[0], 0x68);
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 0);
    ReceiveOnly(Hex("04 43 00 00 00"));
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 1);
}

TEST_F(LinkLayerTest, WrongStartOctetDiscardsTheBlock) {
    MakeClient();
    StartData();
    ReceiveOnly(Concat({Hex("00"), Hex("68 04 43 00 00 00")}));
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 0);
    EXPECT_TRUE(HasLine("ERROR: 1-й байт APDU не равен 68H. Байт=00"));
    // The discarded rest may have held frames: the connection is started afresh
    // (and the new interrogation brings their values back) instead of losing them.
    EXPECT_TRUE(client->flag.Op(FYes, bsb_ERRSEQAPDU));
    Service();
    EXPECT_EQ(link->disconnectRequests, 1);
    // The next block is taken normally.
    ReceiveOnly(Hex("68 04 43 00 00 00"));
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 1);
}

TEST_F(LinkLayerTest, WrongStartOctetAfterGoodFrameKeepsTheGoodOne) {
    MakeClient();
    ReceiveOnly(Hex("68 04 43 00 00 00 55 04 43 00 00 00 68 04 43 00 00 00"));
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 1);
    EXPECT_TRUE(HasLine("ERROR: 1-й байт APDU не равен 68H. Байт=55"));
}

TEST_F(LinkLayerTest, LengthBelowFourIsRefusedWithoutReadingOn) {
    MakeClient();
    ReceiveOnly(Hex("68 02 43 00 68 04 43 00 00 00"));
    EXPECT_EQ(client->r_APDUBuf.GetIndAdd(), 0);
    EXPECT_TRUE(HasLine("ERROR: Длина APDU меньше 4. Длина=2"));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_ERRSEQAPDU));
    ReceiveOnly(Hex("68 00"));
    EXPECT_TRUE(HasLine("ERROR: Длина APDU меньше 4. Длина=0"));
    EXPECT_EQ(client->CountReserv, 0);
}

TEST_F(LinkLayerTest, BlockLongerThanTheWorkingBufferIsProcessedInPieces) {
    prm.kMax = 20000;  // receive queue of 20008 entries
    MakeClient();
    Bytes block;
    const int n = 12000;  // 72000 octets: the piece boundary falls inside a frame
    for (int i = 0; i < n; ++i) {
        const Bytes f = Hex("68 04 01 00 00 00");
        block.insert(block.end(), f.begin(), f.end());
    }
    ASSERT_GT(block.size(), static_cast<size_t>(kReceiveWorkSize));
    ReceiveOnly(block);
    ASSERT_EQ(client->r_APDUBuf.GetIndAdd(), n);
    for (int i = 0; i < n; ++i) {
        const T104APDU* p = client->r_APDUBuf.GetItem(i);
        ASSERT_EQ(p->lenData, 6);
        ASSERT_EQ(p->Data[0], 0x68);
        ASSERT_EQ(p->Data[2], 0x01);
    }
    EXPECT_EQ(client->CountReserv, 0);
}

// A block with more frames than the receive queue holds (kMax + 8) is decoded as
// the queue fills: nothing is lost, the link is not restarted, and the S frame
// leaves at every w-th I frame in the middle of the block.
TEST_F(LinkLayerTest, BurstLongerThanTheReceiveQueueIsDecodedWhole) {
    // 30 floats in one ASDU: 252 octets per APDU, so 95 of them make one segment
    // of 23,940 octets, as a station with a large k sends during interrogation.
    std::string packed = "0D 1E 14 00 03 00";
    for (int i = 0; i < 30; ++i) packed += " 01 00 00 00 00 80 3F 00";
    struct TCase {
        int32_t kMax;
        int frames;
        const char* asdu;
    };
    const TCase cases[] = {{12, 21, kSpAsdu}, {12, 95, packed.c_str()}, {1, 40, kSpAsdu}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.kMax) + "/" + std::to_string(c.frames));
        prm.kMax = c.kMax;
        prm.wMax = 8;
        MakeClient();
        StartData();
        Bytes block;
        for (int i = 0; i < c.frames; ++i) {
            const Bytes f = IFrame(i, 0, c.asdu);
            block.insert(block.end(), f.begin(), f.end());
        }
        lines.clear();
        Feed(block);
        EXPECT_EQ(client->Fvr, c.frames);
        std::vector<std::string> expected;
        for (int n = 8; n <= c.frames; n += 8) expected.push_back(SFrameHex(n));
        EXPECT_EQ(link->HexFrames(), expected);
        EXPECT_EQ(CountPrefix("Error"), 0);
        Service();
        EXPECT_EQ(link->disconnectRequests, 0);
        EXPECT_TRUE(client->flag.Op(FNo, bsb_ERRSEQAPDU));
    }
}

TEST_F(LinkLayerTest, ReceivedFrameJournalLine) {
    MakeClient();
    ReceiveOnly(Hex("68 04 43 00 00 00"));
    EXPECT_TRUE(HasLine(">(iec0) \"\"127.0.0.1=2404\"\"  Receive: 68 04 43 00 00 00 "));
}

// ---------------------------------------------------------------------------------
// U frames

TEST_F(LinkLayerTest, StartdtAfterConnectAndItsConfirmation) {
    MakeClient();
    client->DoOnConnect();
    EXPECT_TRUE(HasLine("(iec5) DoOnConnect (сбросить все счетчики,STARTDT)(0000h)"));
    client->Connecting(false, 0);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 07 00 00 00"});
    EXPECT_TRUE(HasLine("<(iec5) Send_U:68 04 07 00 00 00 (0008h)"));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_STARTDT_Act));
    Feed("68 04 0B 00 00 00");
    EXPECT_TRUE(client->flag.Op(FYes, bsb_STARTDT_Ok));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_PROC_OPROS));
    EXPECT_TRUE(client->flag.Op(FNo, bsb_STARTDT_Act));
    EXPECT_TRUE(
        HasLine(">(iec5) (U_STARTDT_CON)(127.0.0.1 Port=2404): 68 04 0B 00 00 00  "
                "уст.фл. STARTDT_Ok, OPROS(0024h)"));
}

TEST_F(LinkLayerTest, StartdtActivationFromStationIsConfirmed) {
    MakeClient();
    client->DoOnConnect();
    Feed("68 04 07 00 00 00");
    EXPECT_EQ(link->LastHex(), "68 04 0B 00 00 00");
    EXPECT_TRUE(client->flag.Op(FYes, bsb_STARTDT_Ok));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_PROC_OPROS));
    EXPECT_TRUE(
        HasLine(">(iec5) Receive(U_STARTDT_ACT)(127.0.0.1 Port=2404): 68 04 07 00 00 00 (0024h)"));
}

TEST_F(LinkLayerTest, StartdtActivationNotTakenLeavesDataTransferStopped) {
    MakeClient();
    client->DoOnConnect();
    link->slot = "busy";
    Feed("68 04 07 00 00 00");
    EXPECT_TRUE(client->flag.Op(FNo, bsb_STARTDT_Ok));
    EXPECT_TRUE(HasLine("<(iec5) Error Send_U:68 04 0B 00 00 00 (0000h)"));
}

TEST_F(LinkLayerTest, StopdtAndTestfrFrames) {
    MakeClient();
    StartData();
    Feed("68 04 13 00 00 00");
    EXPECT_EQ(link->LastHex(), "68 04 23 00 00 00");
    EXPECT_TRUE(client->flag.Op(FNo, bsb_STARTDT_Ok));
    EXPECT_TRUE(
        HasLine(">(iec5) Receive(U_STOPDT_ACT)(127.0.0.1 Port=2404):68 04 13 00 00 00  сбросить "
                "STARTDT_Ok(0000h)"));
    client->flag.Op(FSet, bsb_STARTDT_Ok);
    Feed("68 04 23 00 00 00");
    EXPECT_TRUE(client->flag.Op(FNo, bsb_STARTDT_Ok));
    EXPECT_TRUE(
        HasLine(">(iec5) Receive(U_STOPDT_CON)(127.0.0.1 Port=2404): 68 04 23 00 00 00  сбросить "
                "STARTDT_Ok(0000h)"));
    Feed("68 04 43 00 00 00");
    EXPECT_EQ(link->LastHex(), "68 04 83 00 00 00");
    EXPECT_TRUE(HasLine("<(iec5) Send_U:68 04 83 00 00 00 (0080h)"));
    EXPECT_TRUE(
        HasLine(">(iec5) Receive(U_TESTFR_ACT)(127.0.0.1 Port=2404): 68 04 43 00 00 00 (0080h)"));
    const size_t sent = link->frames.size();
    Feed("68 04 83 00 00 00");
    EXPECT_EQ(link->frames.size(), sent);
    EXPECT_TRUE(
        HasLine(">(iec5) Receive(U_TESTFR_CON)(127.0.0.1 Port=2404): 68 04 83 00 00 00 (0080h)"));
}

TEST_F(LinkLayerTest, MalformedUFramesAreIgnored) {
    MakeClient();
    StartData();
    Feed("68 04 0B 00 00 01");
    EXPECT_TRUE(HasLine("Формат U ошибка в длине или байты 3,4,5<>0"));
    Feed("68 04 0F 00 00 00");
    EXPECT_TRUE(HasLine("Одновременно несколько функций? actcon=0C"));
    Feed("68 05 43 00 00 00 00");
    EXPECT_EQ(CountPrefix("Формат U ошибка"), 2);
    EXPECT_TRUE(link->frames.empty());
}

TEST_F(LinkLayerTest, UnansweredStartdtIsSentAgainAfterTestfr) {
    MakeClient();
    client->DoOnConnect();
    client->Connecting(false, 0);
    ASSERT_EQ(link->frames.size(), 1u);
    clock.Advance(prm.t3 + 1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->LastHex(), "68 04 43 00 00 00");
    EXPECT_TRUE(HasLine("(iec5) t3_(вышел таймаут! Послать проверку связи.)"));
    client->Connecting(false, 0);  // OnTestFr: wanted again
    client->Connecting(false, 0);
    EXPECT_EQ(link->LastHex(), "68 04 07 00 00 00");
    EXPECT_EQ(link->frames.size(), 3u);
}

// ---------------------------------------------------------------------------------
// I frames and the receive sequence

TEST_F(LinkLayerTest, IFrameBeforeStartdtIsRefused) {
    MakeClient();
    client->DoOnConnect();
    Feed(IFrame(0, 0, kSpAsdu));
    EXPECT_EQ(client->Fvr, 0);
    EXPECT_TRUE(HasLine("!!! Данные не принимаем т.к. не было STARTDT!"));
    clock.Advance(prm.t2 + 1);
    client->ConnectService(false, 0);
    // No acknowledgement.
    for (const auto& f : link->HexFrames()) EXPECT_NE(f.substr(0, 8), "68 04 01");
}

TEST_F(LinkLayerTest, IFrameInSequenceIsCountedAndJournaled) {
    MakeClient();
    StartData();
    Feed(IFrame(0, 0, kSpAsdu));
    EXPECT_EQ(client->Fvr, 1);
    EXPECT_EQ(client->GetW(), 1);
    bool found = false;
    for (const auto& l : Lines())
        if (l.rfind(">(iec0) \"\"127.0.0.1=2404\"\" >I (0,0) (0,1,0,k=0) TypeIdent=(1)", 0) == 0)
            found = true;
    EXPECT_TRUE(found);
}

TEST_F(LinkLayerTest, SequenceGapDropsTheConnectionAtTheNextPass) {
    MakeClient();
    StartData();
    Feed(IFrame(0, 0, kSpAsdu));
    Feed(IFrame(3, 0, kSpAsdu));  // Fvr is 1: two frames missing
    EXPECT_EQ(client->Fvr, 1);
    EXPECT_TRUE(client->flag.Op(FYes, bsb_ERRSEQAPDU));
    EXPECT_TRUE(
        HasLine("Error Нарушена последовательность APDU_I. vr=2 меньше vsSecond=6 Разрыв соедин!"));
    // The ASDU was still decoded: it produced its journal line.
    EXPECT_EQ(CountPrefix(">(iec0) \"\"127.0.0.1=2404\"\" >I (3,0)"), 1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
    EXPECT_TRUE(client->flag.Op(FNo, bsb_ERRSEQAPDU));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_ClearValid));
    EXPECT_TRUE(HasLine("(iec5) !!! Вызвана процедура StopConnect()! ClSFlag=(0060h)"));
    EXPECT_TRUE(HasLine("(iec5) DoOnDisconnect():127.0.0.1 Port=2404(сбросить STARTDT)(0100h)"));
}

TEST_F(LinkLayerTest, RepeatedFrameChangesNoCounter) {
    MakeClient();
    StartData();
    Feed(IFrame(0, 0, kSpAsdu));
    Feed(IFrame(1, 0, kSpAsdu));
    Feed(IFrame(1, 0, kSpAsdu));  // N(S) = Fvr - 1
    EXPECT_EQ(client->Fvr, 2);
    EXPECT_TRUE(client->flag.Op(FNo, bsb_ERRSEQAPDU));
    EXPECT_EQ(CountPrefix(">(iec0) \"\"127.0.0.1=2404\"\" >I (1,0)"), 2);
}

TEST_F(LinkLayerTest, IFrameTooShortForItsHeaderIsRejected) {
    MakeClient();
    StartData();
    Feed("68 04 00 00 00 00");
    Feed("68 07 00 00 00 00 01 01 03");
    EXPECT_EQ(client->Fvr, 0);
    EXPECT_TRUE(HasLine("Error Короткий APDU_I. Длина ASDU=0 Разрыв соедин!"));
    EXPECT_TRUE(HasLine("Error Короткий APDU_I. Длина ASDU=3 Разрыв соедин!"));
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
}

TEST_F(LinkLayerTest, WindowWSendsSFrameAtTheEighthFrame) {
    MakeClient();
    StartData();
    for (int i = 0; i < 7; ++i) Feed(IFrame(i, 0, kSpAsdu));
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    Feed(IFrame(7, 0, kSpAsdu));
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 01 00 10 00"});
    EXPECT_TRUE(HasLine("(iec5) Подтверждение приема т.к.(GetW>=wMax)"));
    EXPECT_TRUE(HasLine("<(iec5) Send_S: 68 04 01 00 10 00 (0020h)"));
    EXPECT_EQ(client->FVrAck, 8);
    EXPECT_EQ(client->GetW(), 0);
}

TEST_F(LinkLayerTest, TimerT2AcknowledgesASingleFrame) {
    MakeClient();
    StartData();
    Feed(IFrame(0, 0, kSpAsdu));
    clock.Advance(prm.t2);
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    clock.Advance(1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 01 00 02 00"});
    EXPECT_TRUE(HasLine("(iec5) Подтверждение приема т.к.(вышел таймаут t2!"));
    clock.Advance(prm.t2 + 1);
    client->ConnectService(false, 0);
    int sFrames = 0;
    for (const auto& f : link->HexFrames()) sFrames += f.rfind("68 04 01", 0) == 0 ? 1 : 0;
    EXPECT_EQ(sFrames, 1);
}

// t2 runs from the first unacknowledged frame: a station sending one frame every
// t2/2 is acknowledged t2 after the first, not t2 after the last.
TEST_F(LinkLayerTest, TimerT2RunsFromTheFirstUnacknowledgedFrame) {
    MakeClient();
    StartData();
    Feed(IFrame(0, 0, kSpAsdu));
    clock.Advance(prm.t2 / 2);
    Feed(IFrame(1, 0, kSpAsdu));
    clock.Advance(prm.t2 - prm.t2 / 2);
    Service();
    EXPECT_TRUE(link->frames.empty());
    clock.Advance(1);
    Service();
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{SFrameHex(2)});
    // The next frame starts t2 afresh.
    clock.Advance(prm.t2 / 2);
    Feed(IFrame(2, 0, kSpAsdu));
    clock.Advance(prm.t2 / 2);
    Feed(IFrame(3, 0, kSpAsdu));
    clock.Advance(prm.t2 - prm.t2 / 2);
    Service();
    EXPECT_EQ(link->frames.size(), 1u);
    clock.Advance(1);
    Service();
    EXPECT_EQ(link->HexFrames(), (std::vector<std::string>{SFrameHex(2), SFrameHex(4)}));
}

// A TESTFR or STOPDT confirmation that finds the send slot busy stays due and goes
// out, once, when the slot is free again.
TEST_F(LinkLayerTest, ConfirmationRefusedByABusySlotIsSentLater) {
    const std::pair<const char*, const char*> cases[] = {
        {"68 04 43 00 00 00", "68 04 83 00 00 00"}, {"68 04 13 00 00 00", "68 04 23 00 00 00"}};
    for (const auto& [act, con] : cases) {
        SCOPED_TRACE(act);
        MakeClient();
        StartData();
        link->autoTake = false;
        link->slot = "busy";
        Feed(act);
        link->slot.clear();  // the worker wrote the other frame
        Service();
        link->Drain();
        Service();
        link->Drain();
        EXPECT_EQ(link->HexFrames(), std::vector<std::string>{con});
    }
}

TEST_F(LinkLayerTest, TimerT3SendsTestfrAndEveryBlockRestartsIt) {
    MakeClient();
    StartData();
    clock.Advance(prm.t3 - 5);
    ReceiveOnly(Hex("68 04 83 00 00 00"));
    clock.Advance(10);
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    clock.Advance(prm.t3 - 10);
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    clock.Advance(1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 43 00 00 00"});
    client->ConnectService(false, 0);
    EXPECT_EQ(link->frames.size(), 1u);  // restarted after sending
    clock.Advance(prm.t3 + 1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->frames.size(), 2u);
}

TEST_F(LinkLayerTest, STFrameJournalLine) {
    MakeClient();
    StartData();
    client->flag.Op(FSet, bsb_PROC_OPROS);
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    ASSERT_EQ(link->LastHex(), kGiFrame0);
    EXPECT_TRUE(
        HasLine("<(iec0)<I (0,0) (1,0,0,k=1) 68 0E 00 00 00 00 64 01 06 00 03 00 00 00 00 14 "));
    Feed("68 04 01 00 02 00");
    EXPECT_TRUE(HasLine(">(iec5) >S (1) (1,0,1,k=0) S!!!: 68 04 01 00 02 00 (0020h)"));
    EXPECT_EQ(client->k, 0);
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
}

// ---------------------------------------------------------------------------------
// The send window

TEST_F(LinkLayerTest, GeneralInterrogationAfterStartdt) {
    MakeClient();
    client->DoOnConnect();
    client->Connecting(false, 0);
    Feed("68 04 0B 00 00 00");
    client->Connecting(false, 0);
    EXPECT_TRUE(HasLine("(iec5) OprosKP: Адрес КП=3"));
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(), (std::vector<std::string>{"68 04 07 00 00 00", kGiFrame0}));
    EXPECT_TRUE(client->flag.Op(FNo, bsb_PROC_OPROS));
}

TEST_F(LinkLayerTest, AckReleasesExactlyTheAcknowledgedFrames) {
    prm.kMax = 3;
    MakeClient();
    StartData();
    for (int i = 0; i < 3; ++i) {
        client->OprosDue();
        client->Connecting(false, 0);
    }
    EXPECT_TRUE(client->s_APDUBuf.GetFull());
    client->ConnectService(false, 0);
    EXPECT_EQ(client->k, 3);
    EXPECT_EQ(link->frames.size(), 3u);
    Feed("68 04 01 00 02 00");  // N(R) = 1
    EXPECT_EQ(client->k, 2);
    EXPECT_EQ(client->s_APDUBuf.GetIndAdd(), 2);
    EXPECT_EQ(client->s_APDUBuf.GetIndSend(), 2);
    // The remaining frames are those with N(S) 1 and 2.
    EXPECT_EQ(client->s_APDUBuf.GetItem(0)->Data[2], 0x02);
    EXPECT_EQ(client->s_APDUBuf.GetItem(1)->Data[2], 0x04);
    Feed(IFrame(0, 3, kSpAsdu));  // an I frame acknowledges the rest
    EXPECT_EQ(client->k, 0);
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
}

TEST_F(LinkLayerTest, WindowKFullKeepsTheInterrogationDue) {
    prm.kMax = 1;
    MakeClient();
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);
    client->OprosDue();
    client->Connecting(false, 0);
    EXPECT_TRUE(client->flag.Op(FYes, bsb_PROC_OPROS));
    client->ConnectService(false, 0);
    EXPECT_EQ(link->frames.size(), 1u);
    // k reached kMax: nothing more goes out until the acknowledgement.
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->frames.size(), 1u);
    Feed("68 04 01 00 02 00");
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    ASSERT_EQ(link->frames.size(), 2u);
    EXPECT_EQ(link->LastHex(), "68 0E 02 00 00 00 64 01 06 00 03 00 00 00 00 14");
}

TEST_F(LinkLayerTest, AckOfAFrameNeverSentIsAProtocolError) {
    MakeClient();
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    ASSERT_EQ(client->k, 1);
    Feed("68 04 01 00 0A 00");  // N(R) = 5, only one frame sent
    EXPECT_TRUE(
        HasLine("Error Подтверждение неотправленного APDU_I. vr=5 Ack=0 vs=1 Разрыв соедин!"));
    EXPECT_EQ(client->Ack, 0);
    EXPECT_EQ(client->k, 1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
    EXPECT_EQ(link->frames.size(), 1u);
}

TEST_F(LinkLayerTest, AckBehindTheLastAckIsAProtocolError) {
    MakeClient();
    StartData();
    for (int i = 0; i < 2; ++i) {
        client->OprosDue();
        client->Connecting(false, 0);
        client->ConnectService(false, 0);
    }
    Feed("68 04 01 00 04 00");  // N(R) = 2
    ASSERT_EQ(client->Ack, 2);
    Feed("68 04 01 00 02 00");  // N(R) = 1: backwards
    EXPECT_TRUE(client->flag.Op(FYes, bsb_ERRSEQAPDU));
    EXPECT_EQ(client->Ack, 2);
}

TEST_F(LinkLayerTest, FrameRefusedByTheTransportGoesOutNextPassWithTheNextNumber) {
    MakeClient();
    StartData();
    link->autoTake = false;
    client->OprosDue();
    client->Connecting(false, 0);
    client->OprosDue();
    client->Connecting(false, 0);
    ASSERT_EQ(client->s_APDUBuf.GetIndAdd(), 2);
    client->ConnectService(false, 0);
    // The first went into the slot; the second found it busy.
    EXPECT_EQ(client->k, 1);
    EXPECT_EQ(client->Fvs, 1);
    EXPECT_EQ(client->s_APDUBuf.GetIndSend(), 1);
    EXPECT_TRUE(HasPrefix("<(iec0)Error Send I:(1,0,0,k=1) 68 0E 02 00"));
    link->Drain();
    client->ConnectService(false, 0);
    link->Drain();
    EXPECT_EQ(
        link->HexFrames(),
        (std::vector<std::string>{kGiFrame0, "68 0E 02 00 00 00 64 01 06 00 03 00 00 00 00 14"}));
    // Nothing more goes out, not even after t1: each frame was sent exactly once.
    client->ConnectService(false, 0);
    link->Drain();
    EXPECT_EQ(link->frames.size(), 2u);
    Feed("68 04 01 00 04 00");
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
    EXPECT_TRUE(client->flag.Op(FNo, bsb_ERRSEQAPDU));
}

TEST_F(LinkLayerTest, IFramesWaitForDataTransfer) {
    MakeClient();
    client->DoOnConnect();
    // Queued before STARTDT is confirmed (as a command may be).
    std::unique_ptr<T104APDU> p = client->s_APDUBuf.TakeFree();
    TIEC_ASDUt asdu;
    TIEC_ASDUt::CreateAsduInterrogation(types, prm, asdu);
    ASSERT_TRUE(p->Create(asdu));
    client->s_APDUBuf.Put1(std::move(p));
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    client->flag.Op(FSet, bsb_STARTDT_Ok);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{kGiFrame0});
}

TEST_F(LinkLayerTest, TimerT1ClosesTheConnectionInsteadOfRepeating) {
    MakeClient();
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    ASSERT_EQ(link->frames.size(), 1u);
    clock.Advance(prm.t1);
    Feed("68 04 83 00 00 00");  // traffic does not stop t1
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 0);
    clock.Advance(1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
    EXPECT_TRUE(HasLine("(iec5) t1(вышел таймаут! Разрыв соединения)"));
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
    EXPECT_EQ(client->k, 0);
    clock.Advance(prm.t1 * 2);
    client->ConnectService(false, 0);
    int iFrames = 0;
    for (const auto& f : link->HexFrames()) iFrames += f.rfind("68 0E", 0) == 0 ? 1 : 0;
    EXPECT_EQ(iFrames, 1);  // the frame was never repeated
}

TEST_F(LinkLayerTest, TimerT1RunsFromTheOldestUnacknowledgedFrame) {
    prm.kMax = 2;
    MakeClient();
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);  // frame 0 at T
    clock.Advance(5000);
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);  // frame 1 at T + 5000
    clock.Advance(5000);
    Feed("68 04 01 00 02 00");     // frame 0 acknowledged at T + 10000
    clock.Advance(prm.t1 - 5000);  // exactly t1 after frame 1 was sent
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 0);
    clock.Advance(1);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
}

TEST_F(LinkLayerTest, DisconnectKeepsTheWindowCountConsistent) {
    prm.kMax = 1;
    MakeClient();
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    ASSERT_EQ(client->k, 1);  // one frame out, not acknowledged
    client->DoOnDisconnect();
    // The emptied window holds nothing unacknowledged: k and Ack agree.
    EXPECT_EQ(client->k, 0);
    EXPECT_EQ(SeqDistance(client->Fvs, client->Ack), 0);
    // Frames before the next connect stay within the window, and an acknowledgement
    // of them releases exactly them (found by fuzzing: k used to exceed the window).
    client->flag.Op(FSet, bsb_STARTDT_Ok);
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    ASSERT_EQ(client->k, 1);    // the interrogation went out as the only frame in the window
    Feed("68 04 01 00 04 00");  // N(R) = 2
    EXPECT_EQ(client->k, 0);
    EXPECT_FALSE(client->flag.Op(FYes, bsb_ERRSEQAPDU));
}

TEST_F(LinkLayerTest, ReconnectStartsAllCountersFromZero) {
    MakeClient();
    StartData();
    for (int i = 0; i < 3; ++i) Feed(IFrame(i, 0, kSpAsdu));
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    Feed("68 04 01 00 02 00");
    ASSERT_EQ(client->Ack, 1);
    ReceiveOnly(Hex("68 04"));
    client->flag.Op(FSet, bsb_CallDoDisconnect);
    client->ConnectService(false, 0);
    client->DoOnConnect();
    EXPECT_EQ(client->Fvs, 0);
    EXPECT_EQ(client->Fvr, 0);
    EXPECT_EQ(client->Ack, 0);
    EXPECT_EQ(client->FVrAck, 0);
    EXPECT_EQ(client->k, 0);
    EXPECT_EQ(client->CountReserv, 0);
    EXPECT_EQ(client->flag.fln, 0);
}

TEST_F(LinkLayerTest, SendICommandReportsABadLength) {
    MakeClient();
    StartData();
    T104APDU empty;
    empty.lenData = 0;
    client->SendICommand(empty, false, 0);
    EXPECT_TRUE(HasLine("++++++++++++ ERROR+++ LenAPDU  in SendICommand()"));
}

TEST_F(LinkLayerTest, JournalFragments) {
    EXPECT_EQ(TSubj104::str_vsvrCmd('<', 'I', 5, 7), "<I (5,7) ");
    EXPECT_EQ(TSubj104::str_vsvrCmd('>', 'S', 0, 9), ">S (9) ");
    MakeClient();
    client->Fvs = 4;
    client->Fvr = 2;
    client->Ack = 3;
    client->k = 1;
    EXPECT_EQ(client->str_vsvrCnt(), "(4,2,3,k=1) ");
}

TEST_F(LinkLayerTest, FilteredJournalBuildsNoLines) {
    journal.MBufFlag = 0;
    MakeClient();
    StartData();
    Feed(IFrame(0, 0, kSpAsdu));
    clock.Advance(prm.t2 + 1);
    client->ConnectService(false, 0);
    EXPECT_TRUE(Lines().empty());
}

// ---------------------------------------------------------------------------------
// Trace file

std::string ReadCp1251(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Cp1251ToUtf8(raw);
}

TEST_F(LinkLayerTest, TraceLinesOfTheSocketFile) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telegate-link-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const std::filesystem::path dir(tmpl);
    traceDir = dir.string();
    MakeClient();
    client->DoOnConnect();
    Feed(IFrame(0, 0, kSpAsdu), true);  // refused before STARTDT
    client->Connecting(true, 0);
    Feed("68 04 0B 00 00 00", true);
    client->Connecting(true, 0);
    client->ConnectService(true, 0);
    Feed(IFrame(2, 1, kSpAsdu), true);  // gap
    Feed("00 01", true);
    const std::string t = ReadCp1251(dir / "Socket0.txt");
    EXPECT_NE(t.find("From KP "), std::string::npos);
    EXPECT_NE(t.find("  Count =6\r\n"), std::string::npos);
    EXPECT_NE(t.find(" Data >         68 04 0B 00 00 00   \"\"127.0.0.1=2404\"\" \r\n"),
              std::string::npos);
    EXPECT_NE(t.find("Не буду принимать данные. Не было STARTDT\r\n"), std::string::npos);
    EXPECT_NE(t.find("То KP "), std::string::npos);
    EXPECT_NE(t.find("   68 04 07 00 00 00 \r\n"), std::string::npos);
    EXPECT_NE(t.find("Опрос КП\r\n"), std::string::npos);
    EXPECT_NE(t.find("Error Нарушена последовательность APDU_I. vr=0 меньше vsSecond=4 Разрыв "
                     "соедин!\r\n"),
              std::string::npos);
    EXPECT_NE(t.find("ERROR: 1-й байт APDU не равен 68H. Байт=00\r\nData "), std::string::npos);
    EXPECT_NE(t.find(" 00 01   Count =2\r\n"), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace telegate::testlink
