#include <gtest/gtest.h>

#include <cstring>

#include "SimCodec.h"
#include "support/DateTime.h"

namespace telegate::sim {
namespace {

TBytes B(std::initializer_list<int> v) {
    TBytes r;
    for (int x : v) r.push_back(static_cast<uint8_t>(x));
    return r;
}

TEST(SimCodecTest, UFramesAreTheSixStandardImages) {
    EXPECT_EQ(MakeUFrame(kStartdtAct), B({0x68, 0x04, 0x07, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MakeUFrame(kStartdtCon), B({0x68, 0x04, 0x0B, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MakeUFrame(kStopdtAct), B({0x68, 0x04, 0x13, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MakeUFrame(kStopdtCon), B({0x68, 0x04, 0x23, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MakeUFrame(kTestfrAct), B({0x68, 0x04, 0x43, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MakeUFrame(kTestfrCon), B({0x68, 0x04, 0x83, 0x00, 0x00, 0x00}));
}

TEST(SimCodecTest, SAndIFramesCarryDoubledSequenceNumbers) {
    EXPECT_EQ(MakeSFrame(5), B({0x68, 0x04, 0x01, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(MakeSFrame(32767), B({0x68, 0x04, 0x01, 0x00, 0xFE, 0xFF}));
    TBytes asdu = B({0x64, 0x01, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x14});
    EXPECT_EQ(MakeIFrame(0x123, 0x4567, asdu), B({0x68, 0x0E, 0x46, 0x02, 0xCE, 0x8A, 0x64, 0x01,
                                                  0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x14}));
}

TEST(SimCodecTest, ParseApciRecognisesFormatsAndRejectsMalformedFrames) {
    TApci c;
    TBytes s = B({0x68, 0x04, 0x01, 0x00, 0x0A, 0x00});
    ASSERT_TRUE(ParseApci(s.data(), s.size(), c));
    EXPECT_EQ(c.kind, EFrameKind::S);
    EXPECT_EQ(c.nr, 5);
    TBytes i = B({0x68, 0x0E, 0x02, 0x00, 0x04, 0x00, 0x64, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00,
                  0x00, 0x00, 0x14});
    ASSERT_TRUE(ParseApci(i.data(), i.size(), c));
    EXPECT_EQ(c.kind, EFrameKind::I);
    EXPECT_EQ(c.ns, 1);
    EXPECT_EQ(c.nr, 2);
    TBytes u = MakeUFrame(kTestfrAct);
    ASSERT_TRUE(ParseApci(u.data(), u.size(), c));
    EXPECT_EQ(c.kind, EFrameKind::U);
    EXPECT_EQ(c.ucode, kTestfrAct);

    TBytes twoFunctions = B({0x68, 0x04, 0x47, 0x00, 0x00, 0x00});
    EXPECT_FALSE(ParseApci(twoFunctions.data(), twoFunctions.size(), c));
    TBytes uWithTail = B({0x68, 0x04, 0x07, 0x00, 0x01, 0x00});
    EXPECT_FALSE(ParseApci(uWithTail.data(), uWithTail.size(), c));
    TBytes badLength = B({0x68, 0x05, 0x01, 0x00, 0x0A, 0x00});
    EXPECT_FALSE(ParseApci(badLength.data(), badLength.size(), c));
    TBytes sOddNr = B({0x68, 0x04, 0x01, 0x00, 0x0B, 0x00});
    EXPECT_FALSE(ParseApci(sOddNr.data(), sOddNr.size(), c));
}

TEST(SimCodecTest, FrameReaderCutsFramesFromSplitStream) {
    TFrameReader r;
    TBytes stream = B({0x68, 0x04, 0x07, 0x00, 0x00, 0x00, 0x68, 0x04, 0x01, 0x00, 0x02, 0x00});
    TBytes f;
    for (size_t k = 0; k < stream.size(); ++k) {
        ASSERT_EQ(r.Feed(&stream[k], 1), 1u);
        if (k == 5 || k == 11) {
            ASSERT_EQ(r.Next(f), TFrameReader::EResult::Frame);
            EXPECT_EQ(f.size(), 6u);
            EXPECT_EQ(f[2], k == 5 ? 0x07 : 0x01);
        }
        EXPECT_EQ(r.Next(f), TFrameReader::EResult::NeedMore);
    }
}

TEST(SimCodecTest, FrameReaderReportsBadStartAndBadLengthAndStaysInError) {
    TFrameReader r;
    TBytes f;
    TBytes bad = B({0x67, 0x04, 0x07, 0x00, 0x00, 0x00});
    r.Feed(bad.data(), bad.size());
    EXPECT_EQ(r.Next(f), TFrameReader::EResult::BadStart);
    TBytes good = MakeUFrame(kStartdtAct);
    r.Feed(good.data(), good.size());
    EXPECT_EQ(r.Next(f), TFrameReader::EResult::BadStart);

    TFrameReader shortLen, longLen;
    TBytes l3 = B({0x68, 0x03, 0x00, 0x00, 0x00});
    shortLen.Feed(l3.data(), l3.size());
    EXPECT_EQ(shortLen.Next(f), TFrameReader::EResult::BadLength);
    TBytes l254 = B({0x68, 0xFE});
    longLen.Feed(l254.data(), l254.size());
    EXPECT_EQ(longLen.Next(f), TFrameReader::EResult::BadLength);
}

TEST(SimCodecTest, FrameReaderBufferIsBounded) {
    TFrameReader r;
    TBytes big(2000, 0x68);
    size_t took = r.Feed(big.data(), big.size());
    EXPECT_LT(took, big.size());
    EXPECT_EQ(r.Feed(big.data(), 1), 0u);
}

TEST(SimCodecTest, SinglePointsWithoutSequence) {
    TAsduBuilder b(1, kCotInterrogated, 1, false);
    uint8_t on = 0x01, offBlocked = 0x10;
    ASSERT_TRUE(b.Add(1, &on));
    ASSERT_TRUE(b.Add(0x010203, &offBlocked));
    EXPECT_EQ(b.Finish(), B({0x01, 0x02, 0x14, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01, 0x03, 0x02,
                             0x01, 0x10}));
}

TEST(SimCodecTest, FloatSequenceWithCommonTimeTagAtTheEnd) {
    TAsduBuilder b(36, kCotSpontaneous, 0x0102, true);
    uint8_t el[8];
    uint8_t t[7] = {0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x06, 0x18};
    ASSERT_EQ(EncodeElement(EPointType::Float, 1.5, 0, el), 5u);
    ASSERT_TRUE(b.Add(100, el, t));
    ASSERT_EQ(EncodeElement(EPointType::Float, -2.0, 0x80, el), 5u);
    ASSERT_TRUE(b.Add(101, el, t));
    EXPECT_EQ(b.Finish(),
              B({0x24, 0x82, 0x03, 0x00, 0x02, 0x01, 0x64, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x3F,
                 0x00, 0x00, 0x00, 0x00, 0xC0, 0x80, 0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x06, 0x18}));
}

TEST(SimCodecTest, TimeTaggedObjectsWithoutSequenceCarryTheirOwnTag) {
    TAsduBuilder b(30, kCotSpontaneous, 1, false);
    uint8_t on = 1;
    uint8_t t[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_TRUE(b.Add(7, &on, t));
    EXPECT_EQ(b.Finish(),
              B({30, 0x01, 0x03, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x01, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(SimCodecTest, CapacityKeepsTheApduWithin253Octets) {
    EXPECT_EQ(TAsduBuilder::Capacity(1, false), 60);   // 243 / 4
    EXPECT_EQ(TAsduBuilder::Capacity(1, true), 127);   // limited by the 7-bit count
    EXPECT_EQ(TAsduBuilder::Capacity(13, false), 30);  // 243 / 8
    EXPECT_EQ(TAsduBuilder::Capacity(36, false), 16);  // 243 / 15
    EXPECT_EQ(TAsduBuilder::Capacity(36, true), 46);   // (243 - 3 - 7) / 5
    EXPECT_EQ(TAsduBuilder::Capacity(200, false), 0);
    for (uint8_t type : {1, 3, 5, 7, 9, 11, 13, 15, 2, 14, 30, 36, 37}) {
        for (bool sq : {false, true}) {
            TAsduBuilder b(type, 3, 1, sq);
            uint8_t el[8] = {};
            uint8_t t[7] = {};
            int n = 0;
            while (b.Add(static_cast<uint32_t>(n + 1), el, t)) ++n;
            EXPECT_EQ(n, TAsduBuilder::Capacity(type, sq));
            TBytes frame = MakeIFrame(0, 0, b.Finish());
            EXPECT_LE(frame.size(), 255u) << int(type);
            TAsduHeader h;
            TBytes asdu(frame.begin() + 6, frame.end());
            ASSERT_TRUE(ParseAsduHeader(asdu.data(), asdu.size(), h));
            EXPECT_TRUE(AsduBodyFits(h, asdu.size())) << int(type) << " sq=" << sq;
        }
    }
}

TEST(SimCodecTest, ElementEncodings) {
    uint8_t e[8];
    ASSERT_EQ(EncodeElement(EPointType::Sp, 1, 0x80, e), 1u);
    EXPECT_EQ(e[0], 0x81);
    ASSERT_EQ(EncodeElement(EPointType::Dp, 0, 0, e), 1u);
    EXPECT_EQ(e[0], 0x01);
    EncodeElement(EPointType::Dp, 1, 0, e);
    EXPECT_EQ(e[0], 0x02);
    ASSERT_EQ(EncodeElement(EPointType::St, -1, 0x01, e), 2u);
    EXPECT_EQ(e[0], 0x7F);
    EXPECT_EQ(e[1], 0x01);
    EncodeElement(EPointType::St, 500, 0, e);
    EXPECT_EQ(e[0], 0x3F);  // clamped to 63
    ASSERT_EQ(EncodeElement(EPointType::Bo, 0x12345678, 0, e), 5u);
    EXPECT_EQ(TBytes(e, e + 5), B({0x78, 0x56, 0x34, 0x12, 0x00}));
    ASSERT_EQ(EncodeElement(EPointType::Nva, 0.5, 0, e), 3u);
    EXPECT_EQ(TBytes(e, e + 3), B({0x00, 0x40, 0x00}));
    EncodeElement(EPointType::Nva, -1.0, 0, e);
    EXPECT_EQ(TBytes(e, e + 2), B({0x00, 0x80}));
    EncodeElement(EPointType::Nva, 1.0, 0, e);  // just above the range: clamped
    EXPECT_EQ(TBytes(e, e + 2), B({0xFF, 0x7F}));
    ASSERT_EQ(EncodeElement(EPointType::Sva, -2, 0, e), 3u);
    EXPECT_EQ(TBytes(e, e + 2), B({0xFE, 0xFF}));
    ASSERT_EQ(EncodeElement(EPointType::It, 100000, 0x80, e), 5u);
    EXPECT_EQ(TBytes(e, e + 5), B({0xA0, 0x86, 0x01, 0x00, 0x80}));
    EncodeElement(EPointType::Float, 1.0 / 0.0 * 0.0, 0, e);  // NaN passes as a float
    uint32_t raw;
    std::memcpy(&raw, e, 4);
    EXPECT_EQ(raw & 0x7F800000u, 0x7F800000u);
}

TEST(SimCodecTest, MonitorTypeCodes) {
    EXPECT_EQ(MonitorTypeCode(EPointType::Sp, ETimeTag::None), 1);
    EXPECT_EQ(MonitorTypeCode(EPointType::Sp, ETimeTag::Cp24), 2);
    EXPECT_EQ(MonitorTypeCode(EPointType::Sp, ETimeTag::Cp56), 30);
    EXPECT_EQ(MonitorTypeCode(EPointType::Dp, ETimeTag::Cp56), 31);
    EXPECT_EQ(MonitorTypeCode(EPointType::Nva, ETimeTag::None), 9);
    EXPECT_EQ(MonitorTypeCode(EPointType::Sva, ETimeTag::Cp24), 12);
    EXPECT_EQ(MonitorTypeCode(EPointType::Float, ETimeTag::None), 13);
    EXPECT_EQ(MonitorTypeCode(EPointType::It, ETimeTag::Cp56), 37);
    EPointType t;
    EXPECT_TRUE(ParsePointType("nva", t));
    EXPECT_EQ(t, EPointType::Nva);
    EXPECT_FALSE(ParsePointType("double", t));
    ETimeTag tt;
    EXPECT_TRUE(ParseTimeTag("cp24", tt));
    EXPECT_FALSE(ParseTimeTag("cp32", tt));
}

TEST(SimCodecTest, Cp56AndCp24TimeTags) {
    TDateTime dt;
    ASSERT_TRUE(TryEncodeDateTime({2024, 6, 15, 12, 30, 10, 0}, dt));
    uint8_t t[7];
    EncodeCp56(dt, t);
    EXPECT_EQ(TBytes(t, t + 7), B({0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x06, 0x18}));
    ASSERT_TRUE(TryEncodeDateTime({2021, 1, 1, 0, 0, 59, 999}, dt));
    EncodeCp56(dt, t);
    EXPECT_EQ(TBytes(t, t + 7), B({0x5F, 0xEA, 0x00, 0x00, 0x01, 0x01, 0x15}));
    uint8_t s[3];
    EncodeCp24(dt, s);
    EXPECT_EQ(TBytes(s, s + 3), B({0x5F, 0xEA, 0x00}));
}

TEST(SimCodecTest, MirrorKeepsEverythingButTheCause) {
    TBytes act = B({0x2D, 0x01, 0x86, 0x05, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85});
    EXPECT_EQ(MirrorAsdu(act, kCotActCon, false),
              B({0x2D, 0x01, 0x87, 0x05, 0x01, 0x00, 0x88, 0x13, 0x00, 0x85}));
    EXPECT_EQ(MirrorAsdu(act, kCotActCon, true)[2], 0xC7);
}

TEST(SimCodecTest, DescriptionsOfFrames) {
    TBytes gi = B({0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x64, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00,
                   0x00, 0x00, 0x14});
    EXPECT_EQ(DescribeApdu(gi.data(), gi.size()),
              "I ns=0 nr=0 type=C_IC_NA(100) sq=0 n=1 cot=6 pn=0 test=0 oa=0 ca=1 ioa=0 qoi=20");
    TBytes s = MakeSFrame(9);
    EXPECT_EQ(DescribeApdu(s.data(), s.size()), "S nr=9");
    TBytes u = MakeUFrame(kStopdtCon);
    EXPECT_EQ(DescribeApdu(u.data(), u.size()), "U STOPDT con");
    TBytes cmd = B({0x2D, 0x01, 0x47, 0x00, 0x01, 0x00, 0x88, 0x13, 0x00, 0x84});
    EXPECT_EQ(DescribeAsdu(cmd.data(), cmd.size()),
              "type=C_SC_NA(45) sq=0 n=1 cot=7 pn=1 test=0 oa=0 ca=1 ioa=5000 sco=84 se=1 qu=1 "
              "state=0");
    TBytes shortAsdu = B({0x01, 0x01, 0x03});
    EXPECT_EQ(DescribeAsdu(shortAsdu.data(), shortAsdu.size()), "asdu=short(01 01 03)");
    TBytes wrongSize = B({0x01, 0x02, 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01});
    EXPECT_NE(DescribeAsdu(wrongSize.data(), wrongSize.size()).find("badsize"), std::string::npos);
}

}  // namespace
}  // namespace telegate::sim
