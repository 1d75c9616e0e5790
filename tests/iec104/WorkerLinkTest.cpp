// The link layer as it runs on the worker thread, fed blocks by hand: what it
// sends, what it hands to the main thread and when it asks to close.
#include <gtest/gtest.h>

#include <string>

#include "LinkFixture.h"
#include "iec104/CommandResult.h"
#include "iec104/LinkStatistics.h"
#include "iec104/WorkerLink.h"
#include "model/Tags.h"

namespace telegate::testlink {
namespace {

// N(S) = ns, N(R) = 0, one single point at IOA 1.
std::string IFrame(int ns) {
    return Chars(Hex("68 0E " + ToHex(std::string(1, static_cast<char>((ns << 1) & 0xFF))) + " " +
                     ToHex(std::string(1, static_cast<char>((ns >> 7) & 0xFF))) +
                     " 00 00 01 01 03 00 01 00 01 00 00 01"));
}

class WorkerLinkTest : public LinkFixture {
  protected:
    WorkerLinkTest() : wl(prm, Env(), TWorkerLinkSettings{{}, [] { return 0xFFFFFFFFu; }}) {
        wl.Connected();
    }
    // STARTDT activation out, confirmation in.
    void Start() {
        TMainBatch b;
        wl.Service(b, 0);
        ASSERT_EQ(ToHex(wl.TakeOutput()), "68 04 07 00 00 00");
        wl.TakeBlock(Chars(Hex("68 04 0B 00 00 00")), b, 0);
        ASSERT_TRUE(b.DataStarted);
        wl.TakeOutput();
    }
    TWorkerLink wl;
};

TEST_F(WorkerLinkTest, FramesOfABlockAreAcknowledgedAtWAndHandedOverInOrder) {
    Start();
    std::string block;
    for (int ns = 0; ns < 10; ++ns) block += IFrame(ns);
    TMainBatch b;
    // Cut anywhere: the tail of the first piece waits for the second.
    wl.TakeBlock(block.substr(0, 100), b, 0);
    wl.TakeBlock(block.substr(100), b, 0);
    EXPECT_EQ(b.DecodedFrames(), block);
    // One S frame at w = 8; the last two wait for t2.
    EXPECT_EQ(ToHex(wl.TakeOutput()), "68 04 01 00 10 00");
    clock.Advance(prm.t2 + 1);
    TMainBatch later;
    wl.Service(later, 0);
    EXPECT_EQ(ToHex(wl.TakeOutput()), "68 04 01 00 14 00");
    EXPECT_TRUE(later.DecodedFrames().empty());
}

TEST_F(WorkerLinkTest, OrderedAsduGoesOutWithTheLinksNumbersAndKeepsTheWindow) {
    Start();
    TMainBatch b;
    wl.TakeBlock(IFrame(0), b, 0);
    wl.TakeOutput();
    // An interrogation as the main thread builds it: APCI left for the link.
    const std::string gi = Chars(Hex("68 0E 00 00 00 00 64 01 06 00 01 00 00 00 00 14"));
    for (int i = 0; i < prm.kMax; ++i) ASSERT_TRUE(wl.QueueAsdu(gi));
    EXPECT_FALSE(wl.QueueAsdu(gi));  // the queue holds k frames
    wl.Service(b, 0);
    const std::string out = wl.TakeOutput();
    ASSERT_EQ(out.size(), 16u * static_cast<size_t>(prm.kMax));
    EXPECT_EQ(ToHex(out.substr(0, 16)), "68 0E 00 00 02 00 64 01 06 00 01 00 00 00 00 14");
    EXPECT_EQ(ToHex(out.substr(16, 6)), "68 0E 02 00 02 00");
    EXPECT_EQ(b.UnackedOut, prm.kMax);
    // Nothing more until the station acknowledges; then the window takes more.
    ASSERT_TRUE(wl.QueueAsdu(gi) == false);
    wl.TakeBlock(Chars(Hex("68 04 01 00 04 00")), b, 0);  // N(R) = 2
    EXPECT_TRUE(wl.QueueAsdu(gi));
    wl.Service(b, 0);
    EXPECT_EQ(ToHex(wl.TakeOutput().substr(0, 6)), "68 0E 18 00 02 00");
}

TEST_F(WorkerLinkTest, ProtocolErrorsAndT1AskTheWorkerToClose) {
    struct TCase {
        const char* what;
        std::string block;
        int advance;
        size_t handedOver;  // octets of I frames still handed to the main thread
    };
    const std::string gi = Chars(Hex("68 0E 00 00 00 00 64 01 06 00 01 00 00 00 00 14"));
    const TCase cases[] = {
        // The frame after a gap is still decoded, as on the main thread before.
        {"sequence gap", IFrame(3), 0, 16},
        {"ack of a frame never sent", Chars(Hex("68 04 01 00 08 00")), 0, 0},
        {"bad start octet", Chars(Hex("67 04 01 00 00 00")), 0, 0},
        {"t1 without acknowledgement", std::string(), prm.t1 + 1, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        wl.Connected();
        Start();
        TMainBatch b;
        if (c.advance > 0) {
            ASSERT_TRUE(wl.QueueAsdu(gi));
            wl.Service(b, 0);
            wl.TakeOutput();
            clock.Advance(c.advance);
            wl.Service(b, 0);
        } else {
            wl.TakeBlock(c.block, b, 0);
            wl.Service(b, 0);
        }
        EXPECT_TRUE(wl.TakeStopRequest());
        EXPECT_FALSE(wl.TakeStopRequest());
        EXPECT_EQ(b.DecodedFrames().size(), c.handedOver);
        wl.Disconnected();
    }
}

TEST_F(WorkerLinkTest, JournalLinesMoveToTheBatch) {
    Start();
    TMainBatch b;
    wl.TakeBlock(IFrame(0), b, 0);
    wl.MoveJournal(b);
    bool sawI = false;
    for (const TJournalLine& l : b.Journal) sawI = sawI || l.Text.rfind(">(iec0)", 0) == 0;
    EXPECT_TRUE(sawI);
    TMainBatch again;
    wl.MoveJournal(again);
    EXPECT_TRUE(again.Journal.empty());
}

}  // namespace
}  // namespace telegate::testlink

namespace telegate::testlink {
namespace {

// One way of running a station: the client with its own link layer (fed octets)
// or the client with its link layer on the worker (fed batches).
struct TSide {
    TSide(const TLinkEnv& env, const TPrmn& prm, bool split)
        : split(split), journal(env.journal), diag(env.clock), tags(env.journal) {
        link = std::make_shared<TFakeLink>();
        PClientSocket ps;
        ps.Nomer_Thread = 1;
        ps.oprosdevice2 = link;
        client = std::make_unique<T104Client>(ps, prm, env);
        client->Diag = &diag;
        client->SetTagList(&tags);
        TTagSignal t;
        for (int ioa = 100; ioa < 110; ++ioa) {
            t.Init("S" + std::to_string(ioa), 3, ioa, "127.0.0.1", 2404, kinds.GetPtc(tcn_TS), -1);
            EXPECT_EQ(tags.AddTag(t), "");
        }
        if (split) {
            wl = std::make_unique<TWorkerLink>(prm, env);
            client->SetLinkOnWorker(true);
        }
    }
    // The transport connected.
    void Connect() {
        if (split) wl->Connected();
        client->DoOnConnect();
        Pass();
    }
    // The main thread's passes; with the link on the worker, the worker's pass.
    void Pass() {
        client->Connecting(false, 0);
        client->TuService1();
        client->ConnectService(false, 0);
        if (!split) return;
        for (const std::string& a : link->asdus) EXPECT_TRUE(wl->QueueAsdu(a));
        link->asdus.clear();
        TMainBatch b;
        wl->Service(b, 0);
        Hand(b);
    }
    void FromStation(const std::string& block) {
        if (split) {
            TMainBatch b;
            wl->TakeBlock(block, b, 0);
            Hand(b);
        } else {
            client->Receive(PSocket_temp{block, "127.0.0.1", 2404}, false, 0);
            client->RaspakReceiveBufferAPDU(false, 0);
        }
        Pass();
    }
    void Hand(TMainBatch& b) {
        link->frames.push_back(wl->TakeOutput());
        wl->MoveJournal(b);
        client->TakeBatch(b, 0);
    }
    std::string Wire() const {
        std::string s;
        for (const std::string& f : link->frames) s += f;
        return s;
    }

