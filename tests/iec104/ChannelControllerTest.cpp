// The channel controller: the receive path into the client, the service pass of a
// working client, the LED state and the invalidation of a station's tags.
#include "LinkFixture.h"
#include "iec104/ChannelController.h"
#include "model/Registries.h"
#include "model/Tags.h"
#include "support/ErrorCatalogue.h"

namespace telegate::testlink {
namespace {

class ChannelControllerTest : public LinkFixture {
  protected:
    std::shared_ptr<T104Client> MakeShared() {
        link = std::make_shared<TFakeLink>();
        PClientSocket ps;
        ps.Nomer_Thread = 1;
        ps.oprosdevice2 = link;
        auto cl = std::make_shared<T104Client>(ps, prm, Env());
        return cl;
    }
    void Receive(TClient104Frm& frm, const std::string& hex) {
        PSocket_temp s{Chars(Hex(hex)), "127.0.0.1", 2404};
        frm.OnReceive(s, false, 0);
    }
};

TEST_F(ChannelControllerTest, CreateAppliesAutoConnectAndInitialisesTheLed) {
    auto cl = MakeShared();
    TClient104Frm frm(cl, 15, 25, true);
    EXPECT_TRUE(cl->ClSFlag.Op(FYes, bclb_AutoConnect));
    EXPECT_EQ(frm.led.Left, 15);
    EXPECT_EQ(frm.led.Top, 25);
    EXPECT_EQ(frm.led.Width, 11);
    EXPECT_EQ(frm.led.Height, 11);
    EXPECT_EQ(frm.led.FOnColor, 0x008000u);
    EXPECT_EQ(frm.led.FOffColor, 0x000080u);
    EXPECT_EQ(frm.led.FOnBrColor, 0x00FC7Cu);
    EXPECT_EQ(frm.led.FOffBrColor, 0x7C00FCu);
    EXPECT_FALSE(frm.led.FOnOff);
    frm.ChBoxAuto(false);
    EXPECT_TRUE(cl->ClSFlag.Op(FNo, bclb_AutoConnect));
    TClient104Frm frm2(cl, 0, 0, false);
    EXPECT_TRUE(cl->ClSFlag.Op(FNo, bclb_AutoConnect));
}

TEST_F(ChannelControllerTest, TwoFramesOfOneReadAreDecodedBeforeTheServicePass) {
    prm.wMax = 2;
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, false);
    cl->DoOnConnect();
    cl->Connecting(false, 0);
    Receive(frm, "68 04 0B 00 00 00");
    cl->flag.Op(FClear, bsb_PROC_OPROS);
    link->frames.clear();
    // Two I frames in one read: both counted, then one acknowledgement for both.
    Receive(frm,
            "68 0E 00 00 00 00 01 01 03 00 03 00 64 00 00 01 "
            "68 0E 02 00 00 00 01 01 03 00 03 00 64 00 00 00");
    EXPECT_EQ(cl->Fvr, 2);
    EXPECT_EQ(link->HexFrames(), std::vector<std::string>{"68 04 01 00 04 00"});
}

TEST_F(ChannelControllerTest, ClientNotWorkingReceivesButIsNotServiced) {
    prm.prWork1 = 0;
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, true);
    cl->DoOnConnect();
    cl->flag.Op(FSet, bsb_STARTDT_Ok);
    Receive(frm, "68 0E 00 00 00 00 01 01 03 00 03 00 64 00 00 01");
    EXPECT_EQ(cl->Fvr, 1);
    clock.Advance(prm.t3 + 1);  // t2 and t3 expired: a working client would send
    cl->ElemTU.Init(tuCommand_On, 1, 5000, cl->prm, true);
    frm.DoService(false, 0);
    EXPECT_TRUE(link->frames.empty());
    EXPECT_EQ(cl->ElemTU.step1, stuInit);
    cl->setWork(true);
    frm.DoService(false, 0);
    EXPECT_EQ(cl->ElemTU.step1, stuSendSelect);
    EXPECT_FALSE(link->frames.empty());
}

TEST_F(ChannelControllerTest, LedFollowsTheConnection) {
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, true);
    int notified = 0;
    frm.led.FOnChange = [&] { ++notified; };
    frm.ShowLed();
    EXPECT_TRUE(frm.led.FOnOff);
    EXPECT_FALSE(frm.led.FBright);
    EXPECT_EQ(frm.led.FillColor(), kLedOn);
    EXPECT_EQ(notified, 1);
    link->connected = false;
    frm.ShowLed();
    EXPECT_EQ(frm.led.FillColor(), kLedOff);
    cl->Connecting(false, 0);  // an automatic attempt is ordered
    frm.ShowLed();
    EXPECT_EQ(frm.led.FillColor(), kLedOffBright);
    EXPECT_EQ(notified, 3);
    link->connected = true;
    cl->DoOnConnect();
    frm.ShowLed();
    EXPECT_EQ(frm.led.FillColor(), kLedOn);
    EXPECT_EQ(notified, 5);  // on, then not bright
}

