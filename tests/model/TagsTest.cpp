#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "model/Registries.h"
#include "model/Tags.h"
#include "model/TypeCatalogue.h"
#include "support/Journal.h"
#include "support/Notifier.h"

namespace telegate {
namespace {

std::vector<std::string> Drain(TMessBuff& j) {
    std::vector<std::string> out;
    std::string s;
    while (j.Get(s)) out.push_back(s);
    return out;
}

class TagTest : public ::testing::Test {
  protected:
    const TTypeIdent& T(NameTypeIdent n) {
        const TTypeIdent* t = cat.FindTypeIdent(n);
        EXPECT_NE(t, nullptr);
        return *t;
    }
    // A tag of kind TS or TIT (not in a list).
    TTagSignal MakeTag(TagCategName kind, int32_t asdu = 1, int32_t obj = 100,
                       const std::string& name = "Tag") {
        TTagSignal t;
        t.Init(name, asdu, obj, "127.0.0.1", 2404, kinds.GetPtc(kind), 0);
        return t;
    }
    struct TReading {
        int32_t i = -7;
        uint8_t q = 0x55;
        double f = -7.5;
        TDateTime dt = -1;
    };
    static TReading Read(const TTagSignal& t, TDateTime dtIn = -1) {
        TReading r;
        r.dt = dtIn;
        t.GetArmValue(r.i, r.q, r.f, r.dt);
        return r;
    }

