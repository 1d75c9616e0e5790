// Link statistics counted where the link layer cuts and sends frames, against a
// fake station on a manual clock.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "iec104/LinkStatistics.h"

namespace telegate::testlink {
namespace {

class LinkStatisticsTest : public LinkFixture {
  protected:
    LinkStatisticsTest() : diag(clock) {}
    void Attach() {
        MakeClient();
        client->Diag = &diag;
    }
    // The interrogation goes out as our first I frame.
    void SendInterrogation() {
        client->OprosDue();
        client->Connecting(false, 0);
        client->ConnectService(false, 0);
    }
    TLinkDiagnostics diag;
};

struct TExpect {
    uint32_t connects, disconnects;
    TDisconnectReason reason;
    uint64_t inI, inS, inU, outI, outS, outU;
    uint32_t t1, seq, negative;
    int64_t giMs;
    uint64_t giObjects;
    int32_t maxOut, maxIn;
};

struct TScenario {
    const char* what;
    std::function<void()> run;
    TExpect expect;
};

TEST_F(LinkStatisticsTest, CountersAtTheWire) {
    using R = TDisconnectReason;
    const TScenario scenarios[] = {
        {"general interrogation: activation to termination",
         [this] {
             diag.OnConnected();
             StartData();
             SendInterrogation();
             clock.Advance(250);
             Feed("68 0E 00 00 02 00 64 01 07 00 01 00 00 00 00 14");     // actcon
             Feed("68 0F 02 00 02 00 01 82 14 00 01 00 E9 03 00 01 00");  // 2 objects
             Feed("68 0E 04 00 02 00 64 01 0A 00 01 00 00 00 00 14");     // actterm
         },
         {1, 0, R::None, 3, 0, 1, 1, 0, 1, 0, 0, 0, 250, 2, 1, 2}},
        {"t1 expires",
         [this] {
             diag.OnConnected();
             StartData();
             SendInterrogation();
             clock.Advance(prm.t1 + 1);
             client->ConnectService(false, 0);
             diag.OnDisconnected(R::StationClosed);  // the worker's report follows
         },
         {1, 1, R::T1Expired, 0, 0, 1, 1, 0, 1, 1, 0, 0, -1, 0, 1, 0}},
        {"sequence error",
         [this] {
             diag.OnConnected();
             StartData();
             Feed("68 0E 00 00 00 00 01 01 03 00 01 00 01 00 00 01");
             Feed("68 0E 06 00 00 00 01 01 03 00 01 00 01 00 00 01");  // N(S) 3, 1 expected
             client->ConnectService(false, 0);
             diag.OnDisconnected(R::StationClosed);
         },
         {1, 1, R::SequenceError, 2, 0, 1, 0, 0, 1, 0, 1, 0, -1, 0, 0, 1}},
        {"negative confirmation of a command",
         [this] {
             diag.OnConnected();
             StartData();
             Feed("68 0E 00 00 00 00 2D 01 47 00 01 00 0A 00 00 81");
             clock.Advance(prm.t2 + 1);
             client->ConnectService(false, 0);  // the acknowledgement goes out
         },
         {1, 0, R::None, 1, 0, 1, 0, 1, 1, 0, 0, 1, -1, 0, 0, 1}},
        {"connect refused: never connected",
         [this] { diag.OnDisconnected(R::StationClosed); },
         {0, 0, R::ConnectFailed, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0}},
        {"silence, then a stop while down keeps the loss",
         [this] {
             diag.OnConnected();
             diag.OnDisconnected(R::Silence);
             diag.OnDisconnected(R::OperatorStop);
         },
         {1, 1, R::Silence, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0}},
        {"failed attempts after a loss",
         [this] {
             diag.OnConnected();
             diag.OnDisconnected(R::StationClosed);
             diag.OnConnectFailed();
         },
         {1, 1, R::ConnectFailed, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0}},
        {"station closes the connection",
         [this] {
             diag.OnConnected();
             StartData();
             diag.OnDisconnected(R::StationClosed);
             diag.OnConnected();
             diag.OnDisconnected(R::OperatorStop);
         },
         {2, 2, R::OperatorStop, 0, 0, 1, 0, 0, 1, 0, 0, 0, -1, 0, 0, 0}},
    };
    for (const TScenario& sc : scenarios) {
        SCOPED_TRACE(sc.what);
        Attach();
        diag.Reset();
        sc.run();
        const TLinkStatistics& s = diag.Stats;
        const TExpect& e = sc.expect;
        EXPECT_EQ(s.Connects, e.connects);
        EXPECT_EQ(s.Disconnects, e.disconnects);
        EXPECT_EQ(s.LastDisconnectReason, e.reason);
        EXPECT_EQ(s.In.I, e.inI);
        EXPECT_EQ(s.In.S, e.inS);
        EXPECT_EQ(s.In.U, e.inU);
        EXPECT_EQ(s.Out.I, e.outI);
        EXPECT_EQ(s.Out.S, e.outS);
        EXPECT_EQ(s.Out.U, e.outU);
        EXPECT_EQ(s.T1Expiries, e.t1);
        EXPECT_EQ(s.SequenceErrors, e.seq);
        EXPECT_EQ(s.NegativeConfirmations, e.negative);
        EXPECT_EQ(s.LastGIDurationMs(), e.giMs);
        EXPECT_EQ(s.LastGIObjects, e.giObjects);
        EXPECT_EQ(s.MaxUnackedOut, e.maxOut);
        EXPECT_EQ(s.MaxUnackedIn, e.maxIn);
        // Octets are those of the frames counted (6 per U and S frame).
        EXPECT_GE(s.In.Octets, 6 * (s.In.I + s.In.S + s.In.U));
        EXPECT_EQ(s.ConnectedSince > 0, e.connects > e.disconnects);
    }
}

TEST_F(LinkStatisticsTest, TapSeesEveryFrameOnlyWhileSet) {
    Attach();
    std::vector<std::string> seen;
    diag.SetTap([&](TFrameDir dir, std::span<const uint8_t> apdu) {
        seen.push_back(RenderFrameLine(0.5, dir, apdu, diag.Layout, &types));
    });
    StartData();
    Feed("68 0E 00 00 00 00 01 01 03 00 01 00 01 00 00 01");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "12:00:00.000 TX U STARTDT act");
    EXPECT_EQ(seen[1], "12:00:00.000 RX U STARTDT con");
    EXPECT_EQ(seen[2].rfind("12:00:00.000 RX I N(S)=0 N(R)=0 M_SP_NA_1(1) COT=3 (", 0), 0u)
        << seen[2];
    EXPECT_NE(seen[2].find(") OA=0 CA=1 n=1 | IOA=1 v=1"), std::string::npos) << seen[2];
    diag.SetTap({});
    Feed("68 0E 02 00 00 00 01 01 03 00 01 00 01 00 00 00");
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(diag.Stats.In.I, 2u);
    EXPECT_EQ(diag.Stats.AsduByType[1], 2u);
    EXPECT_EQ(diag.Stats.ObjectsReceived, 2u);
}

}  // namespace
}  // namespace telegate::testlink
