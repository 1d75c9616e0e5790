#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iec104/Apdu.h"
#include "iec104/Asdu.h"
#include "model/Prmn.h"
#include "model/Tags.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/Notifier.h"
#include "support/Journal.h"

namespace telegate {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kHost = "127.0.0.1";
constexpr int32_t kPort = 2404;

TDateTime Dt(int y, int mo, int d, int h, int mi, int s, int ms) {
    TDateTimeParts p;
    p.year = y;
    p.month = mo;
    p.day = d;
    p.hour = h;
    p.minute = mi;
    p.second = s;
    p.msec = ms;
    TDateTime out = 0;
    EXPECT_TRUE(TryEncodeDateTime(p, out));
    return out;
}

TPrmn Prm(int cot, int ca, int ioa, int orig = 0) {
    TPrmn p;
    p.sz_COT = cot;
    p.sz_ASDUAddress = ca;
    p.sz_InfObjAddress = ioa;
    p.OriginatorAddress = orig;
    p.CommonAsduAddress = 3;
    return p;
}

Bytes Image(const T104APDU& a) {
    return Bytes(a.Data, a.Data + a.lenData);
}

// 7-octet time tag 15.06.2024 12:30:10.000 and its value.
const Bytes kTime7 = {0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x06, 0x18};
// 3-octet tag 47:12.500 (hour and date from the clock).
const Bytes kTime3 = {0xD4, 0x30, 0x2F};

class AsduTest : public ::testing::Test {
  protected:
    AsduTest() { prm = Prm(2, 2, 3); }

    void AddTag(int32_t asdu, int32_t obj, TagCategName kind = tcn_TS) {
        TTagSignal t;
        t.Init("T" + std::to_string(obj), asdu, obj, kHost, kPort, kinds.GetPtc(kind),
               tags.GetCount());
        ASSERT_EQ(tags.AddTag(t), "");
    }
    TTagSignal* Tag(int32_t asdu, int32_t obj) {
        TTagSignal* t = nullptr;
        tags.FindTag(asdu, obj, kHost, kPort, t);
        return t;
    }
    // Decodes one received ASDU (octets from the type identification on) and returns
    // the decoder's own journal lines (change lines of the tags left out).
    std::vector<std::string> Decode(const Bytes& asdu, bool withTags = true) {
        auto a = std::make_unique<TIEC_ASDUt>();
        a->Create(types, asdu, prm, static_cast<int32_t>(asdu.size()), 0);
        a->IP_address2 = kHost;
        a->IP_port3 = kPort;
        a->ReceiveRaspak1(TAsduSinks{withTags ? &tags : nullptr, journal, clock});
        last = std::move(a);
        return Lines();
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> out;
        std::string s;
        while (journal.Get(s))
            if (s.rfind("(ptg1)", 0) != 0) out.push_back(s);
        return out;
    }

