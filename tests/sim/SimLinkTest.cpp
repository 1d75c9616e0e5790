#include <gtest/gtest.h>

#include <random>

#include "SimLink.h"
#include "support/Clock.h"

namespace telegate::sim {
namespace {

TBytes B(std::initializer_list<int> v) {
    TBytes r;
    for (int x : v) r.push_back(static_cast<uint8_t>(x));
    return r;
}

class TRecordingLog : public ISimLog {
  public:
    void Put(ELineKind kind, const std::string& line) override {
        if (kind == ELineKind::Event) events.push_back(line);
    }
    bool Wants(ELineKind kind) const override { return kind == ELineKind::Event; }
    bool Has(const std::string& part) const {
        for (const auto& e : events)
            if (e.find(part) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> events;
};

// A link to a station with two single points (IOA 1, 2) and two floats (IOA 3, 4) at
// common address 1, with the frames it sends split out.
class SimLinkTest : public ::testing::Test {
  protected:
    void Make(TSimLinkParams p = {}) {
        station = MakeGeneratedStation(2, 1);
        station.onChange = [this](size_t i) { link->QueueChange(i); };
        link = std::make_unique<TSimLink>(station, p, clock, log, "2404");
    }
    void Send(const TBytes& b) { link->OnBytes(b.data(), b.size()); }
    void SendI(const TBytes& asdu) {
        Send(MakeIFrame(masterVs, masterVr, asdu));
        masterVs = SeqNext(masterVs);
    }
    void Start() {
        Send(MakeUFrame(kStartdtAct));
        link->Service();
        ASSERT_EQ(Take(), std::vector<TBytes>{MakeUFrame(kStartdtCon)});
    }
    // Frames sent since the last call; I frames advance the master's receive count.
    std::vector<TBytes> Take() {
        std::vector<TBytes> frames;
        TFrameReader r;
        const TBytes& out = link->Output();
        r.Feed(out.data(), out.size());
        TBytes f;
        while (r.Next(f) == TFrameReader::EResult::Frame) {
            TApci c;
            if (ParseApci(f.data(), f.size(), c) && c.kind == EFrameKind::I)
                masterVr = SeqNext(c.ns);
            frames.push_back(f);
        }
        link->Consume(out.size());
        return frames;
    }
    static TBytes Asdu(const TBytes& frame) { return TBytes(frame.begin() + 6, frame.end()); }
    static TBytes Gi(uint8_t cot = kCotActivation, uint16_t ca = 1, uint8_t qoi = 20) {
        return B({0x64, 0x01, cot, 0x00, ca & 0xFF, ca >> 8, 0x00, 0x00, 0x00, qoi});
    }
    static TBytes Sc(uint32_t ioa, uint8_t sco, uint8_t cot = kCotActivation) {
        return B({0x2D, 0x01, cot, 0x00, 0x01, 0x00, static_cast<int>(ioa & 0xFF),
                  static_cast<int>((ioa >> 8) & 0xFF), static_cast<int>(ioa >> 16), sco});
    }
    static TBytes Sp(uint32_t ioa) {  // a monitoring ASDU from the master: ignored, no reply
        return B({0x01, 0x01, 0x03, 0x00, 0x01, 0x00, static_cast<int>(ioa), 0x00, 0x00, 0x01});
    }

    TManualClock clock;
    TRecordingLog log;
    TSimStation station;
    std::unique_ptr<TSimLink> link;
    uint16_t masterVs = 0;
    uint16_t masterVr = 0;
};

TEST_F(SimLinkTest, NothingIsSentBeforeStartdtAndIFramesBeforeItCloseTheLink) {
    TSimLinkParams p;
    p.rate = 1000;
    Make(p);
    clock.Advance(1000);
    link->Service();
    EXPECT_TRUE(link->Output().empty());
    SendI(Gi());
    EXPECT_TRUE(link->WantsClose());
    EXPECT_TRUE(log.Has("error 2404 I frame before STARTDT"));
}

TEST_F(SimLinkTest, TestfrAndStopdtAreConfirmed) {
    Make();
    Send(MakeUFrame(kTestfrAct));
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeUFrame(kTestfrCon)});
    Start();
    Send(MakeUFrame(kStopdtAct));
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeUFrame(kStopdtCon)});
    EXPECT_FALSE(link->Started());
}