    bool split;
    TMessBuff& journal;
    TLinkDiagnostics diag;
    TTagCategoryList kinds{1};
    TTagSignalList tags;
    std::shared_ptr<TFakeLink> link;
    std::unique_ptr<T104Client> client;
    std::unique_ptr<TWorkerLink> wl;
};

// An I frame from the station: N(S) = ns, N(R) = nr, then the ASDU.
std::string StationI(int ns, int nr, const std::string& asdu) {
    std::string f = Chars(Hex("68 00"));
    f[1] = static_cast<char>(asdu.size() + 4);
    f += static_cast<char>((ns << 1) & 0xFF);
    f += static_cast<char>((ns >> 7) & 0xFF);
    f += static_cast<char>((nr << 1) & 0xFF);
    f += static_cast<char>((nr >> 7) & 0xFF);
    return f + asdu;
}

// The station's confirmation of the last I frame we sent: its ASDU with the
// cause activation confirmation.
std::string Confirm(const std::string& wire, int ns, int nr) {
    size_t p = 0, last = std::string::npos;
    while (p + 2 <= wire.size()) {
        if ((static_cast<uint8_t>(wire[p + 2]) & 1) == 0) last = p;
        p += static_cast<uint8_t>(wire[p + 1]) + 2u;
    }
    if (last == std::string::npos) return {};
    std::string asdu = wire.substr(last + 6, static_cast<uint8_t>(wire[last + 1]) - 4u);
    asdu[2] = 7;
    return StationI(ns, nr, asdu);
}

class SplitLinkTest : public LinkFixture {};

// The station's bytes go to both; both must put the same bytes on the wire,
// store the same values, count the same statistics and end the command alike.
TEST_F(SplitLinkTest, LinkOnTheWorkerBehavesLikeTheClientsOwnLink) {
    TSide sides[] = {TSide(Env(), prm, false), TSide(Env(), prm, true)};
    std::shared_ptr<TCommandResult> results[2];
    for (int i = 0; i < 2; ++i) {
        TSide& s = sides[i];
        SCOPED_TRACE(s.split ? "link on the worker" : "link on the main thread");
        s.Connect();
        s.FromStation(Chars(Hex("68 04 0B 00 00 00")));  // STARTDT con: interrogation out
        // Interrogation confirmed, ten single points, terminated: one block.
        std::string block = StationI(0, 1, Chars(Hex("64 01 07 00 03 00 00 00 00 14")));
        for (int n = 0; n < 10; ++n) {
            std::string asdu = Chars(Hex("01 01 14 00 03 00 00 00 00 00"));
            asdu[6] = static_cast<char>(100 + n);
            asdu[9] = static_cast<char>(n % 2);
            block += StationI(1 + n, 1, asdu);
        }
        block += StationI(11, 1, Chars(Hex("64 01 0A 00 03 00 00 00 00 14")));
        s.FromStation(block);
        clock.Advance(prm.t2 + 1);  // the last four wait for t2
        s.Pass();
        results[i] = std::make_shared<TCommandResult>();
        s.client->ElemTU.Init(tuCommand_On, 3, 5000, s.client->prm, true, results[i]);
        s.Pass();  // select
        s.FromStation(Confirm(s.Wire(), 12, 2));  // execute
        s.FromStation(Confirm(s.Wire(), 13, 3));
    }
    const TSide& a = sides[0];
    const TSide& b = sides[1];
    EXPECT_EQ(ToHex(b.Wire()), ToHex(a.Wire()));
    EXPECT_NE(ToHex(a.Wire()).find("68 04 01 00 10 00"), std::string::npos);  // ack at w = 8
    EXPECT_EQ(results[0]->Outcome(), tuo_Confirmed);
    EXPECT_EQ(results[1]->Outcome(), tuo_Confirmed);
    for (int t = 0; t < 10; ++t) {
        int32_t iv[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            uint8_t q = 0;
            double fv = 0;
            TDateTime dt = 0;
            sides[i].tags.GetTag(t)->GetArmValue(iv[i], q, fv, dt);
        }
        EXPECT_EQ(iv[0], t % 2);
        EXPECT_EQ(iv[1], iv[0]);
    }
    const TLinkStatistics& x = a.diag.Stats;
    const TLinkStatistics& y = b.diag.Stats;
    EXPECT_EQ(x.In.I, 14u);
    EXPECT_EQ(y.In.I, x.In.I);
    EXPECT_EQ(y.In.S, x.In.S);
    EXPECT_EQ(y.In.U, x.In.U);
    EXPECT_EQ(y.In.Octets, x.In.Octets);
    EXPECT_EQ(y.Out.I, x.Out.I);
    EXPECT_EQ(y.Out.S, x.Out.S);
    EXPECT_EQ(y.Out.U, x.Out.U);
    EXPECT_EQ(y.Out.Octets, x.Out.Octets);
    EXPECT_EQ(y.ObjectsReceived, x.ObjectsReceived);
    EXPECT_EQ(y.AsduByType, x.AsduByType);
    EXPECT_EQ(y.LastGIObjects, 10u);
    EXPECT_EQ(x.LastGIObjects, 10u);
    EXPECT_EQ(y.MaxUnackedIn, x.MaxUnackedIn);
    EXPECT_EQ(y.MaxUnackedOut, x.MaxUnackedOut);
}

}  // namespace
}  // namespace telegate::testlink