    TRecordingNotifier notifier;
    TTypeIdentList types{notifier};
    TManualClock clock{Dt(2024, 3, 10, 14, 25, 0, 0)};
    TMessBuff journal{4000, 0xFFFFFFFFu};
    TTagCategoryList kinds{1};
    TTagSignalList tags{journal};
    TPrmn prm;
    std::unique_ptr<TIEC_ASDUt> last;
};

// ---------------------------------------------------------------- commands

TEST_F(AsduTest, GeneralInterrogationFrame) {
    TIEC_ASDUt a;
    TIEC_ASDUt::CreateAsduInterrogation(types, prm, a);
    ASSERT_NE(a.ptid, nullptr);
    EXPECT_EQ(a.ptid->Name, C_IC_NA);
    EXPECT_EQ(a.nelem, 1);
    T104APDU f;
    ASSERT_TRUE(f.Create(a));
    EXPECT_EQ(Image(f), (Bytes{0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x64, 0x01, 0x06, 0x00, 0x03,
                               0x00, 0x00, 0x00, 0x00, 0x14}));
    f.SetISequence(3, 9);
    EXPECT_EQ(Image(f), (Bytes{0x68, 0x0E, 0x06, 0x00, 0x12, 0x00, 0x64, 0x01, 0x06, 0x00, 0x03,
                               0x00, 0x00, 0x00, 0x00, 0x14}));
    prm.CommonAsduAddress = 0x1234;
    TIEC_ASDUt::CreateAsduInterrogation(types, prm, a);
    ASSERT_TRUE(f.Create(a));
    EXPECT_EQ(Image(f), (Bytes{0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x64, 0x01, 0x06, 0x00, 0x34,
                               0x12, 0x00, 0x00, 0x00, 0x14}));
}

TEST_F(AsduTest, SingleCommandSelectAndExecute) {
    struct Case {
        TTUCommand cmd;
        TStepTU step;
        uint8_t sco;
    };
    const Case cases[] = {{tuCommand_On, stuInit, 0x85},
                          {tuCommand_On, stuFormSelect, 0x85},
                          {tuCommand_Off, stuFormSelect, 0x84},
                          {tuCommand_On, stuFormExecute1, 0x05},
                          {tuCommand_Off, stuFormExecute1, 0x04}};
    for (const Case& c : cases) {
        TIEC_ASDUt a;
        EXPECT_EQ(TIEC_ASDUt::CreateAsduTUCommand(types, c.cmd, c.step, 1, 5000, prm, a), "");
        T104APDU f;
        ASSERT_TRUE(f.Create(a));
        EXPECT_EQ(Image(f), (Bytes{0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x2D, 0x01, 0x06, 0x00, 0x01,
                                   0x00, 0x88, 0x13, 0x00, c.sco}));
    }
}

TEST_F(AsduTest, SingleCommandHeaderSizes) {
    struct Case {
        int cot, ca, ioa, orig;
        Bytes want;
    };
    const Case cases[] = {
        // One-octet cause: no originator octet.
        {1,
         2,
         3,
         0,
         {0x68, 0x0D, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85}},
        {2,
         2,
         3,
         7,
         {0x68, 0x0E, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x07, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85}},
        {2, 0, 3, 0, {0x68, 0x0C, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x00, 0x88, 0x13, 0x00, 0x85}},
        // Offset 9 originator, 10 common address, 11..12 object address.
        {2, 1, 2, 5, {0x68, 0x0C, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x05, 0x01, 0x88, 0x13, 0x85}},
        {2, 2, 1, 0, {0x68, 0x0C, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x00, 0x01, 0x00, 0x88, 0x85}},
        {2, 2, 0, 0, {0x68, 0x0B, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x00, 0x01, 0x00, 0x85}},
        {1, 0, 0, 9, {0x68, 0x08, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x85}},
        {1, 1, 1, 0, {0x68, 0x0A, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x01, 0x88, 0x85}},
        // Damaged sizes are taken as the nearest bound.
        {7,
         9,
         12,
         0,
         {0x68, 0x0E, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x00, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85}},
        {-3, -1, -8, 0, {0x68, 0x08, 0, 0, 0, 0, 0x2D, 0x01, 0x06, 0x85}},
    };
    for (const Case& c : cases) {
        const TPrmn p = Prm(c.cot, c.ca, c.ioa, c.orig);
        TIEC_ASDUt a;
        ASSERT_EQ(
            TIEC_ASDUt::CreateAsduTUCommand(types, tuCommand_On, stuFormSelect, 1, 5000, p, a), "");
        T104APDU f;
        ASSERT_TRUE(f.Create(a));
        EXPECT_EQ(Image(f), c.want) << c.cot << " " << c.ca << " " << c.ioa;
    }
}

TEST_F(AsduTest, UnknownCommandIsRefused) {
    TIEC_ASDUt a;
    a.lenData = 0;
    EXPECT_EQ(
        TIEC_ASDUt::CreateAsduTUCommand(types, tuCommand_Empty, stuFormSelect, 1, 5000, prm, a),
        "CreateAsduTUCommand() Команда не опознана!");
    EXPECT_EQ(a.ptid, nullptr);
}

TEST_F(AsduTest, CommandGoesThroughTheSendWindow) {
    TBufferAPDU window(12);
    TIEC_ASDUt a;
    ASSERT_EQ(
        TIEC_ASDUt::CreateAsduTUCommand(types, tuCommand_Off, stuFormExecute1, 1, 5000, prm, a),
        "");
    std::unique_ptr<T104APDU> f = window.TakeFree();
    ASSERT_TRUE(f->Create(a));
    ASSERT_TRUE(window.Put1(std::move(f)));
    T104APDU* s = window.GetToSend();
    ASSERT_NE(s, nullptr);
    s->SetISequence(1, 2);
    EXPECT_EQ(s->toString("<"), "<68 0E 02 00 04 00 2D 01 06 00 01 00 88 13 00 04 ");
}

TEST_F(AsduTest, ApduBuilderRefusesWhatDoesNotFit) {
    TIEC_ASDUt a;
    T104APDU f;
    a.ptid = nullptr;
    a.lenData = 0;
    EXPECT_FALSE(f.Create(a));
    EXPECT_EQ(f.lenData, 0);
    // A received ASDU with a 300-octet body cannot become a frame (length octet).
    Bytes big(6 + 300, 0);
    big[0] = 1;
    big[1] = 1;
    a.Create(types, big, prm, static_cast<int32_t>(big.size()), 0);
    ASSERT_NE(a.ptid, nullptr);
    EXPECT_FALSE(f.Create(a));
    EXPECT_EQ(f.lenData, 0);
    // The largest command that fits: L = 255.
    std::vector<uint8_t> data(255, 0xAB);
    a.Create(types, 45, 1, 6, 1, 5000, 255, data.data(), prm);
    EXPECT_EQ(a.lenData, 255);
    EXPECT_FALSE(f.Create(a));  // 6 + 2 + 2 + 2 + 3 + 255 octets: L would be 268
    a.Create(types, 45, 1, 6, 1, 5000, 242, data.data(), prm);
    ASSERT_TRUE(f.Create(a));
    EXPECT_EQ(f.lenData, 257);
    EXPECT_EQ(f.Data[1], 255);
    a.Create(types, 45, 1, 6, 1, 5000, 1000, data.data(), prm);
    EXPECT_EQ(a.lenData, 255);
}

// ---------------------------------------------------------------- header parsing

TEST_F(AsduTest, HeaderFields) {
    const Bytes b = {0xAA, 0x0D, 0x84, 0x43, 0x07, 0x34, 0x12, 0x64, 0x00, 0x00};
    TIEC_ASDUt a;
    ASSERT_TRUE(a.Create(types, b, prm, 9, 1));
    EXPECT_EQ(a.ptid, types.FindTypeIdent(13));
    EXPECT_EQ(a.SeqNumb1, 0x84);
    EXPECT_TRUE(a.isSeqence());
    EXPECT_EQ(a.nelem, 4);
    EXPECT_EQ(a.COT, 0x43);
    EXPECT_EQ(a.OriginatorAddress, 7);
    EXPECT_EQ(a.ASDUAddress, 0x1234);
    EXPECT_EQ(a.ObjAddress, 100);
    EXPECT_EQ(a.lenData, 3);
    EXPECT_EQ(Bytes(a.Data1, a.Data1 + 3), (Bytes{0x64, 0x00, 0x00}));

    // One-octet cause: the common address starts at offset 3.
    prm = Prm(1, 2, 3);
    ASSERT_TRUE(a.Create(types, b, prm, 9, 1));
    EXPECT_EQ(a.OriginatorAddress, 0);
    EXPECT_EQ(a.ASDUAddress, 0x3407);
    EXPECT_EQ(a.ObjAddress, 0x6412);
    EXPECT_EQ(a.lenData, 4);

    prm = Prm(2, 0, 2);
    ASSERT_TRUE(a.Create(types, b, prm, 9, 1));
    EXPECT_EQ(a.ASDUAddress, 0);
    EXPECT_EQ(a.ObjAddress, 0x1234);
    prm = Prm(2, 1, 0);
    ASSERT_TRUE(a.Create(types, b, prm, 9, 1));
    EXPECT_EQ(a.ASDUAddress, 0x34);
    EXPECT_EQ(a.ObjAddress, 0);
}

TEST_F(AsduTest, ToStringLine) {
    const Bytes b = {0x0D, 0x84, 0x03, 0x00, 0x34, 0x12, 0x64, 0x00, 0x00};
    TIEC_ASDUt a;
    ASSERT_TRUE(a.Create(types, b, prm, 9, 0));
    EXPECT_EQ(a.ToString(types),
              "TypeIdent=(13)(M_ME_NC) Значение измеряемой величины, короткий формат с плавающей "
              "запятой, SQ=1, ASDUAddr=1234, ObjAddr=000064 nelem=4 COT=3(спорадическая передача)");
    const Bytes n = {0x2D, 0x01, 0x47, 0x00, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85};
    ASSERT_TRUE(a.Create(types, n, prm, 10, 0));
    EXPECT_EQ(a.ToString(types),
              "TypeIdent=(45)(C_SC_NA) Однопозиционная команда, SQ=0, ASDUAddr=0001, "
              "ObjAddr=001388 nelem=1 COT=71(" +
                  std::string(11, '?') + ")");
    const Bytes u = {0x16, 0x01, 0x03, 0x00, 0x01, 0x00};
    ASSERT_TRUE(a.Create(types, u, prm, 6, 0));
    EXPECT_EQ(a.ToString(types), "");
}

// ---------------------------------------------------------------- decoding

TEST_F(AsduTest, SinglePointsWithoutSequence) {
    for (int obj : {10, 11, 12}) AddTag(1, obj);
    const Bytes b = {0x01, 0x03, 0x14, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00,
                     0x01, 0x0B, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x91};
    EXPECT_TRUE(Decode(b).empty());
    EXPECT_EQ(Tag(1, 10)->Value.pdc, dcn_SingleTS1);
    EXPECT_EQ(Tag(1, 10)->Value.bv[0], 1);
    EXPECT_EQ(Tag(1, 10)->Value.Qualit, 0);
    EXPECT_EQ(Tag(1, 11)->Value.bv[0], 0);
    EXPECT_EQ(Tag(1, 12)->Value.bv[0], 1);
    EXPECT_EQ(Tag(1, 12)->Value.Qualit, 0x90);
    EXPECT_EQ(Tag(1, 12)->Value.dt, 0);
}

TEST_F(AsduTest, SizeMismatchChangesNothing) {
    for (int obj : {10, 11, 12}) AddTag(1, obj);
    const Bytes good = {0x01, 0x03, 0x14, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00,
                        0x01, 0x0B, 0x00, 0x00, 0x01, 0x0C, 0x00, 0x00, 0x01};
    Bytes shortB(good.begin(), good.end() - 1);
    Bytes longB = good;
    longB.push_back(0x01);
    for (const Bytes& b : {shortB, longB}) {
        const auto lines = Decode(b);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(
            lines[0],
            "(err) ReceiveRaspak() ошибка в размере блока(M_SP_NA) Одноэлементная информация ТС");
        for (int obj : {10, 11, 12}) EXPECT_FALSE(Tag(1, obj)->FprReceive);
    }
}

TEST_F(AsduTest, DoublePointsSequenceWithIndeterminate) {
    for (int obj : {20, 21, 22, 23}) AddTag(1, obj);
    const Bytes b = {0x03, 0x84, 0x14, 0x00, 0x01, 0x00, 0x14, 0x00, 0x00, 0x01, 0x02, 0x03, 0x42};
    EXPECT_TRUE(Decode(b).empty());
    EXPECT_EQ(Tag(1, 20)->Value.bv[0], 1);
    EXPECT_EQ(Tag(1, 21)->Value.bv[0], 2);
    EXPECT_EQ(Tag(1, 22)->Value.bv[0], 3);
    EXPECT_EQ(Tag(1, 22)->Value.Qualit, 0x80);
    EXPECT_EQ(Tag(1, 23)->Value.bv[0], 2);
    EXPECT_EQ(Tag(1, 23)->Value.Qualit, 0x40);
    EXPECT_EQ(Tag(1, 23)->Value.pdc, dcn_DoubleTS);
}

TEST_F(AsduTest, FloatSequenceAddressesFollowTheBase) {
    for (int obj = 100; obj < 104; ++obj) AddTag(1, obj, tcn_TIT);
    Bytes b = {0x0D, 0x84, 0x03, 0x00, 0x01, 0x00, 0x64, 0x00, 0x00};
    const float vals[] = {1.5f, -2.25f, 1000.0f, 0.125f};
    for (int i = 0; i < 4; ++i) {
        uint8_t o[4];
        std::memcpy(o, &vals[i], 4);
        b.insert(b.end(), o, o + 4);
        b.push_back(static_cast<uint8_t>(i == 3 ? 0x10 : 0x00));
    }
    ASSERT_EQ(b.size(), 6u + 3 + 4 * 5);
    EXPECT_TRUE(Decode(b).empty());
    for (int i = 0; i < 4; ++i) {
        const TTagSignal* t = Tag(1, 100 + i);
        ASSERT_TRUE(t->FprReceive);
        int32_t iv = 0;
        uint8_t q = 0;
        double fv = 0;
        TDateTime dt = 0;
        t->GetArmValue(iv, q, fv, dt);
        EXPECT_DOUBLE_EQ(fv, vals[i]);
        EXPECT_EQ(q, i == 3 ? 0x10 : 0x00);
    }
}

TEST_F(AsduTest, TimeTagsThreeAndSevenOctets) {
    AddTag(1, 10);
    AddTag(1, 11);
    Bytes b = {0x02, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01};
    b.insert(b.end(), kTime3.begin(), kTime3.end());
    EXPECT_TRUE(Decode(b).empty());
    EXPECT_DOUBLE_EQ(Tag(1, 10)->Value.dt, Dt(2024, 3, 10, 14, 47, 12, 500));

    b = {0x1E, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0B, 0x00, 0x00, 0x01};
    b.insert(b.end(), kTime7.begin(), kTime7.end());
    EXPECT_TRUE(Decode(b).empty());
    EXPECT_DOUBLE_EQ(Tag(1, 11)->Value.dt, Dt(2024, 6, 15, 12, 30, 10, 0));
}

TEST_F(AsduTest, ValueTimeIsTheTimeTagOrWhenTheValueArrived) {
    AddTag(1, 10);
    // M_SP_TA with a time tag: the value's time is the station's.
    Bytes timed = {0x02, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01};
    timed.insert(timed.end(), kTime3.begin(), kTime3.end());
    EXPECT_TRUE(Decode(timed).empty());
    const TValue1& v = Tag(1, 10)->Value;
    EXPECT_TRUE(v.timeTagged);
    EXPECT_DOUBLE_EQ(v.ValueTime(), Dt(2024, 3, 10, 14, 47, 12, 500));
    EXPECT_DOUBLE_EQ(v.received, clock.Now());
    // Later an M_SP_NA without one: the old time tag stays behind, and the value's
    // time is when it arrived.
    clock.Advance(90000);
    EXPECT_TRUE(Decode({0x01, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x00}).empty());
    EXPECT_FALSE(v.timeTagged);
    EXPECT_DOUBLE_EQ(v.dt, Dt(2024, 3, 10, 14, 47, 12, 500));
    EXPECT_DOUBLE_EQ(v.ValueTime(), Dt(2024, 3, 10, 14, 26, 30, 0));
}

TEST_F(AsduTest, SequenceSharesTheTimeTagAtTheEnd) {
    for (int obj : {50, 51}) AddTag(1, obj, tcn_TIT);
    // M_ME_TF, SQ = 1, two floats, one common time tag.
    Bytes b = {0x24, 0x82, 0x03, 0x00, 0x01, 0x00, 0x32, 0x00, 0x00, 0x00,
               0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00};
    b.insert(b.end(), kTime7.begin(), kTime7.end());
    EXPECT_TRUE(Decode(b).empty());
    EXPECT_DOUBLE_EQ(last->BlockDate, Dt(2024, 6, 15, 12, 30, 10, 0));
    EXPECT_EQ(last->BlockAddress, 50);
    for (int obj : {50, 51})
        EXPECT_DOUBLE_EQ(Tag(1, obj)->Value.dt, Dt(2024, 6, 15, 12, 30, 10, 0));
    EXPECT_EQ(Tag(1, 51)->Value.bv[3], 0x40);
}

TEST_F(AsduTest, BadTimeTagStillDeliversTheObject) {
    AddTag(1, 10);
    Bytes b = {0x1E, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00,
               0x01, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x04, 0x18};  // 31 April
    const auto lines = Decode(b);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "(err) Error! u_TypeIdent.GetDate(). Плохая метка времени");
    EXPECT_TRUE(Tag(1, 10)->FprReceive);
    EXPECT_EQ(Tag(1, 10)->Value.bv[0], 1);
    EXPECT_EQ(Tag(1, 10)->Value.dt, 0);
}

