#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "support/TextFields.h"

namespace telegate {
namespace {

TEST(SplitArray, QuotedFieldKeepsCommaAndQuotes) {
    TSplitArray sp(20, ',');
    sp.SplitString(R"(TS,1001,5,,"Pump, main",8272)");
    ASSERT_EQ(sp.nvar, 6);
    EXPECT_EQ(sp.GetField(0), "TS");
    EXPECT_EQ(sp.GetField(1), "1001");
    EXPECT_EQ(sp.GetField(2), "5");
    EXPECT_EQ(sp.GetField(3), "");
    EXPECT_EQ(sp.GetField(4), "\"Pump, main\"");
    EXPECT_EQ(sp.GetField(5), "8272");
    EXPECT_EQ(sp.GetField(6), "");
    EXPECT_EQ(sp.GetField(-1), "");
}

TEST(SplitArray, EmptyMiddleFieldAndTrailingSeparator) {
    TSplitArray sp(20, ',');
    sp.SplitString("a,,b");
    ASSERT_EQ(sp.nvar, 3);
    EXPECT_EQ(sp.GetField(1), "");
    EXPECT_EQ(sp.GetField(2), "b");
    sp.SplitString("a,b,");
    ASSERT_EQ(sp.nvar, 2);
    EXPECT_EQ(sp.GetField(0), "a");
    EXPECT_EQ(sp.GetField(1), "b");
    // The previous line's third field is cleared.
    EXPECT_EQ(sp.List[2], "");
}

TEST(SplitArray, CapacityStopsSplitting) {
    TSplitArray sp(20, ',');
    std::string line;
    for (int i = 0; i < 26; ++i) line += (i ? "," : "") + std::to_string(i);  // 25 separators
    sp.SplitString(line);
    ASSERT_EQ(sp.nvar, 20);
    EXPECT_EQ(sp.GetField(19), "19");
    EXPECT_EQ(sp.GetField(20), "");
    EXPECT_EQ(sp.List.size(), 20u);
}

TEST(SplitArray, TrimsBlanksAndControlCharacters) {
    TSplitArray sp(5, ';');
    sp.SplitString(" \tа б \r; x ;\x01y\x02");
    ASSERT_EQ(sp.nvar, 3);
    EXPECT_EQ(sp.GetField(0), "а б");  // Cyrillic text kept whole
    EXPECT_EQ(sp.GetField(1), "x");
    EXPECT_EQ(sp.GetField(2), "y");
}

TEST(SplitArray, UnbalancedQuoteSwallowsRestAndDropsLastField) {
    TSplitArray sp(20, ',');
    sp.SplitString(R"(a,"b,c,d)");
    ASSERT_EQ(sp.nvar, 1);
    EXPECT_EQ(sp.GetField(0), "a");
    // A line ending right after a closing quote takes the field.
    sp.SplitString(R"(a,"b,c")");
    ASSERT_EQ(sp.nvar, 2);
    EXPECT_EQ(sp.GetField(1), R"("b,c")");
}

TEST(SplitArray, EdgeLines) {
    TSplitArray sp(3, ',');
    sp.SplitString("");
    EXPECT_EQ(sp.nvar, 0);
    sp.SplitString(",");
    EXPECT_EQ(sp.nvar, 1);
    EXPECT_EQ(sp.GetField(0), "");
    sp.SplitString("x");
    EXPECT_EQ(sp.nvar, 1);
    EXPECT_EQ(sp.GetField(0), "x");
    TSplitArray zero(0, ',');  // a capacity below one is taken as one
    zero.SplitString("a,b,c");
    EXPECT_EQ(zero.nvar, 1);
    EXPECT_EQ(zero.GetField(0), "a");
}

TEST(FieldToInt, ValidValues) {
    EXPECT_EQ(FieldToInt(""), 0);
    EXPECT_EQ(FieldToInt("0"), 0);
    EXPECT_EQ(FieldToInt("2404"), 2404);
    EXPECT_EQ(FieldToInt("-17"), -17);
    EXPECT_EQ(FieldToInt("+17"), 17);
    EXPECT_EQ(FieldToInt("2147483647"), 2147483647);
    EXPECT_EQ(FieldToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(FieldToInt("007"), 7);
}

TEST(FieldToInt, BadValuesThrow) {
    for (const char* bad : {"abc", "12a", "1.5", " 5", "5 ", "-", "+", "+-5", "--5", "2147483648",
                            "-2147483649", "99999999999999999999999", "0x10", "1e3"}) {
        EXPECT_THROW(FieldToInt(bad), EConvertError) << bad;
    }
}

TEST(FieldToReal, SeparatorChoice) {
    EXPECT_DOUBLE_EQ(FieldToReal("12.5", '_'), 12.5);
    EXPECT_DOUBLE_EQ(FieldToReal("12,5", '_'), 12.5);
    EXPECT_DOUBLE_EQ(FieldToReal("12.5", '.'), 12.5);
    EXPECT_DOUBLE_EQ(FieldToReal("12,5", ','), 12.5);
    EXPECT_DOUBLE_EQ(FieldToReal("", '.'), 0.0);
    EXPECT_DOUBLE_EQ(FieldToReal("-0.25", '.'), -0.25);
    EXPECT_DOUBLE_EQ(FieldToReal("+3", '.'), 3.0);
    EXPECT_DOUBLE_EQ(FieldToReal("1e3", '.'), 1000.0);
    EXPECT_DOUBLE_EQ(FieldToReal("1,5e-2", ','), 0.015);
    EXPECT_DOUBLE_EQ(FieldToReal("7", ','), 7.0);
}

TEST(FieldToReal, BadValuesThrow) {
    EXPECT_THROW(FieldToReal("12,5", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("12.5", ','), EConvertError);
    EXPECT_THROW(FieldToReal("1.2.3", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("abc", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("1x", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("nan", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("inf", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("1e999", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("+", '.'), EConvertError);
    EXPECT_THROW(FieldToReal("+-1", '.'), EConvertError);
    EXPECT_THROW(FieldToReal(" 1", '.'), EConvertError);
    EXPECT_THROW(FieldToReal(std::string(300, '1'), '.'), EConvertError);
}

TEST(FieldToReal, LeavesLocaleAlone) {
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    FieldToReal("1,5", ',');
    EXPECT_EQ(std::string(std::setlocale(LC_NUMERIC, nullptr)), before);
}

TEST(RemoveQuotes, Cases) {
    EXPECT_EQ(RemoveQuotes("\"Pump, main\""), "Pump, main");
    EXPECT_EQ(RemoveQuotes("\"\""), "");
    EXPECT_EQ(RemoveQuotes("\""), "\"");
    EXPECT_EQ(RemoveQuotes("\"a"), "\"a");
    EXPECT_EQ(RemoveQuotes("a\"b\"c"), "a\"b\"c");
    EXPECT_EQ(RemoveQuotes("\"a\"b\""), "a\"b");
    EXPECT_EQ(RemoveQuotes(""), "");
}

TEST(FixedWidth, PadCutAndEllipsis) {
    EXPECT_EQ(FixedWidth("Transformer station", 10), "Transfo...");
    EXPECT_EQ(FixedWidth("Transformer station", 10).size(), 10u);
    EXPECT_EQ(FixedWidth("AB", 5), "AB   ");
    EXPECT_EQ(FixedWidth("ABCDE", 3), "ABC");
    EXPECT_EQ(FixedWidth("ABCDE", 5), "ABCDE");
    EXPECT_EQ(FixedWidth("ABCDE", 4), "A...");
    EXPECT_EQ(FixedWidth("ABC", 0), "");
    EXPECT_EQ(FixedWidth("ABC", -2), "");
    EXPECT_EQ(FixedWidth("", 2), "  ");
}

TEST(FixedWidth, CountsCharactersNotOctets) {
    // Seven Cyrillic letters, fourteen octets.
    EXPECT_EQ(FixedWidth("Подстан", 9), "Подстан  ");
    EXPECT_EQ(FixedWidth("Подстанция", 8), "Подст...");
    EXPECT_EQ(FixedWidth("Подстанция", 2), "По");
}

TEST(HexDump, PrefixAndAppend) {
    const uint8_t startdt[] = {0x68, 0x04, 0x07, 0x00, 0x00, 0x00};
    EXPECT_EQ(HexDump("", startdt, 6), "68 04 07 00 00 00 ");
    const uint8_t all[] = {0x00, 0x0F, 0xA0, 0xFF};
    EXPECT_EQ(HexDump("x:", all, 4), "x:00 0F A0 FF ");
    EXPECT_EQ(HexDump("p", all, 0), "p");
    std::string out = "head ";
    HexDump(out, "<", all, 2);
    EXPECT_EQ(out, "head <00 0F ");
}

TEST(CrcCheck, ByteWrapAsDocumented) {
    TCrcCheck crc;
    EXPECT_EQ(crc.FCRC, 0);
    crc.FCRC = 0x0FFFFFFE;
    const uint8_t ff[] = {0xFF, 0xFF, 0xFF, 0xFF};
    crc.Add(ff, sizeof ff);
    EXPECT_EQ(crc.FCRC, 0x3FB);
    crc.Clear();
    EXPECT_EQ(crc.FCRC, 0);
}

TEST(CrcCheck, SumsAndIntegerAdd) {
    TCrcCheck crc;
    const uint8_t b[] = {1, 2, 3, 250};
    crc.Add(b, sizeof b);
    EXPECT_EQ(crc.FCRC, 256);
    crc.Add(-300);
    EXPECT_EQ(crc.FCRC, -44);
    crc.Add(nullptr, 0);
    EXPECT_EQ(crc.FCRC, -44);
    crc.FCRC = INT32_MAX;
    crc.Add(1);  // no wrap rule for integers: plain two's complement
    EXPECT_EQ(crc.FCRC, INT32_MIN);
}

TEST(CrcCheck, LongBufferStaysInRange) {
    TCrcCheck crc;
    std::vector<uint8_t> buf(2'000'000, 0xFF);
    crc.Add(buf.data(), buf.size());
    EXPECT_GE(crc.FCRC, 0);
    EXPECT_LE(crc.FCRC, 0x0FFFFFFF);
    EXPECT_EQ(crc.FCRC, static_cast<int32_t>((2'000'000LL * 255) % 0x0FFFFFFF));
}

}  // namespace
}  // namespace telegate