    TRecordingNotifier notifier;
    TTypeIdentList cat{notifier};
    TTagCategoryList kinds{1};
    TTagCategoryList dataKinds{2};
    std::string remark;
};

// ---------------------------------------------------------------------------------
// Categories and a new tag

TEST_F(TagTest, CategoryListsHoldTagKindsOrDataKinds) {
    ASSERT_EQ(kinds.Count, 4);
    EXPECT_EQ(kinds.GetPtc(tcn_TS)->FDescr, "ТС");
    EXPECT_EQ(kinds.GetPtc(tcn_TIT)->valuelen, 4);
    EXPECT_EQ(kinds.GetPtc(tcn_TU)->FDescr, "Телеуправление");
    EXPECT_EQ(kinds.GetPtc(dcn_SingleTS1), nullptr);
    ASSERT_EQ(dataKinds.Count, 10);
    EXPECT_EQ(dataKinds.GetPtc(tcn_TS), nullptr);
    EXPECT_EQ(dataKinds.GetPtc(dcn_TITscale1)->FDescr, "ТИТ масштабированное");
    EXPECT_EQ(dataKinds.GetPtc(dcn_TITnorm)->valuelen, 2);
    EXPECT_EQ(dataKinds.GetPtc(dcn_Diskr7)->FDescr, "Дискретная(-64..63)");
    EXPECT_EQ(TTagCategoryList(7).Count, 10);  // any variant but 1: data kinds
    EXPECT_EQ(CategValueLen(tcn_None), 0);
}

TEST_F(TagTest, NewTagIsInvalidWithoutDataKind) {
    TTagSignal t = MakeTag(tcn_TS);
    EXPECT_FALSE(t.FPrNew);
    EXPECT_FALSE(t.FprReceive);
    EXPECT_EQ(t.Value.ptc, tcn_TS);
    EXPECT_EQ(t.Value.pdc, tcn_None);
    EXPECT_TRUE(t.isInvalid());
    EXPECT_EQ(t.GetQualityByte(), 255);
    const TReading r = Read(t, 123.0);
    EXPECT_EQ(r.i, 0);
    EXPECT_EQ(r.f, 0.0);
    EXPECT_EQ(r.q, 0x80);
    EXPECT_EQ(r.dt, 123.0);  // left as passed
    EXPECT_EQ(t.GetValueStr(), "????");
    EXPECT_EQ(t.GetQualityStr(), "----");
}

// ---------------------------------------------------------------------------------
// Storing each kind of value

TEST_F(TagTest, SinglePointSplitsValueAndQuality) {
    TTagSignal t = MakeTag(tcn_TS);
    const std::vector<uint8_t> data = {0x64, 0x00, 0x00, 0x91};
    t.ChangeTS1(T(M_SP_NA), data, 3, 0, remark);
    EXPECT_EQ(remark, "");
    EXPECT_EQ(t.Value.pdc, dcn_SingleTS1);
    EXPECT_EQ(t.Value.bv[0], 1);
    EXPECT_EQ(t.Value.Qualit, 0x90);
    EXPECT_TRUE(t.Value.prQualit);
    EXPECT_EQ(t.Value.qtype, QTS1);
    EXPECT_TRUE(t.FPrNew);
    EXPECT_TRUE(t.FprReceive);
    const TReading r = Read(t);
    EXPECT_EQ(r.i, 1);
    EXPECT_EQ(r.q, 0x90);
    EXPECT_EQ(r.dt, 0.0);
    EXPECT_EQ(t.GetValueStr(), "вкл ");
    EXPECT_EQ(t.GetQualityStr(), "90 (,,BL=1, ,,IV=1, )");
    EXPECT_EQ(t.GetQualityByte(), 0x90);
}

TEST_F(TagTest, DoublePointStates) {
    struct Case {
        uint8_t in;
        uint8_t q;
        const char* text;
        int32_t published;
    };
    const Case cases[] = {{0x00, 0x80, "не опред.", 0}, {0x01, 0x00, "откл", 0},
                          {0x02, 0x00, "вкл ", 1},      {0x03, 0x80, "переходн.", 0},
                          {0x42, 0x40, "вкл ", 1},      {0x80, 0x80, "не опред.", 0}};
    for (const Case& c : cases) {
        TTagSignal t = MakeTag(tcn_TS);
        const uint8_t data[] = {c.in};
        t.ChangeTS1(T(M_DP_TB), data, 0, 45000.5, remark);
        EXPECT_EQ(remark, "");
        EXPECT_EQ(t.Value.pdc, dcn_DoubleTS);
        EXPECT_EQ(t.Value.Qualit, c.q) << int(c.in);
        EXPECT_EQ(t.GetValueStr(), c.text) << int(c.in);
        const TReading r = Read(t);
        EXPECT_EQ(r.i, c.published) << int(c.in);
        EXPECT_EQ(r.dt, 45000.5);
    }
}

TEST_F(TagTest, StepPositionIsSevenBitSigned) {
    struct Case {
        uint8_t v;
        int32_t out;
        const char* text;
    };
    for (const Case& c : {Case{0x7F, -1, "-1"}, Case{0x40, -64, "-64"}, Case{0x3F, 63, "63"},
                          Case{0xBF, 63, "63"}}) {
        TTagSignal t = MakeTag(tcn_TIT);
        const uint8_t data[] = {0xAA, c.v, 0x10};
        t.ChangeVal(T(M_ST_NA), data, 1, 0, remark);
        EXPECT_EQ(remark, "");
        EXPECT_EQ(t.Value.pdc, dcn_Diskr7);
        EXPECT_EQ(t.Value.Qualit, 0x10);
        const TReading r = Read(t);
        EXPECT_EQ(r.i, c.out);
        EXPECT_EQ(r.f, c.out);
        EXPECT_EQ(t.GetValueStr(), c.text);
        EXPECT_EQ(t.GetQualityStr(), "10 (,BL=1, ,,,)");
    }
}

TEST_F(TagTest, BitStringKeepsAllFourOctets) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x01, 0x02, 0x03, 0x04, 0x01};
    t.ChangeVal(T(M_BO_NA), a, 0, 0, remark);
    EXPECT_EQ(remark, "");
    EXPECT_EQ(t.Value.pdc, dcn_TS32);
    EXPECT_EQ(t.Value.Qualit, 0x01);
    EXPECT_EQ(t.Value.bv[3], 0x04);
    const TReading r = Read(t);
    EXPECT_EQ(r.i, 0);
    EXPECT_EQ(r.f, 0.0);
    EXPECT_EQ(t.GetValueStr(), "!!!! не определен вывод величины");
    EXPECT_EQ(t.GetQualityStr(), "01 (OV=1, ,,,,)");
    t.FPrNew = false;
    // A change in the last octet only is a change.
    const uint8_t b[] = {0x01, 0x02, 0x03, 0x05, 0x01};
    t.ChangeVal(T(M_BO_NA), b, 0, 0, remark);
    EXPECT_TRUE(t.FPrNew);
}

TEST_F(TagTest, NormalisedValues) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x00, 0x40, 0x00};
    t.ChangeVal(T(M_ME_NA), a, 0, 0, remark);
    EXPECT_EQ(Read(t).f, 16384.0);
    EXPECT_EQ(t.GetValueStr(), "16384");
    EXPECT_EQ(t.GetQualityStr(), "00 (,,,,,,)");
    const uint8_t b[] = {0x00, 0x80, 0xC0};
    t.ChangeVal(T(M_ME_TD), b, 0, 0, remark);
    EXPECT_EQ(Read(t).f, -32768.0);
    EXPECT_EQ(Read(t).q, 0xC0);

    // Without a quality descriptor: quality 0, always present.
    TTagSignal n = MakeTag(tcn_TIT);
    const uint8_t c[] = {0xFF, 0x7F, 0xFF};  // the third octet is not quality
    n.ChangeVal(T(M_ME_ND), c, 0, 0, remark);
    EXPECT_EQ(remark, "");
    EXPECT_EQ(n.Value.Qualit, 0);
    EXPECT_TRUE(n.Value.prQualit);
    EXPECT_FALSE(n.isInvalid());
    EXPECT_EQ(Read(n).f, 32767.0);
    EXPECT_EQ(n.GetQualityStr(), "00 ()");
    n.SetInvalid();
    n.ChangeVal(T(M_ME_ND), c, 0, 0, remark);
    EXPECT_EQ(n.Value.Qualit, 0);
}