// Every monitoring type the decoder stores, one ASDU with two objects, with and
// without SQ: the value octets, quality octet, data kind and time reach the tags.
TEST_F(AsduTest, EveryMonitoringType) {
    struct Case {
        int code;
        TagCategName kind;
        int qoff;  // quality octet offset in the value octets, -1 none
    };
    const Case cases[] = {
        {1, dcn_SingleTS1, -2}, {2, dcn_SingleTS1, -2}, {30, dcn_SingleTS1, -2},
        {3, dcn_DoubleTS, -2},  {4, dcn_DoubleTS, -2},  {31, dcn_DoubleTS, -2},
        {5, dcn_Diskr7, 1},     {6, dcn_Diskr7, 1},     {32, dcn_Diskr7, 1},
        {7, dcn_TS32, 4},       {8, dcn_TS32, 4},       {33, dcn_TS32, 4},
        {9, dcn_TITnorm, 2},    {10, dcn_TITnorm, 2},   {34, dcn_TITnorm, 2},
        {11, dcn_TITscale1, 2}, {12, dcn_TITscale1, 2}, {35, dcn_TITscale1, 2},
        {13, dcn_TITfloat, 4},  {14, dcn_TITfloat, 4},  {36, dcn_TITfloat, 4},
        {15, dcn_TII, 4},       {16, dcn_TII, 4},       {37, dcn_TII, 4},
        {20, dcn_TS16IZM, 4},   {21, dcn_TITnorm, -1},
    };
    int base = 1000;
    for (const Case& c : cases) {
        const TTypeIdent* t = types.FindTypeIdent(c.code);
        ASSERT_NE(t, nullptr);
        const bool point = c.qoff == -2;
        for (bool sq : {false, true}) {
            SCOPED_TRACE(std::to_string(c.code) + (sq ? " SQ=1" : " SQ=0"));
            base += 10;
            AddTag(7, base, point ? tcn_TS : tcn_TIT);
            AddTag(7, base + 1, point ? tcn_TS : tcn_TIT);
            Bytes b = {static_cast<uint8_t>(c.code),
                       static_cast<uint8_t>(sq ? 0x82 : 0x02),
                       0x14,
                       0x00,
                       0x07,
                       0x00};
            auto addr = [&](int a) {
                b.push_back(static_cast<uint8_t>(a));
                b.push_back(static_cast<uint8_t>(a >> 8));
                b.push_back(0);
            };
            const Bytes& tt = t->timelen == 3 ? kTime3 : kTime7;
            std::vector<Bytes> values;
            for (int k = 0; k < 2; ++k) {
                Bytes v;
                for (int j = 0; j < t->objlen; ++j)
                    v.push_back(static_cast<uint8_t>(0x21 + 16 * k + j));
                if (point) v[0] = static_cast<uint8_t>(k == 0 ? 0x01 : 0x22);
                values.push_back(v);
            }
            if (sq) addr(base);
            for (int k = 0; k < 2; ++k) {
                if (!sq) addr(base + k);
                b.insert(b.end(), values[static_cast<size_t>(k)].begin(),
                         values[static_cast<size_t>(k)].end());
                if (!sq && t->timelen > 0) b.insert(b.end(), tt.begin(), tt.end());
            }
            if (sq && t->timelen > 0) b.insert(b.end(), tt.begin(), tt.end());

            EXPECT_TRUE(Decode(b).empty());
            for (int k = 0; k < 2; ++k) {
                const TTagSignal* tag = Tag(7, base + k);
                const Bytes& v = values[static_cast<size_t>(k)];
                ASSERT_TRUE(tag->FprReceive);
                EXPECT_EQ(tag->Value.pdc, c.kind);
                EXPECT_EQ(tag->Value.qtype, t->qtype);
                if (point) {
                    const uint8_t mask = c.kind == dcn_DoubleTS ? 3 : 1;
                    EXPECT_EQ(tag->Value.bv[0], v[0] & mask);
                    EXPECT_EQ(tag->Value.Qualit, v[0] & ~mask & 0xFF);
                } else {
                    const int len = CategValueLen(c.kind);
                    EXPECT_EQ(Bytes(tag->Value.bv, tag->Value.bv + len),
                              Bytes(v.begin(), v.begin() + len));
                    EXPECT_EQ(tag->Value.Qualit, c.qoff >= 0 ? v[static_cast<size_t>(c.qoff)] : 0);
                }
                if (t->timelen == 3)
                    EXPECT_DOUBLE_EQ(tag->Value.dt, Dt(2024, 3, 10, 14, 47, 12, 500));
                else if (t->timelen == 7)
                    EXPECT_DOUBLE_EQ(tag->Value.dt, Dt(2024, 6, 15, 12, 30, 10, 0));
                else
                    EXPECT_EQ(tag->Value.dt, 0);
            }
        }
    }
}

