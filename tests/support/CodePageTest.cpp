#include <gtest/gtest.h>

#include <string>

#include "support/CodePage.h"

namespace telegate {
namespace {

std::string AllHighOctets() {
    std::string s;
    for (int c = 0x80; c <= 0xFF; ++c) s += static_cast<char>(c);
    return s;
}

TEST(CodePage, CyrillicBothWays) {
    // "Привет, КП №5" in Windows-1251.
    const std::string cp =
        "\xCF\xF0\xE8\xE2\xE5\xF2, \xCA\xCF \xB9"
        "5";
    EXPECT_EQ(Cp1251ToUtf8(cp), "Привет, КП №5");
    EXPECT_EQ(Utf8ToCp1251("Привет, КП №5"), cp);
    EXPECT_EQ(Cp1251ToUtf8("\xA8\xB8"), "Ёё");
    EXPECT_EQ(Cp1251ToUtf8("\xC0\xDF\xE0\xFF"), "АЯая");
    EXPECT_EQ(Cp1251ToUtf8("\x88"), "€");
    EXPECT_EQ(Utf8ToCp1251("€"), "\x88");
}

TEST(CodePage, AsciiUnchanged) {
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) ascii += static_cast<char>(c);
    EXPECT_EQ(Cp1251ToUtf8(ascii), ascii);
    EXPECT_EQ(Utf8ToCp1251(ascii), ascii);
    EXPECT_EQ(Cp1251ToUtf8(""), "");
}

// Every octet, alone and between other text, comes back from a read and a write
// unchanged; 0x98, which has no character, included. What it shows as elsewhere
// is the replacement character.
TEST(CodePage, EveryOctetRoundTrips) {
    for (int c = 0; c < 256; ++c) {
        SCOPED_TRACE(c);
        const std::string octet(1, static_cast<char>(c));
        for (const std::string& text : {octet, "A" + octet + "\xC0z", octet + octet}) {
            const std::string utf8 = Cp1251ToUtf8(text);
            EXPECT_TRUE(IsValidUtf8(utf8));
            EXPECT_EQ(Utf8Length(utf8), text.size());
            EXPECT_EQ(Utf8ToCp1251(utf8), text);
        }
    }
    const std::string high = AllHighOctets();
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(high)), high);
    EXPECT_EQ(Cp1251ToUtf8("\x98"), kCp1251UnassignedUtf8);
    EXPECT_EQ(ReplaceCp1251Unassigned(Cp1251ToUtf8("a\x98\xC0\x98"), "\xEF\xBF\xBD"),
              "a\xEF\xBF\xBDА\xEF\xBF\xBD");
    EXPECT_EQ(ReplaceCp1251Unassigned("plain", "?"), "plain");
    // The replacement character itself has no octet.
    EXPECT_EQ(Utf8ToCp1251("\xEF\xBF\xBD"), "?");
}

TEST(CodePage, UnmappableCharactersReplaced) {
    EXPECT_EQ(Utf8ToCp1251("a中b"), "a?b");
    EXPECT_EQ(Utf8ToCp1251("😀", '_'), "_");
    EXPECT_EQ(Utf8ToCp1251("ß"), "?");
}

TEST(CodePage, InvalidUtf8PassesOctetsThrough) {
    // Windows-1251 text given where UTF-8 was expected stays as it is.
    EXPECT_EQ(Utf8ToCp1251("\xCF\xF0\xE8"), "\xCF\xF0\xE8");
    // Truncated sequence, lone continuation, overlong slash, surrogate half.
    EXPECT_EQ(Utf8ToCp1251("\xD0"), "\xD0");
    EXPECT_EQ(Utf8ToCp1251("\x80x"), "\x80x");
    EXPECT_EQ(Utf8ToCp1251("\xC0\xAF"), "\xC0\xAF");
    EXPECT_EQ(Utf8ToCp1251("\xED\xA0\x80"), "\xED\xA0\x80");
    // A valid character after a broken one is still converted.
    EXPECT_EQ(Utf8ToCp1251("\xD0Я"), "\xD0\xDF");
}

TEST(CodePage, Validity) {
    EXPECT_TRUE(IsValidUtf8(""));
    EXPECT_TRUE(IsValidUtf8("Подстанция 😀"));
    EXPECT_FALSE(IsValidUtf8("\xCF\xF0"));
    EXPECT_FALSE(IsValidUtf8("\xC0\x80"));          // overlong NUL
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xED\xB0\x80"));      // surrogate
    EXPECT_FALSE(IsValidUtf8("\xE2\x82"));          // cut short
    EXPECT_FALSE(IsValidUtf8("\xFF"));
}

TEST(CodePage, Length) {
    EXPECT_EQ(Utf8Length(""), 0u);
    EXPECT_EQ(Utf8Length("abc"), 3u);
    EXPECT_EQ(Utf8Length("Пуст список КП"), 14u);
    EXPECT_EQ(Utf8Length("€😀"), 2u);
}

}  // namespace
}  // namespace telegate
