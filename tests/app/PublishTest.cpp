#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PollingFixture.h"
#include "app/Publish.h"
#include "support/TraceFiles.h"

namespace telegate {
namespace {

using namespace testing_polling;

TEST(PublishQuality, MapsTheFirstMatchingBit) {
    EXPECT_EQ(OpcQualityOfIec(0x00), 192);
    EXPECT_EQ(OpcQualityOfIec(0x80), 0);
    EXPECT_EQ(OpcQualityOfIec(0x90), 0);  // invalid wins over blocked
    EXPECT_EQ(OpcQualityOfIec(0x40), 20);
    EXPECT_EQ(OpcQualityOfIec(0xC0), 0);
    EXPECT_EQ(OpcQualityOfIec(0x30), 216);  // substituted wins over blocked
    EXPECT_EQ(OpcQualityOfIec(0x20), 216);
    EXPECT_EQ(OpcQualityOfIec(0x10), 28);
    EXPECT_EQ(OpcQualityOfIec(0x01), 192);  // overflow bit: still good
}

TEST(PublishStamp, StationStampsWithinThreeHoursOnly) {
    T_KP kp;
    const TDateTime now = 46000.5;
    kp.Time_To_OPC = true;
    kp.Popravka_Time = 3;
    // One hour old, shifted by three hours: two hours ahead of now.
    EXPECT_NEAR(PublicationStamp(now - kOneHour, kp, now, kOneHour), now + 2 * kOneHour, 1e-9);
    kp.Popravka_Time = 0;
    EXPECT_EQ(PublicationStamp(now - 5 * kOneHour, kp, now, kOneHour), now);
    EXPECT_NEAR(PublicationStamp(now - kOneHour, kp, now, kOneHour), now - kOneHour, 1e-9);
    EXPECT_EQ(PublicationStamp(0, kp, now, kOneHour), now);  // no stamp
    kp.Popravka_Time = 4;                                    // 3 h ahead after the shift: out
    EXPECT_EQ(PublicationStamp(now - kOneHour, kp, now, kOneHour), now);
    kp.Time_To_OPC = false;
    kp.Popravka_Time = 0;
    EXPECT_EQ(PublicationStamp(now - kOneHour, kp, now, kOneHour), now);
}

TEST(PublishStationList, ExactBytesInWindows1251) {
    TContextHolder h;
    TStationTable& t = h.ctx->Stations;
    AddStation(t, "Alpha", 9999, 1, 0, 1);
    AddStation(t, "КП", 9998, 1, 0, 2);
    t.KP_arr[2].IP = "10.0.0.2";
    const std::string text = StationListText(t, [](int n) { return n == 1 ? 2404 : 2405; });
    EXPECT_EQ(text,
              "KP,1001,   1001,   1,   Alpha, 127.0.0.1   ,2404\r\n"
              "KP,1002,   1002,   1,   КП, 10.0.0.2   ,2405\r\n");
    TTempDir dir;
    const std::string path = (dir.Path() / "zzz.dat").string();
    std::string err;
    ASSERT_TRUE(CreateStationListFile(
        path, t, [](int) { return 7; }, &err))
        << err;
    EXPECT_EQ(ReadAll(path),
              "KP,1001,   1001,   1,   Alpha, 127.0.0.1   ,7\r\n"
              "KP,1002,   1002,   1,   \xCA\xCF, 10.0.0.2   ,7\r\n");
    // Into a folder that does not exist: reported, not thrown.
    EXPECT_FALSE(CreateStationListFile((dir.Path() / "no" / "zzz.dat").string(), t,
                                       [](int) { return 7; }, &err));
    EXPECT_FALSE(err.empty());
}

// The identifiers publication writes at come from the OPC address space; a table
// edited since its build gets a new one (stations added later get identifiers too),
// an unchanged table keeps it.
TEST(PublishIds, AssignedByTheAddressSpaceOnce) {
    TContextHolder h;
    TStationTable& t = h.ctx->Stations;
    AddStation(t, "A", 2404, 2, 1, 1);
    AddStation(t, "B", 2405, 1, 1, 2);
    h.ctx->BuildOpcAddressSpace();
    EXPECT_EQ(h.ctx->LifebitId, 11);
    const T_KP& a = t.KP_arr[1];
    const T_KP& b = t.KP_arr[2];
    EXPECT_EQ((std::vector<int32_t>{a.Nom_OPC_1st, a.Nom_OPC_Alarm, a.Nom_OPC_TS, a.Nom_OPC_TI}),
              (std::vector<int32_t>{1, 2, 3, 5}));
    EXPECT_EQ((std::vector<int32_t>{b.Nom_OPC_1st, b.Nom_OPC_Alarm, b.Nom_OPC_TS, b.Nom_OPC_TI}),
              (std::vector<int32_t>{6, 7, 8, 9}));
    EXPECT_EQ(h.ctx->Items.Indent_arr[9].Nomer_Tag, 4);
    EXPECT_EQ(h.ctx->Items.Indent_arr[7].vtDataType, 11);
    h.ctx->BuildOpcAddressSpace();  // unchanged: not rebuilt
    EXPECT_EQ(ReadAll(h.opcDir.Path() / "opcl.txt"), "2\r\n1\r\n");
    AddStation(t, "C", 2406, 1, 1, 3);
    h.ctx->BuildOpcAddressSpace();
    EXPECT_EQ(h.ctx->LifebitId, 15);
    EXPECT_TRUE(ItemIdsAssigned(t.KP_arr[3]));
    EXPECT_EQ(ReadAll(h.opcDir.Path() / "opcl.txt"), "2\r\n1\r\n2\r\n1\r\n1\r\n");
}

class PublishTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Str().empty());
        ctx().Settings.UseWebServer = false;
    }
    TAppContext& ctx() { return *h.ctx; }
    TStationTable& st() { return h.ctx->Stations; }
    // Writes zzz.dat for the table and builds registries and tags.
    std::string Build(TPublisher& pub) {
        CreateStationListFile((dir.Path() / "zzz.dat").string(), st(),
                              [this](int n) { return st().KP_arr[n].Port; });
        pub.NewTagList();
        return pub.LoadData(dir.Str());
    }
    static void SetTs(TTagSignal& tag, int v, uint8_t q, TDateTime dt = 0) {
        const uint8_t octet = static_cast<uint8_t>(v);
        tag.Value.SetParam1(QTS1, dcn_SingleTS1, &octet, true, q, dt);
    }
    static void SetTi(TTagSignal& tag, float v, uint8_t q, TDateTime dt = 0) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        tag.Value.SetParam1(Q8F, dcn_TITfloat, b, true, q, dt);
    }

    TContextHolder h;
    TTempDir dir;
};