TEST_F(AsduTest, BitStringOfEightSpreadsOverFollowingTags) {
    for (int obj = 100; obj < 116; ++obj) AddTag(1, obj);
    // M_BO_TC, SQ = 1, two octets: objects at 100 and 108.
    Bytes b = {0x88, 0x82, 0x03, 0x00, 0x01, 0x00, 0x64, 0x00, 0x00, 0x05, 0x80};
    b.insert(b.end(), kTime7.begin(), kTime7.end());
    EXPECT_TRUE(Decode(b).empty());
    const int want[16] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) {
        ASSERT_TRUE(Tag(1, 100 + i)->FprReceive) << i;
        EXPECT_EQ(Tag(1, 100 + i)->Value.bv[0], want[i]) << i;
        EXPECT_EQ(Tag(1, 100 + i)->Value.pdc, dcn_TS8a);
    }
}

TEST_F(AsduTest, BitStringWithMissingTagsRemarks) {
    AddTag(1, 100);
    Bytes b = {0x88, 0x01, 0x03, 0x00, 0x01, 0x00, 0x64, 0x00, 0x00, 0x01};
    b.insert(b.end(), kTime7.begin(), kTime7.end());
    const auto lines = Decode(b);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "(iec2) RaspakNewTag1()Нет тега с адресом=107 Код=136");
    EXPECT_EQ(Tag(1, 100)->Value.bv[0], 1);
}