TEST_F(TagTest, ScaledValueUsesQualityBitsAsDecimalScale) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x18, 0xFC, 0x04};
    t.ChangeVal(T(M_ME_NB), a, 0, 0, remark);
    EXPECT_DOUBLE_EQ(Read(t).f, -10.0);
    EXPECT_EQ(t.GetValueStr(), " -10.000");
    EXPECT_EQ(t.GetQualityStr(), "04 (,ZP=2, ,,,,,)");
    const uint8_t b[] = {0x18, 0xFC, 0x00};
    t.ChangeVal(T(M_ME_TE), b, 0, 0, remark);
    EXPECT_DOUBLE_EQ(Read(t).f, -1000.0);
    const uint8_t c[] = {0x18, 0xFC, 0x02};
    t.ChangeVal(T(M_ME_TB), c, 0, 0, remark);
    EXPECT_DOUBLE_EQ(Read(t).f, -100.0);
    const uint8_t d[] = {0x18, 0xFC, 0x96};
    t.ChangeVal(T(M_ME_NB), d, 0, 0, remark);
    EXPECT_DOUBLE_EQ(Read(t).f, -1.0);
    EXPECT_EQ(t.GetQualityStr(), "96 (,ZP=3, ,BL=1, ,,IV=1, )");
}

TEST_F(TagTest, FloatValue) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x00, 0x00, 0xC0, 0x3F, 0x20};  // 1.5, substituted
    t.ChangeVal(T(M_ME_NC), a, 0, 0, remark);
    EXPECT_EQ(t.Value.pdc, dcn_TITfloat);
    EXPECT_EQ(Read(t).f, 1.5);
    EXPECT_EQ(Read(t).q, 0x20);
    EXPECT_EQ(t.GetValueStr(), "   1.500");
    EXPECT_EQ(t.GetQualityStr(), "20 (,,,SB=1, ,,)");
}

TEST_F(TagTest, IntegratedTotalsAreSignAndMagnitude) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x01, 0x00, 0x00, 0x80, 0x40};
    t.ChangeVal(T(M_IT_NA), a, 0, 0, remark);
    EXPECT_EQ(t.Value.pdc, dcn_TII);
    TReading r = Read(t);
    EXPECT_EQ(r.i, -1);
    EXPECT_EQ(r.f, -1.0);
    EXPECT_EQ(r.q, 0x40);
    EXPECT_EQ(t.GetQualityStr(), "40 (,,CA=1, ,)");
    const uint8_t b[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x05};
    t.ChangeVal(T(M_IT_TB), b, 0, 0, remark);
    r = Read(t);
    EXPECT_EQ(r.i, -2147483647);
    EXPECT_EQ(t.GetValueStr(), "-2147483647");
    EXPECT_EQ(t.GetQualityStr(), "05 (SQ=5, ,,,)");
}

TEST_F(TagTest, PackedSinglePointsWithChangeDetection) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x0F, 0x00, 0x01, 0x00, 0x10};
    t.ChangeVal(T(M_PS_NA), a, 0, 0, remark);
    EXPECT_EQ(remark, "");
    EXPECT_EQ(t.Value.pdc, dcn_TS16IZM);
    EXPECT_EQ(t.Value.Qualit, 0x10);
    EXPECT_EQ(t.Value.qtype, QBITS);
    EXPECT_EQ(Read(t).i, 0);
    EXPECT_EQ(t.GetValueStr(), "!!!! не определен вывод величины");
}

TEST_F(TagTest, QualityTextLayouts) {
    TValue1 v;
    v.pdc = dcn_TITnorm;
    v.prQualit = true;
    v.Qualit = 0x90;
    v.qtype = Q8F;
    EXPECT_EQ(v.ToStringQuality(), "90 (,,,BL=1, ,,IV=1, )");
    v.Qualit = 0x04;
    EXPECT_EQ(v.ToStringQuality(), "04 (,ZP=2, ,,,,,)");
    v.qtype = Q1;
    EXPECT_EQ(v.ToStringQuality(), "04");
    v.qtype = Q1S;
    EXPECT_EQ(v.ToStringQuality(), "04 ???? не определен вывод качества");
    v.qtype = Q8I;
    v.Qualit = 0x89;
    EXPECT_EQ(v.ToStringQuality(), "89 (OV=1, AV=1, ,,,IV=1, )");
    v.prQualit = false;
    EXPECT_EQ(v.ToStringQuality(), "????");
    v.pdc = dcn_TII;
    v.prQualit = true;
    v.qtype = Q8TII;
    v.Qualit = 0xFF;
    EXPECT_EQ(v.ToStringQuality(), "FF (SQ=31, CY=1, CA=1, IV=1, )");
}