TEST_F(PublishTest, LoadDataBuildsOneTagPerRecordInStationOrder) {
    AddStation(st(), "A", 2404, 2, 1, 1);
    AddStation(st(), "B", 2405, 1, 2, 2);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ASSERT_EQ(pub.Tags()->GetCount(), 6);
    EXPECT_EQ(pub.Tags()->GetTag(0)->FName, "TS1");
    EXPECT_EQ(pub.Tags()->GetTag(2)->FName, "TI1");
    EXPECT_EQ(pub.Tags()->GetTag(3)->FAsduAddress, 2);
    EXPECT_EQ(pub.Tags()->GetTag(3)->FPort4, 2405);
    EXPECT_EQ(pub.Registries().KpList.GetCount(), 2);
    EXPECT_EQ(pub.BoundCount(1, false), 2);
    EXPECT_EQ(pub.BoundCount(2, true), 2);
    EXPECT_TRUE(ctx().Settings.ArmDir.back() == '/' || ctx().Settings.ArmDir.back() == '\\');
}

TEST_F(PublishTest, PublishesValuesQualitiesAndTheLinkState) {
    AddStation(st(), "A", 2404, 2, 1, 1);
    AddStation(st(), "B", 2405, 1, 2, 2);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ctx().BuildOpcAddressSpace();
    TTagSignalList& tags = *pub.Tags();
    SetTs(*tags.GetTag(0), 1, 0x00);
    SetTs(*tags.GetTag(1), 0, 0x90);
    SetTi(*tags.GetTag(2), 500.0f, 0x30);
    SetTs(*tags.GetTag(3), 1, 0x40);
    SetTi(*tags.GetTag(4), 250.0f, 0x00);
    SetTi(*tags.GetTag(5), -8.5f, 0x10);
    st().KP_arr[1].Connected = true;
    st().KP_arr[2].PereschetTI = true;  // station B scales 0..1000 to 0..100
    pub.OutOPCTsTit(false);

    const TItemImage& it = ctx().Items;
    const T_KP& a = st().KP_arr[1];
    const T_KP& b = st().KP_arr[2];
    EXPECT_EQ(it.Value_arr[a.Nom_OPC_TS], 1.0);
    EXPECT_EQ(it.Indent_arr[a.Nom_OPC_TS].Quality, 192);
    EXPECT_EQ(it.Value_arr[a.Nom_OPC_TS + 1], 0.0);
    EXPECT_EQ(it.Indent_arr[a.Nom_OPC_TS + 1].Quality, 0);
    EXPECT_EQ(it.Value_arr[a.Nom_OPC_TI], 500.0);  // station A does not scale
    EXPECT_EQ(it.Indent_arr[a.Nom_OPC_TI].Quality, 216);
    EXPECT_EQ(it.Value_arr[a.Nom_OPC_Alarm], 1.0);
    EXPECT_EQ(it.Indent_arr[a.Nom_OPC_Alarm].Quality, 192);
    EXPECT_EQ(it.Value_arr[b.Nom_OPC_TS], 1.0);
    EXPECT_EQ(it.Indent_arr[b.Nom_OPC_TS].Quality, 20);
    EXPECT_EQ(it.Value_arr[b.Nom_OPC_Alarm], 0.0);
    EXPECT_DOUBLE_EQ(it.Value_arr[b.Nom_OPC_TI], 25.0);
    EXPECT_DOUBLE_EQ(it.Value_arr[b.Nom_OPC_TI + 1], -0.85);
    EXPECT_EQ(it.Indent_arr[b.Nom_OPC_TI + 1].Quality, 28);
    EXPECT_EQ(it.Indent_arr[b.Nom_OPC_TI].Stamp_DateTime, h.clock.Now());
}