TEST_F(ChannelControllerTest, SetLightWithTheCurrentValuesDoesNothing) {
    TdsLed1 led;
    led.Init(0, 0, 11, kLedOff, kLedOn, kLedOffBright, kLedOnBright);
    int notified = 0;
    led.FOnChange = [&] { ++notified; };
    led.SetLight(false, false);
    EXPECT_EQ(notified, 0);
    EXPECT_EQ(led.RepaintCount, 0);
    led.SetLight(true, true);
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(led.RepaintCount, 2);
    led.SetBright(true);
    EXPECT_EQ(notified, 2);
    EXPECT_EQ(led.FillColor(), kLedOnBright);
}

TEST_F(ChannelControllerTest, ButtonsOrderConnectAndDisconnect) {
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, false);
    link->connected = false;
    frm.ButtonConnect();
    cl->Connecting(false, 0);
    EXPECT_EQ(link->connectRequests, 1);
    link->connected = true;
    frm.ButtonDisConnect();
    cl->Connecting(false, 0);
    EXPECT_EQ(link->disconnectRequests, 1);
}

class CheckValidTest : public ChannelControllerTest {
  protected:
    CheckValidTest() : tags(journal, &arm) {
        AddKp(1001, "127.0.0.1", 2404);
        AddKp(1002, "127.0.0.1", 2405);
        AddKp(1003, "127.0.0.1", 2404);  // a second station behind the same channel
        const int32_t kps[] = {1001, 1002, 1003, 1001};
        TTagCategoryList cats(1);
        for (int i = 0; i < 4; ++i) {
            TArmRec* rec = arm.AddRec(1, stTS, "T" + std::to_string(i), kArmFlagsTS);
            rec->SetParam(kps[i], "", 3, 100 + i, 0, 0, nullptr, "127.0.0.1", 2404);
            TTagSignal t;
            t.Init("T" + std::to_string(i), 3, 100 + i, "127.0.0.1", 2404, cats.GetPtc(tcn_TS), i);
            tags.AddTag(t);
        }
        TTagSignal orphan;  // a tag without a registry record
        orphan.Init("X", 3, 200, "127.0.0.1", 2404, cats.GetPtc(tcn_TS), -1);
        tags.AddTag(orphan);
        for (int i = 0; i < tags.GetCount(); ++i) tags.GetTag(i)->Value.Qualit = 0;
    }
    void AddKp(int32_t id, const std::string& ip, int32_t port) {
        TKpEthernet kp;
        kp.ID = id;
        kp.IPAddress = ip;
        kp.Port = port;
        kp.kpta = kpta_KP;
        ASSERT_EQ(kpList.Add(kp, errLst), "");
    }
    std::vector<bool> Invalid() {
        std::vector<bool> v;
        for (int i = 0; i < tags.GetCount(); ++i) v.push_back(tags.GetTag(i)->isInvalid());
        return v;
    }

    TErrLstArm errLst;
    TKpList kpList;
    TArmSignals arm;
    TTagSignalList tags;
};

TEST_F(CheckValidTest, OnlyTheStationsOfTheChannelBecomeInvalid) {
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, true, TChannelScope{&kpList, &arm, &tags});
    frm.CheckValid1(false);  // bit clear: nothing
    EXPECT_EQ(Invalid(), (std::vector<bool>{false, false, false, false, false}));
    cl->flag.Op(FSet, bsb_CallDoDisconnect);
    cl->Connecting(false, 0);  // the disconnect handling sets bsb_ClearValid
    ASSERT_TRUE(cl->flag.Op(FYes, bsb_ClearValid));
    frm.CheckValid1(false);
    EXPECT_EQ(Invalid(), (std::vector<bool>{true, false, true, true, false}));
    EXPECT_TRUE(cl->flag.Op(FNo, bsb_ClearValid));
}

TEST_F(CheckValidTest, AllStationsWhenAskedFor) {
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, true, TChannelScope{&kpList, &arm, &tags});
    cl->flag.Op(FSet, bsb_ClearValid);
    frm.CheckValid1(true);
    EXPECT_EQ(Invalid(), (std::vector<bool>{true, true, true, true, false}));
}

TEST_F(CheckValidTest, WithoutRegistriesTheRequestIsStillCleared) {
    auto cl = MakeShared();
    TClient104Frm frm(cl, 0, 0, true);
    cl->flag.Op(FSet, bsb_ClearValid);
    frm.CheckValid1(false);
    EXPECT_TRUE(cl->flag.Op(FNo, bsb_ClearValid));
    EXPECT_EQ(Invalid(), (std::vector<bool>{false, false, false, false, false}));
}

}  // namespace
}  // namespace telegate::testlink