TEST_F(TagTest, TimeTagIsKeptWhenAValueHasNone) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x10, 0x00, 0x00};
    t.ChangeVal(T(M_ME_TD), a, 0, 45100.25, remark);
    EXPECT_EQ(t.Value.dt, 45100.25);
    const uint8_t b[] = {0x11, 0x00, 0x00};
    t.ChangeVal(T(M_ME_NA), b, 0, 0, remark);
    EXPECT_EQ(t.Value.dt, 45100.25);
    EXPECT_EQ(Read(t).dt, 45100.25);
}

// ---------------------------------------------------------------------------------
// Unsupported types and damaged objects

TEST_F(TagTest, UnsupportedTypesLeaveTheTagUnchanged) {
    TTagSignal t = MakeTag(tcn_TS);
    const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    t.ChangeTS1(T(M_ME_NA), data, 0, 0, remark);
    EXPECT_EQ(remark, "ChangeTS() не обрабатывает код=9");
    EXPECT_EQ(t.Value.pdc, tcn_None);
    EXPECT_FALSE(t.FPrNew);
    t.ChangeVal(T(M_EP_TA), data, 0, 0, remark);
    EXPECT_EQ(remark, "ChangeVal(). Нет распаковки байта качества для кода:" + T(M_EP_TA).Text);
    t.ChangeVal(T(M_SP_NA), data, 0, 0, remark);
    EXPECT_EQ(remark.rfind("ChangeVal(). Нет распаковки байта качества для кода:(M_SP_NA)", 0), 0u);
    EXPECT_EQ(t.Value.pdc, tcn_None);
    EXPECT_FALSE(t.FPrNew);
    // A later good value clears the remark.
    t.ChangeTS1(T(M_SP_NA), data, 0, 0, remark);
    EXPECT_EQ(remark, "");
}

TEST_F(TagTest, ObjectOctetsOutsideTheDataAreRefused) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t four[] = {0x00, 0x00, 0xC0, 0x3F};  // a float needs 5 octets
    t.ChangeVal(T(M_ME_NC), four, 0, 0, remark);
    EXPECT_NE(remark, "");
    EXPECT_EQ(t.Value.pdc, tcn_None);
    t.ChangeVal(T(M_ME_NC), four, -1, 0, remark);
    EXPECT_NE(remark, "");
    t.ChangeVal(T(M_ST_NA), four, 3, 0, remark);  // quality octet would be at 4
    EXPECT_NE(remark, "");
    t.ChangeTS1(T(M_SP_NA), four, 4, 0, remark);
    EXPECT_NE(remark, "");
    t.ChangeTS1(T(M_SP_NA), std::span<const uint8_t>(), 0, 0, remark);
    EXPECT_NE(remark, "");
    t.ChangeVal(T(M_BO_TC), std::span<const uint8_t>(), 0, 0, remark);
    EXPECT_NE(remark, "");
    EXPECT_EQ(t.Value.pdc, tcn_None);
    EXPECT_FALSE(t.FPrNew);
    // The last octets of the data are fine.
    t.ChangeVal(T(M_ST_NA), four, 2, 0, remark);
    EXPECT_EQ(remark, "");
    EXPECT_EQ(Read(t).i, -64);
}

// ---------------------------------------------------------------------------------
// Change detection and invalidation

TEST_F(TagTest, ChangeDetection) {
    TTagSignal t = MakeTag(tcn_TS);
    const uint8_t on[] = {0x01};
    t.ChangeTS1(T(M_SP_TB), on, 0, 45000.0, remark);
    EXPECT_TRUE(t.FPrNew);
    t.FPrNew = false;
    // Same value, new time: not a change, but the time moves.
    t.ChangeTS1(T(M_SP_TB), on, 0, 45000.5, remark);
    EXPECT_FALSE(t.FPrNew);
    EXPECT_EQ(t.Value.dt, 45000.5);
    // Quality change alone is a change.
    const uint8_t onNt[] = {0x41};
    t.ChangeTS1(T(M_SP_NA), onNt, 0, 0, remark);
    EXPECT_TRUE(t.FPrNew);
    t.FPrNew = false;
    const uint8_t off[] = {0x40};
    t.ChangeTS1(T(M_SP_NA), off, 0, 0, remark);
    EXPECT_TRUE(t.FPrNew);
}

TEST_F(TagTest, FirstValueMarksNewEvenWhenEqualToTheInitialOne) {
    TTagSignal t = MakeTag(tcn_TIT);
    // The initial value: octets 0, quality 0x80. A first value that looks the same.
    const uint8_t a[] = {0x00, 0x00, 0x80};
    t.ChangeVal(T(M_ME_NA), a, 0, 0, remark);
    EXPECT_TRUE(t.FPrNew);
    EXPECT_TRUE(t.FprReceive);
}

