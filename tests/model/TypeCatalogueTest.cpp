#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/DateTime.h"
#include "support/Notifier.h"
#include "support/Journal.h"

namespace telegate {
namespace {

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

std::vector<std::string> Drain(TMessBuff& j) {
    std::vector<std::string> out;
    std::string s;
    while (j.Get(s)) out.push_back(s);
    return out;
}

class TypeIdentTest : public ::testing::Test {
  protected:
    TRecordingNotifier notifier;
    TTypeIdentList list{notifier};
};

TEST_F(TypeIdentTest, BuiltInCatalogueHas67EntriesWithoutErrors) {
    EXPECT_EQ(list.GetCount(), 67);
    EXPECT_TRUE(notifier.errors.empty());
    // Insertion order: first, a middle one and the last.
    EXPECT_EQ(list.GetIdent(0)->Code, 0);
    EXPECT_EQ(list.GetIdent(22)->Code, 30);
    EXPECT_EQ(list.GetIdent(66)->Code, 152);
    EXPECT_EQ(list.GetIdent(67), nullptr);
    EXPECT_EQ(list.GetIdent(-1), nullptr);
}

TEST_F(TypeIdentTest, LookupByCode) {
    const TTypeIdent* t = list.FindTypeIdent(30);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Name, M_SP_TB);
    EXPECT_EQ(t->objlen, 1);
    EXPECT_EQ(t->timelen, 7);
    EXPECT_EQ(t->dtype, TS1);
    EXPECT_EQ(t->qtype, QTS1);
    EXPECT_EQ(t->Text, "(M_SP_TB) Одноэлементная информация ТС с меткой времени 7 байт");
    for (int c = 22; c <= 29; ++c) EXPECT_EQ(list.FindTypeIdent(c), nullptr) << c;
    EXPECT_EQ(list.FindTypeIdent(-1), nullptr);
    EXPECT_EQ(list.FindTypeIdent(255), nullptr);
    EXPECT_EQ(list.FindTypeIdent(256), nullptr);
    EXPECT_EQ(list.FindTypeIdent(1000), nullptr);

    const TTypeIdent* f = list.FindTypeIdent(13);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Name, M_ME_NC);
    EXPECT_EQ(f->objlen, 5);
    EXPECT_EQ(f->timelen, 0);
    EXPECT_EQ(f->dtype, F4);
    EXPECT_EQ(f->qtype, Q8R);
    const TTypeIdent* bo = list.FindTypeIdent(136);
    ASSERT_NE(bo, nullptr);
    EXPECT_EQ(bo->Name, M_BO_TC);
    EXPECT_EQ(bo->dtype, TS8);
}

TEST_F(TypeIdentTest, LookupByCodeMatchesLinearFirstMatch) {
    for (int c = 0; c < 256; ++c) {
        const TTypeIdent* linear = nullptr;
        for (int i = 0; i < list.GetCount(); ++i)
            if (list.GetIdent(i)->Code == c) {
                linear = list.GetIdent(i);
                break;
            }
        EXPECT_EQ(list.FindTypeIdent(c), linear) << c;
    }
}

TEST_F(TypeIdentTest, LookupByName) {
    const TTypeIdent* t = list.FindTypeIdent(C_SC_NA);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Code, 45);
    EXPECT_EQ(t->dtype, CSC);
    EXPECT_EQ(list.FindTypeIdent(C_IC_NA)->Code, 100);
    // File transfer has no entry.
    for (NameTypeIdent n : {F_FR_NA, F_SR_NA, F_SC_NA, F_LS_NA, F_AF_NA, F_SG_NA, F_DR_NA})
        EXPECT_EQ(list.FindTypeIdent(n), nullptr);
    EXPECT_EQ(std::string(NameTypeIdentText(M_CB_TC)), "M_CB_TC");
    EXPECT_EQ(std::string(NameTypeIdentText(74)), "");
}

TEST_F(TypeIdentTest, AddIdentRefusesDuplicatesAndOverflow) {
    std::string err = list.AddIdent(TTypeIdent(30, 1, 0, M_CB_TA, U0, Q0, "x"), notifier);
    EXPECT_EQ(err, "Повтор кода или имени. Код=30");
    err = list.AddIdent(TTypeIdent(200, 1, 0, M_SP_NA, U0, Q0, "x"), notifier);
    EXPECT_EQ(err, "Повтор кода или имени. Код=200");
    ASSERT_EQ(notifier.errors.size(), 2u);
    EXPECT_EQ(notifier.errors[0], "ERROR: В файле u_TypeIdent Повтор кода или имени. Код=30");
    EXPECT_EQ(list.GetCount(), 67);
    EXPECT_EQ(list.FindTypeIdent(200), nullptr);

    // The seven file-transfer mnemonics are free; fill up to the capacity of 76.
    const NameTypeIdent freeNames[] = {F_FR_NA, F_SR_NA, F_SC_NA, F_LS_NA,
                                       F_AF_NA, F_SG_NA, F_DR_NA};
    int code = 120;
    for (NameTypeIdent n : freeNames)
        EXPECT_EQ(list.AddIdent(TTypeIdent(code++, 1, 0, n, U0, Q0, "f"), notifier), "");
    EXPECT_EQ(list.GetCount(), 74);
    EXPECT_EQ(list.FindTypeIdent(F_DR_NA)->Code, 126);
}