TEST_F(SimLinkTest, StopdtStopsSpontaneousDataAndEndOfInitComesOnce) {
    TSimLinkParams p;
    p.rate = 100;
    p.endOfInit = true;
    Make(p);
    Send(MakeUFrame(kStartdtAct));
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], MakeUFrame(kStartdtCon));
    EXPECT_EQ(Asdu(f[1]), B({0x46, 0x01, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    Send(MakeSFrame(1));
    Send(MakeUFrame(kStopdtAct));
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeUFrame(kStopdtCon)});
    clock.Advance(1000);
    link->Service();
    EXPECT_TRUE(Take().empty());
    Start();
    clock.Advance(20);
    link->Service();
    f = Take();
    ASSERT_EQ(f.size(), 2u);  // changes again, and no second end of initialisation
    EXPECT_EQ(Asdu(f[0])[0], 1);
    EXPECT_EQ(Asdu(f[1])[0], 13);
}

TEST_F(SimLinkTest, GeneralInterrogationAnswerSequence) {
    Make();
    Start();
    SendI(Gi());
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], B({0x68, 0x0E, 0x00, 0x00, 0x02, 0x00, 0x64, 0x01, 0x07, 0x00, 0x01, 0x00, 0x00,
                       0x00, 0x00, 0x14}));
    EXPECT_EQ(f[1], B({0x68, 0x12, 0x02, 0x00, 0x02, 0x00, 0x01, 0x02, 0x14, 0x00,
                       0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));
    // Floats 0.0 and 10.0 at 3 and 4.
    EXPECT_EQ(f[2], B({0x68, 0x1A, 0x04, 0x00, 0x02, 0x00, 0x0D, 0x02, 0x14, 0x00,
                       0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x04, 0x00, 0x00, 0x00, 0x00, 0x20, 0x41, 0x00}));
    EXPECT_EQ(f[3], B({0x68, 0x0E, 0x06, 0x00, 0x02, 0x00, 0x64, 0x01, 0x0A, 0x00, 0x01, 0x00, 0x00,
                       0x00, 0x00, 0x14}));
    EXPECT_TRUE(log.Has("interrogation 2404 ca=1 qoi=20 objects=4"));
}

TEST_F(SimLinkTest, InterrogationOfUnknownAddressOrBadQualifierIsRefused) {
    Make();
    Start();
    SendI(Gi(kCotActivation, 7));
    SendI(Gi(kCotActivation, 1, 99));
    SendI(Gi(kCotSpontaneous));
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(Asdu(f[0])[2], kCotUnknownCommonAddress | kCotNegative);
    EXPECT_EQ(Asdu(f[1])[2], kCotActCon | kCotNegative);
    EXPECT_EQ(Asdu(f[2])[2], kCotUnknownCause | kCotNegative);
}

TEST_F(SimLinkTest, BroadcastInterrogationAnswersEveryPoint) {
    Make();
    Start();
    SendI(Gi(kCotActivation, 0xFFFF));
    link->Service();
    EXPECT_EQ(Take().size(), 4u);
}

TEST_F(SimLinkTest, SendWindowStopsAtKUntilAcknowledged) {
    TSimLinkParams p;
    p.k = 3;
    Make(p);
    Start();
    link->AddBurst(5);
    link->Service();
    EXPECT_EQ(Take().size(), 3u);
    link->Service();
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(link->Unacknowledged(), 3u);
    Send(MakeSFrame(2));  // frames 0 and 1
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 2u);
    TApci c;
    ASSERT_TRUE(ParseApci(f[1].data(), f[1].size(), c));
    EXPECT_EQ(c.ns, 4);
    EXPECT_EQ(link->SpontaneousSent(), 5);
}

TEST_F(SimLinkTest, AcknowledgementOutsideTheWindowClosesTheLink) {
    Make();
    Start();
    link->AddBurst(2);
    link->Service();
    Take();
    Send(MakeSFrame(3));  // only 0 and 1 were sent
    EXPECT_TRUE(link->WantsClose());
    EXPECT_TRUE(log.Has("bad N(R)=3"));
}

TEST_F(SimLinkTest, ReceivedIFramesAreAcknowledgedAfterW) {
    TSimLinkParams p;
    p.w = 3;
    Make(p);
    Start();
    SendI(Sp(1));
    SendI(Sp(2));
    link->Service();
    EXPECT_TRUE(Take().empty());
    SendI(Sp(3));
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeSFrame(3)});
}

TEST_F(SimLinkTest, T2SendsTheAcknowledgementOfAQuietPeer) {
    Make();
    Start();
    SendI(Sp(1));
    clock.Advance(9999);
    link->Service();
    EXPECT_TRUE(Take().empty());
    clock.Advance(1);
    link->Service();
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeSFrame(1)});
}