TEST_F(TagTest, InvalidationMarksOnce) {
    TTagSignal t = MakeTag(tcn_TIT);
    const uint8_t a[] = {0x10, 0x00, 0x00};
    t.ChangeVal(T(M_ME_NA), a, 0, 0, remark);
    t.FPrNew = false;
    EXPECT_FALSE(t.isInvalid());
    t.SetInvalid();
    EXPECT_TRUE(t.isInvalid());
    EXPECT_TRUE(t.FPrNew);
    EXPECT_EQ(Read(t).q, 0x80);
    EXPECT_EQ(Read(t).f, 16.0);  // the value stays
    t.FPrNew = false;
    t.SetInvalid();
    EXPECT_FALSE(t.FPrNew);
    // The next good value is a change back to valid.
    t.ChangeVal(T(M_ME_NA), a, 0, 0, remark);
    EXPECT_TRUE(t.FPrNew);
    EXPECT_FALSE(t.isInvalid());
}

TEST_F(TagTest, DisplayLine) {
    TTagSignal t = MakeTag(tcn_TS, 0x1A, 0x64, "Выключатель");
    const uint8_t a[] = {0x01};
    t.ChangeTS1(T(M_SP_NA), a, 0, 0, remark);
    EXPECT_EQ(t.toString(),
              "Выключатель" + std::string(13, ' ') + " (001A:000064) вкл  00 (,,,,,,)");
    TTagSignal longName = MakeTag(tcn_TIT, 1, 2, std::string(30, 'N'));
    EXPECT_EQ(longName.toString(), std::string(30, 'N') + " (0001:000002) ???? ----");
}

// ---------------------------------------------------------------------------------
// The list

class TagListTest : public TagTest {
  protected:
    TagListTest() {
        sst.Add(1001, "Станция 1");
        sst.Add(1002, "Station 2");
        arm.AddRec(1001, stTS, "A", kArmFlagsTS);
        arm.AddRec(1002, stTIT, "B", kArmFlagsTIT);
    }
    TTagSignal Tag(const std::string& name, int32_t asdu, int32_t obj, const std::string& host,
                   int32_t port, TagCategName kind = tcn_TS, int32_t indArm = 0) {
        TTagSignal t;
        t.Init(name, asdu, obj, host, port, kinds.GetPtc(kind), indArm);
        return t;
    }

    TMessBuff journal{1000, 0xFFFFFFFF};
    TArmSignals arm;
    TSstList sst;
    TTagSignalList list{journal, &arm, &sst};
};

TEST_F(TagListTest, AddTagRefusesEmptyNamesAndDuplicateAddresses) {
    EXPECT_EQ(list.AddTag(Tag("A", 1, 100, "127.0.0.1", 2404)), "");
    EXPECT_EQ(list.AddTag(Tag("", 1, 101, "127.0.0.1", 2404)), "Не задано имя тега");
    EXPECT_EQ(list.AddTag(Tag("B", 1, 100, "127.0.0.1", 2404)),
              "Повтор адреса. имя1=B имя2=A AsduAddress=0001 ObjAddress=000064");
    EXPECT_EQ(list.AddTag(Tag("C", 1, 100, "127.0.0.2", 2404)), "");  // other host
    EXPECT_EQ(list.AddTag(Tag("D", 1, 100, "127.0.0.1", 2405)), "");  // other port
    EXPECT_EQ(list.AddTag(Tag("E", 0, 100, "127.0.0.1", 2404)), "");  // ASDU address 0
    EXPECT_EQ(list.AddTag(Tag("F", 0, 100, "127.0.0.1", 2404)), "");
    EXPECT_EQ(list.AddTag(Tag("G", 2, 0, "127.0.0.1", 2404)), "");  // object address 0
    EXPECT_EQ(list.AddTag(Tag("H", 2, 0, "127.0.0.1", 2404)), "");
    EXPECT_EQ(list.GetCount(), 7);
    const auto lines = Drain(journal);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Не задано имя тега");
    EXPECT_EQ(lines[1], "Повтор адреса. имя1=B имя2=A AsduAddress=0001 ObjAddress=000064");
    EXPECT_EQ(list.GetTag(7), nullptr);
    EXPECT_EQ(list.GetTag(-1), nullptr);
    EXPECT_EQ(list.GetTag(6)->FName, "H");
}