TEST(TypeIdentCapacity, SeventySeventhEntryIsRefused) {
    TRecordingNotifier n;
    TTypeIdentList list(n);
    // Only seven mnemonics are free, so a full list cannot be reached through
    // AddIdent alone; mark it full to reach the capacity check.
    list.Count = 76;
    EXPECT_EQ(list.AddIdent(TTypeIdent(250, 1, 0, F_FR_NA, U0, Q0, "f"), n),
              "Мала константа MAX_IDENTLEN!");
    EXPECT_EQ(list.FindTypeIdent(250), nullptr);
    ASSERT_EQ(n.errors.size(), 1u);
    EXPECT_EQ(n.errors[0], "ERROR: В файле u_TypeIdent Мала константа MAX_IDENTLEN!");
}

TEST_F(TypeIdentTest, CotTexts) {
    EXPECT_EQ(*list.GetCotText(0), "не используется");
    EXPECT_EQ(*list.GetCotText(3), "спорадическая передача");
    EXPECT_EQ(*list.GetCotText(7), "подтверждение активации");
    EXPECT_EQ(*list.GetCotText(19), "резерв");
    EXPECT_EQ(*list.GetCotText(20), "общий опрос");
    EXPECT_EQ(*list.GetCotText(21), "опрос группы 1");
    EXPECT_EQ(*list.GetCotText(36), "опрос группы 16");
    EXPECT_EQ(*list.GetCotText(37), "общий опрос счетчиков");
    EXPECT_EQ(*list.GetCotText(38), "запрос счетчиков группы 1");
    EXPECT_EQ(*list.GetCotText(41), "запрос счетчиков группы 4");
    EXPECT_EQ(*list.GetCotText(43), "резерв");
    EXPECT_EQ(*list.GetCotText(47), "неизвестный адрес объекта информации");
    EXPECT_EQ(*list.GetCotText(48), "");
    EXPECT_EQ(*list.GetCotText(49), "");
    EXPECT_EQ(list.GetCotText(50), nullptr);
    EXPECT_EQ(list.GetCotText(71), nullptr);  // negative confirmation octet
    EXPECT_EQ(list.GetCotText(-1), nullptr);
}

TEST(GetObjAddressTest, SizesAndPositions) {
    const uint8_t b[] = {0x10, 0x27, 0x00, 0xAB};
    int32_t pos = 0;
    EXPECT_EQ(GetObjAddress(b, pos, 3), 10000);
    EXPECT_EQ(pos, 3);
    pos = 0;
    EXPECT_EQ(GetObjAddress(b, pos, 2), 10000);
    EXPECT_EQ(pos, 2);
    pos = 3;
    EXPECT_EQ(GetObjAddress(b, pos, 1), 0xAB);
    EXPECT_EQ(pos, 4);
    pos = 1;
    EXPECT_EQ(GetObjAddress(b, pos, 3), 0xAB0027);
    for (int bad : {0, 4, -1, 100}) {
        pos = 1;
        EXPECT_EQ(GetObjAddress(b, pos, bad), 0);
        EXPECT_EQ(pos, 1);
    }
}

class GetDateTest : public ::testing::Test {
  protected:
    // 10 March 2024, 14:25:00 local.
    TManualClock clock{Dt(2024, 3, 10, 14, 25, 0, 0)};
    TMessBuff journal{100, 0xFFFFFFFFu};
};

TEST_F(GetDateTest, SevenOctets) {
    const uint8_t b[] = {0xEE, 0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x06, 0x18};
    TDateTime dt = 1.0;
    EXPECT_TRUE(GetDate(b, 1, dt, 7, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2024, 6, 15, 12, 30, 10, 0));
    EXPECT_TRUE(Drain(journal).empty());
}

TEST_F(GetDateTest, FlagBitsAreMasked) {
    // Invalid bit in the minute octet, summer time in the hour octet, day of week 5.
    const uint8_t b[] = {0x39,        0x30,       0x80 | 0x05, 0x80 | 0x07, (5 << 5) | 0x14,
                         0xF0 | 0x02, 0x80 | 0x17};
    TDateTime dt = 0;
    EXPECT_TRUE(GetDate(b, 0, dt, 7, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2023, 2, 20, 7, 5, 12, 345));
}