TEST_F(AsduTest, CommandConfirmationsAndOtherRemarks) {
    const Bytes actCon = {0x2D, 0x01, 0x07, 0x00, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85};
    EXPECT_EQ(Decode(actCon),
              (std::vector<std::string>{"(iec2) подтверждение активации ТУ. Адрес=5000"}));
    const Bytes term = {0x2D, 0x01, 0x0A, 0x00, 0x01, 0x00, 0x88, 0x13, 0x00, 0x05};
    EXPECT_EQ(Decode(term),
              (std::vector<std::string>{"(iec2) завершение активации ТУ. Адрес=5000"}));
    const Bytes negative = {0x2D, 0x01, 0x47, 0x00, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85};
    EXPECT_TRUE(Decode(negative).empty());
    const Bytes gi = {0x64, 0x01, 0x0A, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x14};
    EXPECT_EQ(Decode(gi),
              (std::vector<std::string>{"(iec2) КП сообщает о завершении Команды опроса"}));
    const Bytes delay = {0x6A, 0x01, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x10, 0x27};
    EXPECT_EQ(Decode(delay),
              (std::vector<std::string>{"(iec2) Кадр задержки не ждали. Игнорируем"}));
    const Bytes endInit = {0x46, 0x01, 0x04, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(Decode(endInit).empty());
    // M_EP_TA: catalogued, not handled; one remark per object.
    Bytes ep = {0x11, 0x02, 0x03, 0x00, 0x01, 0x00};
    for (int k = 0; k < 2; ++k) {
        const Bytes o = {0x0A, 0x00, 0x00, 0x01, 0x02, 0x03};
        ep.insert(ep.end(), o.begin(), o.end());
        ep.insert(ep.end(), kTime3.begin(), kTime3.end());
    }
    EXPECT_EQ(Decode(ep),
              (std::vector<std::string>{"(iec2) Нет обработки принятого кадра с типом=17",
                                        "(iec2) Нет обработки принятого кадра с типом=17"}));
}

TEST_F(AsduTest, ObjectWithoutTagIsReportedAndOthersStillDecoded) {
    AddTag(1, 11);
    const Bytes b = {0x01, 0x02, 0x14, 0x00, 0x01, 0x00, 0x0A,
                     0x00, 0x00, 0x01, 0x0B, 0x00, 0x00, 0x01};
    const auto lines = Decode(b);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "(iec2) Нет адреса 0001:00000A для бработки принятого кадра с типом=1");
    EXPECT_EQ(Tag(1, 11)->Value.bv[0], 1);
    // Another host or port never matches.
    auto a = std::make_unique<TIEC_ASDUt>();
    a->Create(types, b, prm, static_cast<int32_t>(b.size()), 0);
    a->IP_address2 = "127.0.0.2";
    a->IP_port3 = kPort;
    a->ReceiveRaspak1(TAsduSinks{&tags, journal, clock});
    EXPECT_EQ(Lines().size(), 2u);
    // No tag list at all.
    EXPECT_EQ(Decode(b, false).size(), 2u);
}