TEST_F(SimLinkTest, T3SendsTestFrameAndT1ClosesWithoutConfirmation) {
    Make();
    Start();
    clock.Advance(20000);
    link->Service();
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeUFrame(kTestfrAct)});
    clock.Advance(14999);
    link->Service();
    EXPECT_FALSE(link->WantsClose());
    Send(MakeUFrame(kTestfrCon));
    clock.Advance(19999);
    link->Service();
    EXPECT_TRUE(Take().empty());
    clock.Advance(1);
    link->Service();
    EXPECT_EQ(Take(), std::vector<TBytes>{MakeUFrame(kTestfrAct)});
    clock.Advance(15000);
    link->Service();
    EXPECT_TRUE(link->WantsClose());
    EXPECT_TRUE(log.Has("no TESTFR con"));
}

TEST_F(SimLinkTest, T1ClosesWhenIFramesStayUnacknowledged) {
    Make();
    Start();
    link->AddBurst(1);
    link->Service();
    Take();
    clock.Advance(14000);
    Send(MakeUFrame(kTestfrAct));  // traffic does not acknowledge I frames
    link->Service();
    EXPECT_FALSE(link->WantsClose());
    clock.Advance(1000);
    link->Service();
    EXPECT_TRUE(link->WantsClose());
}

TEST_F(SimLinkTest, SequenceErrorClosesTheLink) {
    Make();
    Start();
    Send(MakeIFrame(1, 0, Sp(1)));
    EXPECT_TRUE(link->WantsClose());
    EXPECT_TRUE(log.Has("sequence error: N(S)=1, expected 0"));
}

TEST_F(SimLinkTest, SelectThenExecuteOn) {
    Make();
    Start();
    SendI(Sc(1, 0x85));
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Asdu(f[0]), B({0x2D, 0x01, 0x07, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x85}));
    EXPECT_TRUE(log.Has("command 2404 select ca=1 ioa=1 state=on sco=85 cot=6 result=positive"));
    SendI(Sc(1, 0x05));
    link->Service();
    f = Take();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(Asdu(f[0]), B({0x2D, 0x01, 0x07, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x05}));
    // the switched point comes back spontaneously
    EXPECT_EQ(Asdu(f[1]), B({0x01, 0x01, 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Asdu(f[2]), B({0x2D, 0x01, 0x0A, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x05}));
    EXPECT_EQ(station.points[0].value, 1.0);
}

TEST_F(SimLinkTest, NegativeConfirmModeAndUnknownObjectAddress) {
    TSimLinkParams p;
    p.negativeConfirm = true;
    Make(p);
    Start();
    SendI(Sc(2, 0x84));
    SendI(Sc(3, 0x84));  // a measured point accepts no commands
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(Asdu(f[0]), B({0x2D, 0x01, 0x47, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x84}));
    EXPECT_EQ(Asdu(f[1])[2], kCotUnknownObjectAddress | kCotNegative);
    EXPECT_EQ(station.points[1].value, 0.0);
}

TEST_F(SimLinkTest, UnknownTypeIsMirroredWithCause44) {
    Make();
    Start();
    SendI(B({0x2E, 0x01, 0x06, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02}));  // C_DC_NA
    SendI(B({0xC8, 0x01, 0x06, 0x00, 0x01, 0x00}));                          // not a type
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(Asdu(f[0])[2], kCotUnknownType | kCotNegative);
    EXPECT_EQ(Asdu(f[1])[2], kCotUnknownType | kCotNegative);
}

TEST_F(SimLinkTest, SpontaneousRateWithSequencesAndTimeTags) {
    TSimLinkParams p;
    p.rate = 100;
    Make(p);
    station.perAsdu = 2;
    station.sequence = true;
    station.timeTag = ETimeTag::Cp56;
    Start();
    clock.Advance(40);  // 4 objects due
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 2u);
    TBytes a = Asdu(f[0]);
    EXPECT_EQ(a[0], 30);    // M_SP_TB
    EXPECT_EQ(a[1], 0x82);  // SQ, two objects
    EXPECT_EQ(a[2], kCotSpontaneous);
    EXPECT_EQ(a.size(), 6u + 3 + 2 + 7);
    EXPECT_EQ(Asdu(f[1])[0], 36);  // M_ME_TF
    EXPECT_EQ(link->SpontaneousSent(), 4);
}