// A pass writes only what was stored since the previous one, plus every tag of a
// station whose publication settings changed; the link state at every pass.
TEST_F(PublishTest, PassWritesOnlyStoredTagsAndStationsWhoseSettingsChanged) {
    AddStation(st(), "A", 2404, 2, 1, 1);
    AddStation(st(), "B", 2405, 1, 2, 2);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ctx().BuildOpcAddressSpace();
    TTagSignalList& tags = *pub.Tags();
    SetTi(*tags.GetTag(4), 1.0f, 0x00);  // valid, so that it can be invalidated
    pub.OutOPCTsTit(false);
    TItemImage& it = ctx().Items;
    const T_KP& a = st().KP_arr[1];
    const T_KP& b = st().KP_arr[2];
    const std::vector<int> ids = {a.Nom_OPC_TS, a.Nom_OPC_TS + 1, a.Nom_OPC_TI,
                                  b.Nom_OPC_TS, b.Nom_OPC_TI,     b.Nom_OPC_TI + 1};
    auto mark = [&] {
        for (int id : ids) {
            it.Value_arr[id] = -7;
            it.Indent_arr[id].Quality = 7;
        }
        it.Value_arr[a.Nom_OPC_Alarm] = -7;
    };
    auto untouched = [&] {
        std::vector<int> left;
        for (int id : ids)
            if (it.Value_arr[id] == -7 && it.Indent_arr[id].Quality == 7) left.push_back(id);
        return left;
    };
    mark();
    pub.OutOPCTsTit(false);
    EXPECT_EQ(untouched(), ids);  // nothing stored: nothing written
    EXPECT_EQ(it.Value_arr[a.Nom_OPC_Alarm], 0.0);

    // A value received (even an equal one) and an invalidation.
    SetTs(*tags.GetTag(1), 1, 0x00);
    tags.GetTag(1)->SetOnReceive(false);
    tags.GetTag(4)->SetInvalid();
    tags.GetTag(3)->SetOnReceive(true);
    mark();
    pub.OutOPCTsTit(false);
    EXPECT_EQ(untouched(), (std::vector<int>{a.Nom_OPC_TS, a.Nom_OPC_TI, b.Nom_OPC_TI + 1}));
    EXPECT_EQ(it.Value_arr[a.Nom_OPC_TS + 1], 1.0);
    EXPECT_EQ(it.Indent_arr[b.Nom_OPC_TI].Quality, 0);  // invalid

    // Station B's scaling switched on: all of B again, nothing of A.
    st().KP_arr[2].PereschetTI = true;
    mark();
    pub.OutOPCTsTit(false);
    EXPECT_EQ(untouched(), (std::vector<int>{a.Nom_OPC_TS, a.Nom_OPC_TS + 1, a.Nom_OPC_TI}));
    // A new build publishes everything at the next pass.
    ASSERT_EQ(Build(pub), "");
    mark();
    pub.OutOPCTsTit(false);
    EXPECT_TRUE(untouched().empty());
}