// Every lookup is checked without and with the station index built.
TEST_F(TagListTest, FindTagByAllFourAddressesFirstMatch) {
    for (const bool indexed : {false, true}) {
        SCOPED_TRACE(indexed ? "station index" : "hash");
        list.AddTag(Tag("A", 1, 100, "127.0.0.1", 2404));
        list.AddTag(Tag("E", 0, 7, "127.0.0.1", 2404));
        list.AddTag(Tag("F", 0, 7, "127.0.0.1", 2404));
        list.AddTag(Tag("C", 1, 100, "127.0.0.2", 2404));
        list.AddTag(Tag("W", 1, 0xFFFFFF, "127.0.0.1", 2404));  // far from 100: a sparse table
        if (indexed) list.BuildIndex();
        EXPECT_EQ(list.IndexBuilt(), indexed);
        TTagSignal* t = nullptr;
        EXPECT_EQ(list.FindTag(1, 100, "127.0.0.1", 2404, t), 0);
        EXPECT_EQ(t->FName, "A");
        EXPECT_EQ(list.FindTag(0, 7, "127.0.0.1", 2404, t), 1);
        EXPECT_EQ(t->FName, "E");
        EXPECT_EQ(list.FindTag(1, 100, "127.0.0.2", 2404, t), 3);
        EXPECT_EQ(list.FindTag(1, 0xFFFFFF, "127.0.0.1", 2404, t), 4);
        EXPECT_EQ(list.FindTag(1, 101, "127.0.0.1", 2404, t), -1);
        EXPECT_EQ(list.FindTag(1, 100, "127.0.0.3", 2404, t), -1);
        EXPECT_EQ(t, nullptr);
        EXPECT_EQ(list.FindTag(1, 100, "127.0.0.1 ", 2404, t), -1);  // exact text
        EXPECT_EQ(list.FindTag(1, 100, "127.0.0.1", 2405, t), -1);
        EXPECT_EQ(list.FindTag(2, 100, "127.0.0.1", 2404, t), -1);
        // A tag added after the build is found: the index gives way to the hash.
        list.AddTag(Tag("L", 2, 100, "127.0.0.1", 2404));
        EXPECT_FALSE(list.IndexBuilt());
        EXPECT_EQ(list.FindTag(2, 100, "127.0.0.1", 2404, t), 5);
        list.Clear();
        EXPECT_EQ(list.GetCount(), 0);
        EXPECT_EQ(list.FindTag(1, 100, "127.0.0.1", 2404, t), -1);
    }
}

TEST_F(TagListTest, FindTagAgreesWithALinearScan) {
    // Object addresses close together (dense tables) and far apart (sorted pairs).
    for (const int32_t spread : {1, 100003}) {
        for (const bool indexed : {false, true}) {
            SCOPED_TRACE(std::to_string(spread) + (indexed ? " station index" : " hash"));
            list.Clear();
            std::mt19937 rng(12345);
            const char* hosts[] = {"127.0.0.1", "127.0.0.2", "localhost"};
            for (int i = 0; i < 3000; ++i) {
                list.AddTag(Tag("T" + std::to_string(i), static_cast<int32_t>(rng() % 3),
                                static_cast<int32_t>(rng() % 40) * spread, hosts[rng() % 3],
                                2404 + static_cast<int32_t>(rng() % 2)));
            }
            if (indexed) list.BuildIndex();
            for (int i = 0; i < 3000; ++i) {
                const int32_t asdu = static_cast<int32_t>(rng() % 4);
                const int32_t obj = static_cast<int32_t>(rng() % 42) * spread + (i % 7 == 0);
                const std::string host = hosts[rng() % 3];
                const int32_t port = 2404 + static_cast<int32_t>(rng() % 3);
                int32_t expected = -1;
                for (int32_t k = 0; k < list.GetCount(); ++k) {
                    const TTagSignal& x = *list.GetTag(k);
                    if (x.FObjAddress == obj && x.FAsduAddress == asdu && x.FIP_adrr4 == host &&
                        x.FPort4 == port) {
                        expected = k;
                        break;
                    }
                }
                TTagSignal* t = nullptr;
                ASSERT_EQ(list.FindTag(asdu, obj, host, port, t), expected);
                EXPECT_EQ(t, expected >= 0 ? list.GetTag(expected) : nullptr);
            }
        }
    }
}

TEST_F(TagListTest, ChangedTagsDrainInListOrder) {
    for (int i = 0; i < 5; ++i) list.AddTag(Tag("T" + std::to_string(i), 1, 10 + i, "h", 1));
    const uint8_t on[] = {0x01};
    TTagSignal* t = nullptr;
    EXPECT_FALSE(list.GetChangedTag(t));
    list.GetTag(3)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    list.GetTag(1)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    ASSERT_TRUE(list.GetChangedTag(t));
    EXPECT_EQ(t, list.GetTag(1));
    EXPECT_FALSE(t->FPrNew);
    // A tag before the last one found gets marked in the middle of the drain.
    list.GetTag(0)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    ASSERT_TRUE(list.GetChangedTag(t));
    EXPECT_EQ(t, list.GetTag(0));
    ASSERT_TRUE(list.GetChangedTag(t));
    EXPECT_EQ(t, list.GetTag(3));
    EXPECT_FALSE(list.GetChangedTag(t));
    EXPECT_FALSE(list.GetChangedTag(t));
    // After a full drain new marks are found again, and the flag stays while not drained.
    list.GetTag(2)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    list.GetTag(4)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    ASSERT_TRUE(list.GetChangedTag(t));
    EXPECT_EQ(t, list.GetTag(2));
    ASSERT_TRUE(list.GetChangedTag(t));
    EXPECT_EQ(t, list.GetTag(4));
    EXPECT_FALSE(list.GetChangedTag(t));
}

