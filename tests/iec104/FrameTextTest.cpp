#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iec104/FrameText.h"

namespace telegate {
namespace {

// Noon of the first day: every line starts with "12:00:00.000".
constexpr TDateTime kNoon = 0.5;

struct TCase {
    const char* what;
    TFrameDir dir;
    std::vector<uint8_t> apdu;
    TFrameLayout layout;
    const char* line;
};

TEST(FrameText, LiteralOctetsGiveTheLine) {
    const TFrameLayout std104{};
    const TCase cases[] = {
        {"STARTDT act",
         TFrameDir::Sent,
         {0x68, 0x04, 0x07, 0x00, 0x00, 0x00},
         std104,
         "12:00:00.000 TX U STARTDT act"},
        {"TESTFR con",
         TFrameDir::Received,
         {0x68, 0x04, 0x83, 0x00, 0x00, 0x00},
         std104,
         "12:00:00.000 RX U TESTFR con"},
        {"S frame with N(R) 300",
         TFrameDir::Sent,
         {0x68, 0x04, 0x01, 0x00, 0x58, 0x02},
         std104,
         "12:00:00.000 TX S N(R)=300"},
        {"unknown U code",
         TFrameDir::Received,
         {0x68, 0x04, 0x33, 0x00, 0x00, 0x00},
         std104,
         "12:00:00.000 RX U unknown 33H"},
        {"general interrogation act",
         TFrameDir::Sent,
         {0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x64, 0x01, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
          0x14},
         std104,
         "12:00:00.000 TX I N(S)=0 N(R)=0 C_IC_NA_1(100) COT=6 OA=0 CA=1 n=1 | IOA=0 qoi=20"},
        {"single points in sequence, invalid and blocked, N(S) 16384",
         TFrameDir::Received,
         {0x68, 0x0F, 0x00, 0x80, 0x02, 0x00, 0x01, 0x82, 0x14, 0x00, 0x07, 0x00, 0xE9, 0x03, 0x00,
          0x81, 0x10},
         std104,
         "12:00:00.000 RX I N(S)=16384 N(R)=1 M_SP_NA_1(1) COT=20 OA=0 CA=7 n=2 SQ"
         " | IOA=1001 v=1 q=IV | IOA=1002 v=0 q=BL"},
        {"double point with CP56 time, test bit, negative",
         TFrameDir::Received,
         {0x68, 0x15, 0x02, 0x00, 0x00, 0x00, 0x1F, 0x01, 0xC3, 0x05, 0x02, 0x01,
          0x10, 0x27, 0x00, 0x02, 0x39, 0x30, 0x0D, 0x8C, 0x29, 0x0C, 0x1A},
         std104,
         "12:00:00.000 RX I N(S)=1 N(R)=0 M_DP_TB_1(31) COT=3 T P/N=neg OA=5 CA=258 n=1"
         " | IOA=10000 v=on t=2026-12-09 12:13:12.345 SU"},
        {"float with overflow and not topical",
         TFrameDir::Received,
         {0x68, 0x12, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x01, 0x03, 0x00,
          0x01, 0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x48, 0x41, 0x41},
         std104,
         "12:00:00.000 RX I N(S)=0 N(R)=0 M_ME_NC_1(13) COT=3 OA=0 CA=1 n=1 | IOA=100 v=12.5 q=NT "
         "OV"},
        {"scaled value, short layout (COT 1, CA 1, IOA 2)",
         TFrameDir::Received,
         {0x68, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x01, 0x01, 0x09, 0x34, 0x12, 0x18, 0xFC, 0x00},
         TFrameLayout{1, 1, 2},
         "12:00:00.000 RX I N(S)=0 N(R)=0 M_ME_NB_1(11) COT=1 CA=9 n=1 | IOA=4660 v=-1000"},
        {"single command select",
         TFrameDir::Sent,
         {0x68, 0x0E, 0x04, 0x00, 0x06, 0x00, 0x2D, 0x01, 0x06, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00,
          0x81},
         std104,
         "12:00:00.000 TX I N(S)=2 N(R)=3 C_SC_NA_1(45) COT=6 OA=0 CA=1 n=1 | IOA=10 v=1 qu=0 "
         "select"},
        {"integrated total with carry",
         TFrameDir::Received,
         {0x68, 0x12, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x01, 0x25, 0x00,
          0x01, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x25},
         std104,
         "12:00:00.000 RX I N(S)=0 N(R)=0 M_IT_NA_1(15) COT=37 OA=0 CA=1 n=1 | IOA=1 v=-1 sq=5 "
         "q=CY"},
        {"objects announced but missing",
         TFrameDir::Received,
         {0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03, 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00,
          0x01},
         std104,
         "12:00:00.000 RX I N(S)=0 N(R)=0 M_SP_NA_1(1) COT=3 OA=0 CA=1 n=3 | IOA=1 v=1"
         " | truncated after 1 of 3 objects"},
        {"unknown type shown in hex",
         TFrameDir::Received,
         {0x68, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x01, 0x03, 0x00, 0x01, 0x00, 0xAB, 0xCD},
         std104,
         "12:00:00.000 RX I N(S)=0 N(R)=0 type(127) COT=3 OA=0 CA=1 n=1 : AB CD"},
        {"length octet disagrees",
         TFrameDir::Received,
         {0x68, 0x09, 0x07, 0x00, 0x00, 0x00},
         std104,
         "12:00:00.000 RX malformed (6 octets): 68 09 07 00 00 00"},
        {"wrong start octet",
         TFrameDir::Received,
         {0x67, 0x04, 0x07, 0x00, 0x00, 0x00},
         std104,
         "12:00:00.000 RX malformed (6 octets): 67 04 07 00 00 00"},
        {"ASDU shorter than its header",
         TFrameDir::Received,
         {0x68, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x03},
         std104,
         "12:00:00.000 RX I N(S)=0 N(R)=0 short ASDU: 01 01 03"},
        {"empty", TFrameDir::Received, {}, std104, "12:00:00.000 RX malformed (0 octets): "},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RenderFrameLine(kNoon, c.dir, c.apdu, c.layout), c.line);
    }
}

TEST(FrameText, LongSequencesAreCutAndQualityLettersFollowTheBits) {
    // 100 single points in sequence: 64 shown, the rest summarised.
    std::vector<uint8_t> apdu = {0x68, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x80 | 100,
                                 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    apdu.insert(apdu.end(), 100, 0x01);
    apdu[1] = static_cast<uint8_t>(apdu.size() - 2);
    const std::string line = RenderFrameLine(kNoon, TFrameDir::Received, apdu, {});
    EXPECT_NE(line.find("| IOA=64 v=1 ... +36"), std::string::npos) << line;
    EXPECT_EQ(line.find("IOA=65"), std::string::npos);

    EXPECT_EQ(QualityLetters(0x00), "");
    EXPECT_EQ(QualityLetters(0xF1), "IV NT SB BL OV");
    EXPECT_EQ(QualityLetters(0x0E), "");  // reserved bits name nothing
}

}  // namespace
}  // namespace telegate