TEST_F(AsduTest, FilteredJournalStillStores) {
    TMessBuff quiet(10, 0);
    TTagSignalList qtags(quiet);
    TTagSignal t;
    t.Init("A", 1, 11, kHost, kPort, kinds.GetPtc(tcn_TS), 0);
    ASSERT_EQ(qtags.AddTag(t), "");
    const Bytes b = {0x01, 0x02, 0x14, 0x00, 0x01, 0x00, 0x0A,
                     0x00, 0x00, 0x01, 0x0B, 0x00, 0x00, 0x01};
    TIEC_ASDUt a;
    a.Create(types, b, prm, static_cast<int32_t>(b.size()), 0);
    a.IP_address2 = kHost;
    a.IP_port3 = kPort;
    a.ReceiveRaspak1(TAsduSinks{&qtags, quiet, clock});
    TTagSignal* got = nullptr;
    qtags.FindTag(1, 11, kHost, kPort, got);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->Value.bv[0], 1);
    std::string s;
    EXPECT_FALSE(quiet.Get(s));
}

TEST_F(AsduTest, RaspakInformObjectDirectly) {
    AddTag(1, 10);
    const Bytes b = {0x01, 0x01, 0x14, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01};
    TIEC_ASDUt a;
    a.Create(types, b, prm, static_cast<int32_t>(b.size()), 0);
    a.IP_address2 = kHost;
    a.IP_port3 = kPort;
    const TAsduSinks sinks{&tags, journal, clock};
    EXPECT_EQ(a.RaspakInformObject(0, 1, sinks), "");  // would run past Data1: not decoded
    EXPECT_EQ(a.RaspakInformObject(0, -1, sinks), "");
    EXPECT_FALSE(Tag(1, 10)->FprReceive);
    EXPECT_EQ(a.RaspakInformObject(0, 0, sinks), "");
    EXPECT_TRUE(Tag(1, 10)->FprReceive);
}