TEST_F(PublishTest, StationStampsFollowTimeToOpc) {
    AddStation(st(), "A", 2404, 1, 1, 1);
    st().KP_arr[1].Time_To_OPC = true;
    st().KP_arr[1].Popravka_Time = 3;
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ctx().BuildOpcAddressSpace();
    const TDateTime now = h.clock.Now();
    SetTs(*pub.Tags()->GetTag(0), 1, 0, now - kOneHour);
    SetTi(*pub.Tags()->GetTag(1), 1.0f, 0);  // no stamp: now
    pub.OutOPCTsTit(false);
    EXPECT_NEAR(ctx().Items.Indent_arr[st().KP_arr[1].Nom_OPC_TS].Stamp_DateTime,
                now + 2 * kOneHour, 1e-9);
    EXPECT_EQ(ctx().Items.Indent_arr[st().KP_arr[1].Nom_OPC_TI].Stamp_DateTime, now);
}

TEST_F(PublishTest, StationWithoutSignalsKeepsItsLinkItem) {
    AddStation(st(), "A", 2404, 0, 2, 1);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ctx().Items.SetInitialQualities();
    ctx().BuildOpcAddressSpace();
    st().KP_arr[1].Connected = true;
    SetTi(*pub.Tags()->GetTag(0), 3.0f, 0);
    pub.OutOPCTsTit(false);
    EXPECT_EQ(ctx().Items.Value_arr[st().KP_arr[1].Nom_OPC_TI], 3.0);
    EXPECT_EQ(ctx().Items.Indent_arr[st().KP_arr[1].Nom_OPC_Alarm].Quality, 1);
    EXPECT_EQ(ctx().Items.Value_arr[st().KP_arr[1].Nom_OPC_Alarm], 0.0);
}

TEST_F(PublishTest, NothingIsWrittenBeforeIdentifiersExist) {
    AddStation(st(), "A", 2404, 3, 3, 1);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ctx().Items.SetInitialQualities();
    for (int i = 0; i < 6; ++i) SetTs(*pub.Tags()->GetTag(i), 1, 0);
    pub.OutOPCTsTit(false);
    for (int id = 0; id <= 8; ++id) {
        EXPECT_EQ(ctx().Items.Value_arr[id], 0.0) << id;
        EXPECT_EQ(ctx().Items.Indent_arr[id].Quality, id == 0 ? 0 : 1) << id;
    }
}