TEST_F(SimLinkTest, CountStopsChangesAndReportsAcknowledgement) {
    TSimLinkParams p;
    p.rate = 1000;
    p.count = 3;
    Make(p);
    Start();
    clock.Advance(100);
    link->Service();
    EXPECT_EQ(Take().size(), 3u);
    EXPECT_TRUE(log.Has("count 2404 reached 3"));
    EXPECT_FALSE(link->CountAcknowledged());
    Send(MakeSFrame(3));
    clock.Advance(100);
    link->Service();
    EXPECT_TRUE(Take().empty());
    EXPECT_TRUE(link->CountAcknowledged());
    EXPECT_TRUE(log.Has("count 2404 acknowledged 3"));
}

TEST_F(SimLinkTest, GapSkipsOneSendNumber) {
    Make();
    Start();
    link->AddBurst(1);
    link->Service();
    Take();
    link->MakeGap();
    link->AddBurst(1);
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 1u);
    TApci c;
    ASSERT_TRUE(ParseApci(f[0].data(), f[0].size(), c));
    EXPECT_EQ(c.ns, 2);
}

TEST_F(SimLinkTest, SilenceSuppressesEverythingUntilLifted) {
    Make();
    Start();
    link->SetSilence(true);
    Send(MakeUFrame(kTestfrAct));
    SendI(Gi());
    for (int i = 0; i < 10; ++i) SendI(Sp(1));
    clock.Advance(60000);
    link->Service();
    EXPECT_TRUE(link->Output().empty());
    EXPECT_FALSE(link->WantsClose());
    link->SetSilence(false);
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 4u);  // the interrogation answer, acknowledging everything
    TApci c;
    ASSERT_TRUE(ParseApci(f[0].data(), f[0].size(), c));
    EXPECT_EQ(c.nr, 11);
}

TEST_F(SimLinkTest, NoAckKeepsTheOldReceiveNumber) {
    TSimLinkParams p;
    p.acknowledge = false;
    p.w = 2;
    Make(p);
    Start();
    SendI(Sp(1));
    SendI(Sp(2));
    SendI(Gi());
    clock.Advance(10000);
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 4u);
    for (const auto& fr : f) {
        TApci c;
        ASSERT_TRUE(ParseApci(fr.data(), fr.size(), c));
        EXPECT_EQ(c.kind, EFrameKind::I);
        EXPECT_EQ(c.nr, 0);
    }
    link->SetAcknowledge(true);
    link->AddBurst(1);
    link->Service();
    f = Take();  // the overdue S frame (t2 has passed), then the I frame
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0], MakeSFrame(3));
    TApci c;
    ASSERT_TRUE(ParseApci(f[1].data(), f[1].size(), c));
    EXPECT_EQ(c.kind, EFrameKind::I);
    EXPECT_EQ(c.nr, 3);
}

TEST_F(SimLinkTest, MisbehaviourAfterNIFrames) {
    TSimLinkParams p;
    p.badStartAfter = 1;
    p.garbageAfter = 2;
    p.dropAfter = 3;
    Make(p);
    Start();
    link->AddBurst(3);
    link->Service();
    const TBytes& out = link->Output();
    TBytes expectBad = B({0x67, 0x04, 0x43, 0x00, 0x00, 0x00});
    EXPECT_NE(std::search(out.begin(), out.end(), expectBad.begin(), expectBad.end()), out.end());
    TBytes garbage = B({0xFF, 0x00, 0x13, 0x37, 0xA5, 0x5A, 0x68});
    EXPECT_NE(std::search(out.begin(), out.end(), garbage.begin(), garbage.end()), out.end());
    EXPECT_TRUE(link->WantsClose());
    EXPECT_EQ(link->IFramesSent(), 3);
}

TEST_F(SimLinkTest, SetValueIsSentSpontaneously) {
    Make();
    Start();
    station.Set(3, 2.5, 0x80);
    link->Service();
    auto f = Take();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Asdu(f[0]), B({0x0D, 0x01, 0x03, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x20,
                             0x40, 0x80}));
}

TEST_F(SimLinkTest, RandomGarbageNeverCrashesAndClosesOrWaits) {
    std::mt19937 rng(12345);
    for (int run = 0; run < 300; ++run) {
        Make();
        masterVs = masterVr = 0;
        Start();
        TBytes junk(1 + rng() % 600);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        if (run % 2) junk[0] = 0x68;
        Send(junk);
        link->Service();
        EXPECT_LE(link->Output().size(), 1u << 20);
        if (junk[0] != 0x68) {
            EXPECT_TRUE(link->WantsClose());
        }
    }
}

}  // namespace
}  // namespace telegate::sim