TEST_F(TagListTest, SameValueTwiceAfterStartMarksOnce) {
    list.AddTag(Tag("T", 1, 10, "h", 1));
    const uint8_t on[] = {0x01};
    TTagSignal* t = nullptr;
    list.GetTag(0)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    ASSERT_TRUE(list.GetChangedTag(t));
    list.GetTag(0)->ChangeTS1(T(M_SP_NA), on, 0, 0, remark);
    EXPECT_FALSE(list.GetChangedTag(t));
}

TEST_F(TagListTest, ChangeLinesAndSubstationMarks) {
    list.AddTag(Tag("Выкл 1", 0x1A, 0x64, "127.0.0.1", 2404, tcn_TS, 0));
    list.AddTag(Tag("U", 0x1A, 0x65, "127.0.0.1", 2404, tcn_TIT, 1));
    TSst* s1 = sst.FindSst(1001);
    TSst* s2 = sst.FindSst(1002);
    s1->flss.Op(FClear, bflssChanged);
    s2->flss.Op(FClear, bflssChanged);

    const uint8_t sp[] = {0x01};
    list.GetTag(0)->ChangeTS1(T(M_SP_NA), sp, 0, 0, remark);
    EXPECT_TRUE(s1->flss.Op(FYes, bflssReceiveTsTit));
    EXPECT_TRUE(s1->flss.Op(FYes, bflssChanged));
    // Measurements do not mark the substation.
    const uint8_t me[] = {0x18, 0xFC, 0x04};
    list.GetTag(1)->ChangeVal(T(M_ME_NB), me, 0, 0, remark);
    EXPECT_FALSE(s2->flss.Op(FYes, bflssReceiveTsTit));
    // Only the first two-state value marks the substation as changed.
    s1->flss.Op(FClear, bflssChanged);
    list.GetTag(0)->ChangeTS1(T(M_SP_NA), sp, 0, 0, remark);
    EXPECT_FALSE(s1->flss.Op(FYes, bflssChanged));

    const auto lines = Drain(journal);
    ASSERT_EQ(lines.size(), 3u);  // the mark stays until drained: the repeat writes again
    EXPECT_EQ(lines[0], "(ptg1) New TS,TIT:(001A:000064), ПС(1001) Выкл 1, вкл ");
    EXPECT_EQ(lines[1], "(ptg1) New TS,TIT:(001A:000065), ПС(1002) U,  -10.000");
    EXPECT_EQ(lines[2], lines[0]);

    // Filtered category: nothing is written.
    journal.MBufFlag = 0;
    list.GetTag(0)->SetInvalid();
    list.GetTag(0)->ChangeTS1(T(M_SP_NA), sp, 0, 0, remark);
    EXPECT_TRUE(Drain(journal).empty());
}

TEST_F(TagListTest, TagWithoutRegistryRecordReportsStationZero) {
    TTagSignalList bare(journal);
    bare.AddTag(Tag("X", 1, 2, "h", 1, tcn_TS, 99));
    const uint8_t sp[] = {0x00};
    bare.GetTag(0)->ChangeTS1(T(M_SP_NA), sp, 0, 0, remark);
    const auto lines = Drain(journal);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "(ptg1) New TS,TIT:(0001:000002), ПС(0) X, откл");
}

TEST_F(TagListTest, CopyOfAListedTagReportsNowhere) {
    list.AddTag(Tag("A", 1, 2, "h", 1));
    TTagSignal copy(*list.GetTag(0));
    EXPECT_EQ(copy.FName, "A");
    const uint8_t sp[] = {0x01};
    copy.ChangeTS1(T(M_SP_NA), sp, 0, 0, remark);
    EXPECT_TRUE(copy.FPrNew);
    EXPECT_TRUE(Drain(journal).empty());
    TTagSignal* t = nullptr;
    EXPECT_FALSE(list.GetChangedTag(t));
    // Create(source) copies the value.
    TTagSignal copy2(copy);
    EXPECT_EQ(copy2.Value.bv[0], 1);
    EXPECT_EQ(copy2.Value.pdc, dcn_SingleTS1);
}