// ---------------------------------------------------------------- damaged input

TEST_F(AsduTest, DamagedAsdus) {
    AddTag(1, 10);
    TIEC_ASDUt a;
    // Shorter than its header.
    const Bytes tiny = {0x01, 0x01, 0x03, 0x00, 0x01};
    EXPECT_FALSE(a.Create(types, tiny, prm, 5, 0));
    EXPECT_EQ(a.ptid, nullptr);
    EXPECT_EQ(a.lenData, 0);
    // Count or position outside the source.
    const Bytes b = {0x01, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01};
    EXPECT_FALSE(a.Create(types, b, prm, 11, 0));
    EXPECT_FALSE(a.Create(types, b, prm, 10, 1));
    EXPECT_FALSE(a.Create(types, b, prm, 6, -1));
    EXPECT_FALSE(a.Create(types, b, prm, 6, 100));
    EXPECT_TRUE(Decode(tiny).empty());
    // Header only, uncatalogued codes: silently skipped.
    for (int code : {22, 29, 41, 99, 255}) {
        Bytes u = b;
        u[0] = static_cast<uint8_t>(code);
        EXPECT_TRUE(Decode(u).empty()) << code;
    }
    // nelem 0: nothing to decode when there is no data, a size remark when there is.
    EXPECT_TRUE(Decode({0x01, 0x00, 0x03, 0x00, 0x01, 0x00}).empty());
    EXPECT_EQ(Decode({0x01, 0x00, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01}).size(), 1u);
    EXPECT_EQ(Decode({0x01, 0x80, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00}).size(), 0u);
    // nelem 127 with one object's octets.
    EXPECT_EQ(Decode({0x01, 0x7F, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01}).size(), 1u);
    EXPECT_EQ(Decode({0x0D, 0xFF, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01}).size(), 1u);
    EXPECT_FALSE(Tag(1, 10)->FprReceive);
    // nelem 127 with exactly enough octets is decoded (SQ = 1 single points).
    Bytes full = {0x01, 0xFF, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00};
    full.insert(full.end(), 127, 0x01);
    const auto lines = Decode(full);
    EXPECT_EQ(lines.size(), 126u);  // objects 11..136 have no tag
    EXPECT_TRUE(Tag(1, 10)->FprReceive);
}