TEST_F(PublishTest, IdentifiersFromSixtyThousandAreNotPublished) {
    AddStation(st(), "A", 2404, 4, 0, 1);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    T_KP& kp = st().KP_arr[1];
    kp.Nom_OPC_1st = 59995;
    kp.Nom_OPC_Alarm = 59996;
    kp.Nom_OPC_TS = 59997;  // tags at 59997, 59998, 59999, 60000
    kp.Nom_OPC_TI = 60001;
    for (int i = 0; i < 4; ++i) SetTs(*pub.Tags()->GetTag(i), 1, 0);
    pub.OutOPCTsTit(false);
    EXPECT_EQ(ctx().Items.Value_arr[59999], 1.0);
    EXPECT_EQ(ctx().Items.Value_arr[60000], 0.0);
    EXPECT_EQ(ctx().Items.Indent_arr[60000].Quality, 0);
    // Far beyond the image: nothing is written anywhere.
    kp.Nom_OPC_TS = 2'000'000'000;
    kp.Nom_OPC_Alarm = 2'000'000'000;
    pub.OutOPCTsTit(false);
}

TEST_F(PublishTest, RefusedTagDoesNotShiftItsSuccessors) {
    AddStation(st(), "A", 2404, 3, 0, 1);
    st().KP_arr[1].TS_arr[2].AdrIOA = 1;  // same addresses as TS1: the tag list refuses it
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ASSERT_EQ(pub.Tags()->GetCount(), 2);
    ctx().BuildOpcAddressSpace();
    SetTs(*pub.Tags()->GetTag(0), 0, 0x80);
    SetTs(*pub.Tags()->GetTag(1), 1, 0);  // TS3
    pub.OutOPCTsTit(false);
    const T_KP& kp = st().KP_arr[1];
    EXPECT_EQ(ctx().Items.Indent_arr[kp.Nom_OPC_TS].Quality, 0);
    EXPECT_EQ(ctx().Items.Value_arr[kp.Nom_OPC_TS + 2], 1.0);
    EXPECT_EQ(ctx().Items.Indent_arr[kp.Nom_OPC_TS + 2].Quality, 192);
    EXPECT_EQ(ctx().Items.Value_arr[kp.Nom_OPC_TS + 1], 0.0);
}

TEST_F(PublishTest, BadNumberInStationListIsAnErrorNotAnException) {
    AddStation(st(), "A", 2404, 1, 0, 1);
    TPublisher pub(ctx());
    pub.NewTagList();
    WriteAll(dir.Path() / "zzz.dat", "KP,1001,   x1001,   1,   A, 127.0.0.1   ,2404\r\n");
    std::string err;
    EXPECT_NO_THROW(err = pub.LoadData(dir.Str()));
    EXPECT_NE(err.find("ReadKpList"), std::string::npos) << err;
    EXPECT_EQ(pub.Tags()->GetCount(), 0);
    pub.OutOPCTsTit(false);  // nothing to publish, nothing breaks
}

TEST_F(PublishTest, EmptyStationListRefusesTheBuild) {
    AddStation(st(), "A", 2404, 1, 0, 1);
    TPublisher pub(ctx());
    pub.NewTagList();
    WriteAll(dir.Path() / "zzz.dat", "");
    EXPECT_FALSE(pub.LoadData(dir.Str()).empty());
    EXPECT_EQ(pub.Tags()->GetCount(), 0);
}

TEST_F(PublishTest, ReadersNeverSeeATornItem) {
    AddStation(st(), "A", 2404, 200, 0, 1);
    TPublisher pub(ctx());
    ASSERT_EQ(Build(pub), "");
    ctx().BuildOpcAddressSpace();
    const int first = st().KP_arr[1].Nom_OPC_TS;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            for (int id = first; id < first + 200; id += 17) {
                const TItemSnapshot s = ctx().Items.Snapshot(id);
                // Value 1 is always published good, value 0 always invalid.
                if ((s.Value == 1.0 && s.Quality != 192) || (s.Value == 0.0 && s.Quality == 192))
                    ++bad;
            }
        }
    });
    for (int round = 0; round < 300; ++round) {
        const int v = round & 1;
        for (int i = 0; i < 200; ++i) SetTs(*pub.Tags()->GetTag(i), v, v == 1 ? 0x00 : 0x80);
        pub.OutOPCTsTit(false);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace telegate
