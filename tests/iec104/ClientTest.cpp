// The station client: connection management with the growing pause, STARTDT after
// connect, general interrogation, work switch, StopConnect, the receive pipeline
// into the tags; and the client list.
#include "LinkFixture.h"
#include "iec104/ClientList.h"
#include "model/Tags.h"

namespace telegate::testlink {
namespace {

class ClientTest : public LinkFixture {
  protected:
    // Runs Connecting every 50 ms for ms milliseconds; returns the instants (ms from
    // the start) at which a connection attempt was ordered.
    std::vector<int64_t> AttemptsDuring(int64_t ms) {
        std::vector<int64_t> at;
        for (int64_t t = 0; t <= ms; t += 50) {
            const int before = link->connectRequests;
            client->Connecting(false, 0);
            if (link->connectRequests != before) at.push_back(t);
            clock.Advance(50);
        }
        return at;
    }
};

TEST_F(ClientTest, FirstAttemptIsImmediateThenEveryTwoSeconds) {
    MakeClient();
    link->connected = false;
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    const auto at = AttemptsDuring(6000);
    // A pause of 2000 ms means the attempt comes at the first tick after it.
    EXPECT_EQ(at, (std::vector<int64_t>{0, 2050, 4100}));
    EXPECT_EQ(client->nClConnAtt, 3);
    EXPECT_TRUE(client->FWaitConnect);
    EXPECT_EQ(link->host, "127.0.0.1");
    EXPECT_EQ(link->port, 2404);
    EXPECT_TRUE(HasLine(
        "(iec5) sock.Open  Запуск соединения! prm.Host=127.0.0.1 prm.Port=2404(0000h)(0003h)"));
}

// A station that closes the link before the first pass after the connect report:
// the report is spent with the link; no STARTDT is sent or journaled while the link
// is down, however many passes run, and the next connection starts as usual.
TEST_F(ClientTest, ConnectReportOfALinkAlreadyGoneSendsNothing) {
    MakeClient();
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    client->DoOnConnect();  // the worker's connect report
    link->connected = false;
    client->flag.Op(FSet, bsb_CallDoDisconnect);  // and its disconnect report
    Lines();
    for (int i = 0; i < 40; ++i) {
        client->Connecting(false, 0);
        client->ConnectService(false, 0);
        clock.Advance(50);
    }
    EXPECT_TRUE(link->frames.empty());
    for (const std::string& line : Lines()) EXPECT_EQ(line.find("Send"), std::string::npos) << line;
    EXPECT_GE(link->connectRequests, 1);  // the back-off goes on
    link->connected = true;
    client->DoOnConnect();
    client->Connecting(false, 0);
    EXPECT_EQ(link->HexFrames(), (std::vector<std::string>{"68 04 07 00 00 00"}));
}

TEST_F(ClientTest, PauseGrowsEveryTwentyAttempts) {
    MakeClient();
    link->connected = false;
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    client->nClConnAtt = 20;  // the 21st attempt is next
    client->Connecting(false, 0);
    ASSERT_EQ(link->connectRequests, 1);  // the stopwatch was never started
    clock.Advance(4000);
    client->Connecting(false, 0);
    EXPECT_EQ(link->connectRequests, 1);  // the 22nd waits 4 s
    clock.Advance(1);
    client->Connecting(false, 0);
    EXPECT_EQ(link->connectRequests, 2);
    client->nClConnAtt = 40;
    clock.Advance(6000);
    client->Connecting(false, 0);
    EXPECT_EQ(link->connectRequests, 2);
    clock.Advance(1);
    client->Connecting(false, 0);
    EXPECT_EQ(link->connectRequests, 3);
    EXPECT_EQ(client->ConnectPauseMs(), 6000);
}

TEST_F(ClientTest, AttemptCounterWrapsAfterSixThousand) {
    MakeClient();
    link->connected = false;
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    client->nClConnAtt = 6000;
    client->Connecting(false, 0);
    EXPECT_EQ(client->nClConnAtt, 0);
    EXPECT_EQ(link->connectRequests, 1);
    EXPECT_EQ(client->ConnectPauseMs(), 2000);
}

// The attempt count (and with it the pause) starts again only once a connection
// has proven itself: data transfer confirmed and up for t3. A station that
// accepts and drops at once, or never confirms STARTDT, keeps the growing pause.
TEST_F(ClientTest, BackOffStartsAgainOnlyAfterAProvenConnection) {
    struct TCase {
        const char* name;
        bool confirmStartdt;
        int64_t upMs;
        int32_t attemptsAfter;
    };
    prm.t3 = 20000;
    const TCase cases[] = {
        {"dropped at once", false, 0, 46},
        {"STARTDT never confirmed", false, 60000, 46},
        {"confirmed, dropped before t3", true, 19900, 46},
        {"confirmed and up for t3", true, 20100, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        MakeClient();
        link->connected = false;
        client->ClSFlag.Op(FSet, bclb_AutoConnect);
        client->nClConnAtt = 45;
        client->Connecting(false, 0);  // attempt 46
        ASSERT_EQ(link->connectRequests, 1);
        link->connected = true;
        client->DoOnConnect();
        EXPECT_FALSE(client->FWaitConnect);
        client->Connecting(false, 0);  // STARTDT act
        if (c.confirmStartdt) Feed("68 04 0B 00 00 00");
        for (int64_t t = 0; t < c.upMs; t += 50) {
            clock.Advance(50);
            client->Connecting(false, 0);
        }
        EXPECT_EQ(client->nClConnAtt, c.attemptsAfter);
        // The link drops: the next attempt waits the pause of the count reached.
        link->connected = false;
        client->flag.Op(FSet, bsb_CallDoDisconnect);
        client->Connecting(false, 0);
        EXPECT_EQ(client->ConnectPauseMs(), c.attemptsAfter == 0 ? 2000 : 6000);
    }
}

TEST_F(ClientTest, NoAttemptWithoutAutoConnectOrWhileConnected) {
    MakeClient();
    link->connected = false;
    AttemptsDuring(3000);
    EXPECT_EQ(link->connectRequests, 0);
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    link->connected = true;
    AttemptsDuring(3000);
    EXPECT_EQ(link->connectRequests, 0);
}

TEST_F(ClientTest, RecordNotWorkingDoesNotConnectUntilSwitchedOn) {
    prm.prWork1 = 0;
    MakeClient();
    link->connected = false;
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    EXPECT_FALSE(client->GetWork());
    AttemptsDuring(3000);
    EXPECT_EQ(link->connectRequests, 0);
    client->setWork(true);
    EXPECT_EQ(client->prm.prWork1, 1);
    client->Connecting(false, 0);
    EXPECT_EQ(link->connectRequests, 1);
}

TEST_F(ClientTest, SwitchingOffDisconnectsAtTheNextPass) {
    MakeClient();
    client->setWork(false);
    EXPECT_EQ(client->prm.prWork1, 0);
    EXPECT_TRUE(client->ClSFlag.Op(FYes, bclb_DisConnect));
    EXPECT_EQ(link->disconnectRequests, 0);
    client->Connecting(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
    EXPECT_TRUE(client->ClSFlag.Op(FNo, bclb_DisConnect));
}

TEST_F(ClientTest, StartdtAfterConnectAndRetriedWhileTheSlotIsBusy) {
    MakeClient();
    client->DoOnConnect();
    link->slot = "x";
    client->Connecting(false, 0);
    EXPECT_TRUE(HasLine(
        "(iec5) Cоединение Ок! Host=127.0.0.1Port=2404 Посылаем STARTDT_ACT(0008h)(0001h)"));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_STARTDT_Want));
    EXPECT_TRUE(link->frames.empty());
    link->slot.clear();
    client->Connecting(false, 0);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 07 00 00 00"});
    EXPECT_TRUE(client->flag.Op(FNo, bsb_STARTDT_Want));
    EXPECT_TRUE(client->flag.Op(FYes, bsb_STARTDT_Act));
    client->Connecting(false, 0);
    EXPECT_EQ(link->frames.size(), 1u);
}

TEST_F(ClientTest, InterrogationOnRequest) {
    MakeClient();
    StartData();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    client->OprosDue();
    client->Connecting(false, 0);
    EXPECT_FALSE(client->OPROS_KP_);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(),
              std::vector<std::string>{"68 0E 00 00 00 00 64 01 06 00 03 00 00 00 00 14"});
}

TEST_F(ClientTest, InterrogationGoesToTheConfiguredCommonAddress) {
    prm.CommonAsduAddress = 0x1234;
    MakeClient();
    StartData(true);
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    EXPECT_EQ(link->HexFrames(),
              std::vector<std::string>{"68 0E 00 00 00 00 64 01 06 00 34 12 00 00 00 14"});
    EXPECT_TRUE(HasLine("(iec5) OprosKP: Адрес КП=4660"));
}

TEST_F(ClientTest, InterrogationSwitchedOffIsDropped) {
    MakeClient();
    client->prOprosSend = false;
    StartData(true);
    ASSERT_TRUE(client->flag.Op(FYes, bsb_PROC_OPROS));
    client->Connecting(false, 0);
    EXPECT_TRUE(client->flag.Op(FNo, bsb_PROC_OPROS));
    client->ConnectService(false, 0);
    EXPECT_TRUE(link->frames.empty());
}

TEST_F(ClientTest, InterrogationRequestWithoutDataTransferIsDropped) {
    MakeClient();
    client->DoOnConnect();
    client->Connecting(false, 0);
    client->OprosDue();
    client->Connecting(false, 0);
    EXPECT_TRUE(client->flag.Op(FNo, bsb_PROC_OPROS));
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
}

TEST_F(ClientTest, StopConnectDropsAndReconnectsThroughTheNormalPath) {
    MakeClient();
    client->ClSFlag.Op(FSet, bclb_AutoConnect);
    StartData();
    client->OprosDue();
    client->Connecting(false, 0);
    client->ConnectService(false, 0);
    client->StopConnect();
    EXPECT_EQ(link->disconnectRequests, 1);
    EXPECT_TRUE(client->s_APDUBuf.GetEmpty());
    EXPECT_TRUE(client->flag.Op(FYes, bsb_ClearValid));
    // The worker drops the connection and reports it.
    link->connected = false;
    client->flag.Op(FSet, bsb_CallDoDisconnect);
    client->Connecting(false, 0);
    EXPECT_TRUE(client->flag.Op(FNo, bsb_CallDoDisconnect));
    EXPECT_EQ(link->connectRequests, 1);  // first automatic attempt
    link->connected = true;
    client->DoOnConnect();
    client->Connecting(false, 0);
    EXPECT_EQ(link->LastHex(), "68 04 07 00 00 00");
    EXPECT_EQ(client->Fvs, 0);
}

TEST_F(ClientTest, WorkerWithoutPortKeepsItsOwnPort) {
    prm.Port = 0;
    MakeClient();
    link->port = 2405;
    link->connected = false;
    client->ClSFlag.Op(FSet, bclb_Connect);
    client->Connecting(false, 0);
    EXPECT_EQ(link->port, 2405);
    EXPECT_EQ(link->connectRequests, 1);
}

TEST_F(ClientTest, NoWorkerMeansNotConnected) {
    PClientSocket ps;
    T104Client cl(ps, prm, Env());
    EXPECT_FALSE(cl.GetConnected());
    T104APDU u;
    u.FormUCommand(U_TESTFR, UACT);
    EXPECT_FALSE(cl.SendToSocket(u, false, 0));
    cl.ClSFlag.Op(FSet, bclb_AutoConnect);
    cl.Connecting(false, 0);
    cl.ConnectService(false, 0);
    cl.StopConnect();
    EXPECT_EQ(cl.FIpPort, " \"\"127.0.0.1=2404\"\" ");
}

TEST_F(ClientTest, ReceivedObjectsReachTheirTags) {
    MakeClient();
    TTagCategoryList cats(1);
    TTagSignalList tags(journal);
    TTagSignal t;
    t.Init("S100", 3, 100, "127.0.0.1", 2404, cats.GetPtc(tcn_TS), -1);
    ASSERT_EQ(tags.AddTag(t), "");
    t.Init("S101", 3, 101, "127.0.0.1", 2405, cats.GetPtc(tcn_TS), -1);
    ASSERT_EQ(tags.AddTag(t), "");
    client->SetTagList(&tags);
    StartData();
    // Two objects, SQ = 0: 100 on, 101 on. The tag of 101 belongs to another port.
    Feed("68 12 00 00 00 00 01 02 03 00 03 00 64 00 00 01 65 00 00 01");
    int32_t iv = -1;
    uint8_t q = 0;
    double fv = 0;
    TDateTime dt = 0;
    tags.GetTag(0)->GetArmValue(iv, q, fv, dt);
    EXPECT_EQ(iv, 1);
    EXPECT_TRUE(tags.GetTag(0)->FprReceive);
    EXPECT_FALSE(tags.GetTag(1)->FprReceive);
    EXPECT_TRUE(client->r_APDUBuf.GetEmpty());
}

// ---------------------------------------------------------------------------------
// The client list

class ClientListTest : public LinkFixture {
  protected:
    ClientListTest() {
        for (int i = 0; i < kPrmnCount; ++i) {
            SetDefaultPrmn(table[static_cast<size_t>(i)], "127.0.0.1", 2404 + i);
            table[static_cast<size_t>(i)].prWork1 = 1;
        }
    }
    PClientSocket Sock(int n, std::shared_ptr<TFakeLink>& l) {
        l = std::make_shared<TFakeLink>();
        l->connected = false;
        PClientSocket ps;
        ps.Nomer_Thread = n;
        ps.oprosdevice2 = l;
        return ps;
    }
    TPrmnTable table{};
};

TEST_F(ClientListTest, AddFindGetAndCapacity) {
    TClients104 list(3, Env(), table);
    std::shared_ptr<TFakeLink> l;
    for (int i = 0; i < 3; ++i) ASSERT_NE(list.AddClient(Sock(i + 1, l)), nullptr);
    EXPECT_EQ(list.AddClient(Sock(4, l)), nullptr);
    EXPECT_EQ(list.nClients, 3);
    EXPECT_EQ(list.GetPcl(1)->prm.Port, 2405);
    EXPECT_EQ(list.GetPcl(1)->psock.Nomer_Thread, 2);
    EXPECT_EQ(list.GetPcl(3), nullptr);
    EXPECT_EQ(list.GetPcl(-1), nullptr);
    EXPECT_EQ(list.Find("127.0.0.1", 2406), list.GetPcl(2));
    EXPECT_EQ(list.Find("127.0.0.1", 2410), nullptr);  // host matches, port does not
    EXPECT_EQ(list.Find("127.0.0.2", 2404), nullptr);
}

TEST_F(ClientListTest, ConnectingVisitsWorkingClientsWithTheirOwnIndex) {
    TClients104 list(64, Env(), table);
    std::vector<std::shared_ptr<TFakeLink>> links(3);
    for (int i = 0; i < 3; ++i) list.AddClient(Sock(i + 1, links[static_cast<size_t>(i)]));
    for (int i = 0; i < 3; ++i) list.GetPcl(i)->ClSFlag.Op(FSet, bclb_AutoConnect);
    list.GetPcl(1)->setWork(false);
    list.Connecting(false, 100);
    EXPECT_EQ(links[0]->connectRequests, 1);
    EXPECT_EQ(links[1]->connectRequests, 0);
    EXPECT_EQ(links[2]->connectRequests, 1);
}

TEST_F(ClientListTest, DelClientEmptiesTheListButHeldClientsStayValid) {
    TClients104 list(64, Env(), table);
    std::shared_ptr<TFakeLink> l;
    std::shared_ptr<T104Client> held = list.AddClient(Sock(1, l));
    list.DelClient();
    EXPECT_EQ(list.nClients, 0);
    EXPECT_EQ(list.GetPcl(0), nullptr);
    // A late disconnect report reaches the old client.
    held->flag.Op(FSet, bsb_CallDoDisconnect);
    held->Connecting(false, 0);
    EXPECT_TRUE(held->flag.Op(FYes, bsb_ClearValid));
    // The next start fills the list again from record 0.
    EXPECT_EQ(list.AddClient(Sock(1, l))->prm.Port, 2404);
}

TEST_F(ClientListTest, SettingIsHandedToNewClients) {
    TClients104 list(4, Env(), table);
    list.prOprosSend = false;
    std::shared_ptr<TFakeLink> l;
    EXPECT_FALSE(list.AddClient(Sock(1, l))->prOprosSend);
}

}  // namespace
}  // namespace telegate::testlink