TEST_F(AsduTest, DamagedSizesAreBroughtIntoRange) {
    AddTag(1, 10);
    const Bytes b = {0x01, 0x01, 0x03, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x01};
    // sz_InfObjAddress 9 reads as 3, sz_COT 0 as 1, sz_ASDUAddress 5 as 2.
    prm = Prm(2, 5, 9);
    EXPECT_TRUE(Decode(b).empty());
    EXPECT_TRUE(Tag(1, 10)->FprReceive);
    prm = Prm(0, 2, 3);
    const Bytes c = {0x01, 0x01, 0x03, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x00};
    EXPECT_TRUE(Decode(c).empty());
    EXPECT_EQ(Tag(1, 10)->Value.bv[0], 0);
    // Negative object address size: no address octets at all.
    prm = Prm(2, 2, -4);
    const Bytes d = {0x01, 0x01, 0x03, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(Decode(d),
              (std::vector<std::string>{
                  "(iec2) Нет адреса 0001:000000 для бработки принятого кадра с типом=1"}));
}

TEST_F(AsduTest, RandomDamageNeverReadsOutside) {
    for (int obj = 0; obj < 64; ++obj) AddTag(obj % 3, obj);
    uint32_t rnd = 2024;
    auto next = [&rnd]() {
        rnd = rnd * 1664525u + 1013904223u;
        return rnd >> 8;
    };
    const int kSizes[] = {-1, 0, 1, 2, 3, 4, 200};
    for (int i = 0; i < 20000; ++i) {
        prm = Prm(kSizes[next() % 7], kSizes[next() % 7], kSizes[next() % 7]);
        // Catalogued codes most of the time, so decoding runs deep.
        const TTypeIdent* t = types.GetIdent(static_cast<int>(next() % 67));
        Bytes b(next() % 40);
        for (auto& o : b) o = static_cast<uint8_t>(next());
        if (!b.empty()) b[0] = static_cast<uint8_t>(t->Code);
        if (b.size() > 1) b[1] = static_cast<uint8_t>((b[1] & 0x80) | (next() % 4));
        // Exact heap size, so ASan catches any read past the end.
        std::unique_ptr<uint8_t[]> heap(new uint8_t[b.size() + 1]);
        if (!b.empty()) std::memcpy(heap.get(), b.data(), b.size());
        TIEC_ASDUt a;
        a.Create(types, std::span<const uint8_t>(heap.get(), b.size()), prm,
                 static_cast<int32_t>(b.size()), 0);
        a.IP_address2 = kHost;
        a.IP_port3 = kPort;
        a.ReceiveRaspak1(TAsduSinks{&tags, journal, clock});
        std::string s;
        while (journal.Get(s)) {
        }
        ASSERT_LE(a.lenData, static_cast<int32_t>(b.size()));
    }
}

}  // namespace
}  // namespace telegate