TEST_F(TagListTest, BitPatternSpreading) {
    for (int i = 0; i < 8; ++i) list.AddTag(Tag("B" + std::to_string(i), 3, 100 + i, "h", 1));
    TTagSignal* src = list.GetTag(0);
    const uint8_t pattern[] = {0xA5};
    src->ChangeVal(T(M_BO_TC), pattern, 0, 45000.25, remark);
    EXPECT_EQ(remark, "");
    ASSERT_TRUE(src->FPrNew);
    EXPECT_EQ(src->Value.pdc, dcn_TS8a);
    list.RaspakNewTag(T(M_BO_TC), *src, remark);
    EXPECT_EQ(remark, "");
    for (int i = 0; i < 8; ++i) {
        const TTagSignal& t = *list.GetTag(i);
        EXPECT_EQ(t.Value.bv[0], (0xA5 >> i) & 1) << i;
        EXPECT_EQ(t.Value.pdc, dcn_TS8a);
        EXPECT_EQ(t.Value.qtype, Q0);
        EXPECT_EQ(t.Value.dt, 45000.25);
        EXPECT_TRUE(t.FPrNew);
        // A type without a quality descriptor is good as received.
        EXPECT_FALSE(t.isInvalid()) << i;
        EXPECT_EQ(Read(t).i, (0xA5 >> i) & 1);
    }
    EXPECT_EQ(list.GetTag(0)->GetValueStr(), "вкл ");
    EXPECT_EQ(list.GetTag(1)->GetValueStr(), "откл");
}

TEST_F(TagListTest, BitPatternSpreadingRemarks) {
    for (int i = 0; i < 8; ++i) {
        if (i == 3) continue;
        list.AddTag(Tag("B" + std::to_string(i), 3, 100 + i, "h", 1, i == 6 ? tcn_TIT : tcn_TS));
    }
    TTagSignal* src = list.GetTag(0);
    const uint8_t pattern[] = {0xFF};
    src->ChangeVal(T(M_BO_TC), pattern, 0, 0, remark);
    list.RaspakNewTag(T(M_BO_TC), *src, remark);
    EXPECT_EQ(remark, "RaspakNewTag1()Нет тега с адресом=103 Код=136");
    // Bits before the gap are stored, those after it are not.
    EXPECT_EQ(list.GetTag(2)->Value.bv[0], 1);
    EXPECT_EQ(list.GetTag(3)->Value.pdc, tcn_None);  // address 104

    TTagSignalList l2(journal);
    for (int i = 0; i < 8; ++i)
        l2.AddTag(Tag("C" + std::to_string(i), 3, 100 + i, "h", 1, i == 6 ? tcn_TIT : tcn_TS));
    l2.GetTag(0)->ChangeVal(T(M_BO_TC), pattern, 0, 0, remark);
    l2.RaspakNewTag(T(M_BO_TC), *l2.GetTag(0), remark);
    EXPECT_EQ(remark, "RaspakNewTag1()Не подходящий тип тега с адресом=106 Код=136");
    EXPECT_EQ(l2.GetTag(5)->Value.bv[0], 1);
    EXPECT_EQ(l2.GetTag(7)->Value.pdc, tcn_None);

    l2.RaspakNewTag(T(M_SP_NA), *l2.GetTag(0), remark);
    EXPECT_EQ(remark, "RaspakNewTag1()это не многопозиционная команда! Код=1");
}

TEST_F(TagListTest, ThirtyTwoBitSpreadingAndAddressAtTheTop) {
    for (int i = 0; i < 32; ++i) list.AddTag(Tag("S" + std::to_string(i), 3, 200 + i, "h", 1));
    TTagSignal* src = list.GetTag(0);
    const uint8_t bits[] = {0x01, 0x80, 0x00, 0xC0, 0x00};
    src->ChangeVal(T(M_BO_NA), bits, 0, 0, remark);
    list.RaspakNewTag(T(M_BO_NA), *src, remark);
    EXPECT_EQ(remark, "");
    for (int i = 0; i < 32; ++i) {
        const int expected = (i == 0 || i == 15 || i == 30 || i == 31) ? 1 : 0;
        EXPECT_EQ(list.GetTag(i)->Value.bv[0], expected) << i;
        EXPECT_EQ(list.GetTag(i)->Value.pdc, dcn_TS32);
        EXPECT_EQ(list.GetTag(i)->Value.qtype, QBITS);
    }
    // An object address at the top of the range: the following addresses do not exist.
    TTagSignalList top(journal);
    top.AddTag(Tag("Top", 3, 2147483647, "h", 1));
    const uint8_t one[] = {0x01};
    top.GetTag(0)->ChangeVal(T(M_BO_TC), one, 0, 0, remark);
    top.RaspakNewTag(T(M_BO_TC), *top.GetTag(0), remark);
    EXPECT_EQ(remark, "RaspakNewTag1()Нет тега с адресом=2147483654 Код=136");
}

}  // namespace
}  // namespace telegate