TEST_F(GetDateTest, MidnightOfNewYear) {
    const uint8_t b[] = {0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x15};
    TDateTime dt = 0;
    EXPECT_TRUE(GetDate(b, 0, dt, 7, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2021, 1, 1, 0, 0, 0, 0));
}

TEST_F(GetDateTest, OutOfRangeFieldsLeaveDateUnchanged) {
    const std::vector<std::vector<uint8_t>> bad = {
        {0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x06, 0x00},  // year 2000
        {0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x00, 0x18},  // month 0
        {0x10, 0x27, 0x1E, 0x0C, 0x0F, 0x0D, 0x18},  // month 13
        {0x10, 0x27, 0x1E, 0x0C, 0x00, 0x06, 0x18},  // day 0
        {0x10, 0x27, 0x1E, 0x18, 0x0F, 0x06, 0x18},  // hour 24
        {0x10, 0x27, 0x3C, 0x0C, 0x0F, 0x06, 0x18},  // minute 60
        {0x60, 0xEA, 0x1E, 0x0C, 0x0F, 0x06, 0x18},  // 60000 ms = second 60
        {0xFF, 0xFF, 0x3F, 0x1F, 0x1F, 0x0F, 0x7F},  // everything at its mask
    };
    for (const auto& v : bad) {
        TDateTime dt = 123.0;
        EXPECT_TRUE(GetDate(v.data(), 0, dt, 7, clock, journal));
        EXPECT_EQ(dt, 123.0);
    }
    EXPECT_TRUE(Drain(journal).empty());
}

TEST_F(GetDateTest, NonExistentDateJournalsAndFails) {
    const std::vector<std::vector<uint8_t>> bad = {
        {0x00, 0x00, 0x00, 0x00, 0x1F, 0x04, 0x18},  // 31 April
        {0x00, 0x00, 0x00, 0x00, 0x1D, 0x02, 0x17},  // 29 February 2023
    };
    for (const auto& v : bad) {
        TDateTime dt = 5.0;
        EXPECT_FALSE(GetDate(v.data(), 0, dt, 7, clock, journal));
        EXPECT_EQ(dt, 5.0);
    }
    const auto lines = Drain(journal);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "(err) Error! u_TypeIdent.GetDate(). Плохая метка времени");
    // 29 February of a leap year is fine.
    const uint8_t leap[] = {0x00, 0x00, 0x00, 0x00, 0x1D, 0x02, 0x18};
    TDateTime dt = 0;
    EXPECT_TRUE(GetDate(leap, 0, dt, 7, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2024, 2, 29, 0, 0, 0, 0));
}

TEST_F(GetDateTest, BadDateLineIsFilteredByCategory) {
    TMessBuff quiet(100, 0);  // category 1 not enabled
    const uint8_t b[] = {0x00, 0x00, 0x00, 0x00, 0x1F, 0x04, 0x18};
    TDateTime dt = 5.0;
    EXPECT_FALSE(GetDate(b, 0, dt, 7, clock, quiet));
    EXPECT_TRUE(Drain(quiet).empty());
}

TEST_F(GetDateTest, ThreeOctetsUseTodayAndCurrentHour) {
    // 47 min 12.500 s
    const uint8_t b[] = {0xD4, 0x30, 0x2F};
    TDateTime dt = 0;
    EXPECT_TRUE(GetDate(b, 0, dt, 3, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2024, 3, 10, 14, 47, 12, 500));
    // Invalid bit of the minute octet ignored.
    const uint8_t c[] = {0x00, 0x00, 0x80 | 0x01};
    EXPECT_TRUE(GetDate(c, 0, dt, 3, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2024, 3, 10, 14, 1, 0, 0));
}

TEST_F(GetDateTest, ShortLengthsNeverReadPastTheTag) {
    // Two octets: minute from the clock too.
    const uint8_t b[] = {0xE8, 0x03};
    TDateTime dt = 0;
    EXPECT_TRUE(GetDate(b, 0, dt, 2, clock, journal));
    EXPECT_DOUBLE_EQ(dt, Dt(2024, 3, 10, 14, 25, 1, 0));
    dt = 7.0;
    EXPECT_TRUE(GetDate(b, 0, dt, 1, clock, journal));
    EXPECT_EQ(dt, 7.0);
    EXPECT_TRUE(GetDate(b, 0, dt, 0, clock, journal));
    EXPECT_EQ(dt, 7.0);
}

}  // namespace
}  // namespace telegate
