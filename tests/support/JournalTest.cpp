#include <gtest/gtest.h>

#include <string>

#include "support/Journal.h"

namespace telegate {
namespace {

const char kOverflow[] = "*** ERROR: ПЕРЕПОЛНЕНИЕ TMessBuff!!!";

TEST(MessBuff, StoresInOrderWithTimes) {
    TMessBuff mb(1000, 0);
    mb.Put(0, "first", 45000.25);
    mb.Put(0, "second");
    EXPECT_EQ(mb.nmess, 2);
    std::string m;
    TDateTime dt = -1;
    ASSERT_TRUE(mb.Get(m, dt));
    EXPECT_EQ(m, "first");
    EXPECT_EQ(dt, 45000.25);
    ASSERT_TRUE(mb.Get(m, dt));
    EXPECT_EQ(m, "second");
    EXPECT_EQ(dt, 0.0);  // no time given
    EXPECT_EQ(mb.nmess, 0);
}

TEST(MessBuff, FullJournalKeepsMarkerAndDropsTheRest) {
    TMessBuff mb(1000, 0);
    for (int i = 0; i < 1000; ++i) mb.Put(0, "line " + std::to_string(i), i);
    EXPECT_EQ(mb.nmess, 1000);
    EXPECT_EQ(mb.Mess[998], "line 998");
    EXPECT_EQ(mb.Mess[999], kOverflow);
    EXPECT_EQ(mb.FDt[999], 999.0);  // the marker keeps the lost line's time
    mb.Put(0, "line 1000");         // lost
    EXPECT_EQ(mb.nmess, 1000);
    std::string m;
    TDateTime dt = 0;
    int n = 0;
    std::string last;
    while (mb.Get(m, dt)) {
        if (n < 999) {
            EXPECT_EQ(m, "line " + std::to_string(n));
        }
        last = m;
        ++n;
    }
    EXPECT_EQ(n, 1000);
    EXPECT_EQ(last, kOverflow);
}

TEST(MessBuff, AcceptsAgainAfterDrainAndOverflowsAgain) {
    TMessBuff mb(4, 0);
    std::string m;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 6; ++i)
            mb.Put(0, "r" + std::to_string(round) + "-" + std::to_string(i));
        ASSERT_EQ(mb.nmess, 4);
        ASSERT_TRUE(mb.Get(m));
        EXPECT_EQ(m, "r" + std::to_string(round) + "-0");
        ASSERT_TRUE(mb.Get(m));
        ASSERT_TRUE(mb.Get(m));
        EXPECT_EQ(m, "r" + std::to_string(round) + "-2");
        ASSERT_TRUE(mb.Get(m));
        EXPECT_EQ(m, kOverflow);
        EXPECT_FALSE(mb.Get(m));
    }
}

TEST(MessBuff, CategoryFilter) {
    TMessBuff plain(100, 0);
    plain.Put(0x10000, "(iec5) frame");
    plain.Put(1, "(err) x");
    plain.Put(0, "always");
    EXPECT_EQ(plain.nmess, 1);
    EXPECT_FALSE(plain.Enabled(0x10000));
    EXPECT_TRUE(plain.Enabled(0));

    TMessBuff link(100, 0x10000);
    link.Put(0x10000, "(iec5) frame");
    link.Put(0x10, ">(iec0) 68 04");
    link.Put(0, "always");
    EXPECT_EQ(link.nmess, 2);

    TMessBuff dump(100, 0x40);
    dump.Put(0x10 | 0x40, "either bit");
    dump.Put(0x10 | 0x80, "neither bit");
    EXPECT_EQ(dump.nmess, 1);
    std::string m;
    ASSERT_TRUE(dump.Get(m));
    EXPECT_EQ(m, "either bit");
    EXPECT_TRUE(dump.Enabled(0x50));
    EXPECT_FALSE(dump.Enabled(0x90));
}

TEST(MessBuff, GetOnEmptyLeavesEverythingAlone) {
    TMessBuff mb(10, 0);
    std::string m = "keep";
    TDateTime dt = 7.5;
    EXPECT_FALSE(mb.Get(m, dt));
    EXPECT_FALSE(mb.Get(m));
    EXPECT_EQ(m, "keep");
    EXPECT_EQ(dt, 7.5);
    EXPECT_EQ(mb.ipos, 0);
    EXPECT_EQ(mb.nmess, 0);
}

TEST(MessBuff, RingWraps) {
    TMessBuff mb(1000, 0);
    std::string m;
    for (int i = 0; i < 999; ++i) mb.Put(0, "x");
    for (int i = 0; i < 999; ++i) ASSERT_TRUE(mb.Get(m));
    EXPECT_EQ(mb.ipos, 999);
    mb.Put(0, "at 999", 1.0);
    mb.Put(0, "at 0", 2.0);
    EXPECT_EQ(mb.Mess[999], "at 999");
    EXPECT_EQ(mb.Mess[0], "at 0");
    EXPECT_EQ(mb.FDt[0], 2.0);
    TDateTime dt = 0;
    ASSERT_TRUE(mb.Get(m, dt));
    EXPECT_EQ(m, "at 999");
    EXPECT_EQ(mb.ipos, 0);
    ASSERT_TRUE(mb.Get(m, dt));
    EXPECT_EQ(m, "at 0");
    EXPECT_EQ(dt, 2.0);
}

TEST(MessBuff, TinyAndBadCapacities) {
    TMessBuff one(1, 0);
    one.Put(0, "only");
    EXPECT_EQ(one.Mess[0], kOverflow);  // one slot holds just the marker
    TMessBuff none(0, 0);
    EXPECT_EQ(none.FSize, 1);
    none.Put(0, "x");
    none.Put(0, "y");
    EXPECT_EQ(none.nmess, 1);
    TMessBuff neg(-5, 0);
    EXPECT_EQ(neg.FSize, 1);
}

TEST(MessBuff, StorageNeverGrows) {
    TMessBuff mb(16, 0xFFFFFFFF);
    for (int i = 0; i < 1000; ++i) mb.Put(static_cast<uint32_t>(i), "line");
    EXPECT_EQ(mb.Mess.size(), 16u);
    EXPECT_EQ(mb.FDt.size(), 16u);
    EXPECT_EQ(mb.nmess, 16);
}

}  // namespace
}  // namespace telegate
