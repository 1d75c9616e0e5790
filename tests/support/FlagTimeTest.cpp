#include <gtest/gtest.h>

#include <cstdint>

#include "support/Clock.h"
#include "support/DateTime.h"
#include "support/FlagWord.h"
#include "support/Stopwatch.h"

namespace telegate {
namespace {

TEST(Flag, SetTestClear) {
    TFLAG f;
    EXPECT_FALSE(f.Operation(FSet, 5));
    EXPECT_EQ(f.fln, 0x20);
    EXPECT_EQ(f.ToString(), "(0020h)");
    EXPECT_TRUE(f.Operation(FYes, 5));
    EXPECT_FALSE(f.Operation(FNo, 5));
    EXPECT_FALSE(f.Operation(FYes, 4));
    EXPECT_TRUE(f.Operation(FNo, 4));
    f.Operation(FSet, 2);
    EXPECT_EQ(f.ToString(), "(0024h)");
    EXPECT_FALSE(f.Operation(FClear, 5));
    EXPECT_EQ(f.fln, 0x04);
    EXPECT_FALSE(f.Operation(FClearAll, 7));
    EXPECT_EQ(f.fln, 0);
    EXPECT_EQ(f.ToString(), "(0000h)");
}

TEST(Flag, BitNumberTakenModulo32) {
    TFLAG f;
    f.Operation(FSet, 33);
    EXPECT_EQ(f.fln, 2);
    f.Operation(FSet, 31);
    EXPECT_EQ(static_cast<uint32_t>(f.fln), 0x80000002u);
    EXPECT_EQ(f.ToString(), "(80000002h)");
    EXPECT_TRUE(f.Operation(FYes, -1));  // -1 AND 31 = 31
    f.Operation(FClear, 63);
    EXPECT_EQ(f.fln, 2);
    f.Operation(FSet, 16);
    EXPECT_EQ(f.ToString(), "(10002h)");  // more digits when needed
    f.Reset();
    EXPECT_EQ(f.fln, 0);
    TFLAG g(0x24);
    EXPECT_TRUE(g.Operation(FYes, 2));
}

enum class TBitTest { bt_A = 0, bt_B = 3 };

TEST(Flag, TypedFlagForwards) {
    TTypedFlag<TBitTest> f;
    f.Op(FSet, TBitTest::bt_B);
    EXPECT_EQ(f.fln, 8);
    EXPECT_TRUE(f.Op(FYes, TBitTest::bt_B));
    EXPECT_TRUE(f.Op(FNo, TBitTest::bt_A));
}

TEST(Stopwatch, ExpiresStrictlyAfterPauseAndStaysExpired) {
    TManualClock clk;
    TTimeCheckPause t(clk);
    t.Start();
    clk.Advance(1000);
    EXPECT_FALSE(t.CheckExpire(1000, false));
    clk.Advance(1);
    EXPECT_TRUE(t.CheckExpire(1000, false));
    EXPECT_FALSE(t.prStart);
    EXPECT_TRUE(t.CheckExpire(1000, false));
    clk.Advance(5000);
    EXPECT_TRUE(t.CheckExpire(1000, false));
    t.Start();
    EXPECT_TRUE(t.prStart);
    EXPECT_FALSE(t.CheckExpire(1000, false));
}

TEST(Stopwatch, RestartOnExpiry) {
    TManualClock clk;
    TTimeCheckPause t(clk, true);
    clk.Advance(2001);
    EXPECT_TRUE(t.CheckExpire(2000, true));
    EXPECT_TRUE(t.prStart);
    clk.Advance(2000);
    EXPECT_FALSE(t.CheckExpire(2000, true));
    clk.Advance(1);
    EXPECT_TRUE(t.CheckExpire(2000, true));
    EXPECT_EQ(t.TimeFromStart(), 0);
}

TEST(Stopwatch, UnstartedCountsAsExpiredForPausesBelowADay) {
    TManualClock clk(46000.5, 0);
    TTimeCheckPause t(clk);
    EXPECT_FALSE(t.prStart);
    EXPECT_GE(t.TimeFromStart(), 86400000);
    EXPECT_TRUE(t.CheckExpire(86399999, false));
    EXPECT_TRUE(t.CheckExpire(0, false));
    TManualClock late(46000.5, 123'456'789);
    TTimeCheckPause u(late);
    EXPECT_GE(u.TimeFromStart(), 86400000);
    EXPECT_TRUE(u.CheckExpire(86399999, true));
    // Restarted by the expiry: from now on it measures normally.
    EXPECT_TRUE(u.prStart);
    late.Advance(10);
    EXPECT_EQ(u.TimeFromStart(), 10);
}

TEST(Stopwatch, StopKeepsStartInstant) {
    TManualClock clk;
    TTimeChecker t(clk, true);
    clk.Advance(300);
    t.Stop();
    EXPECT_FALSE(t.prStart);
    clk.Advance(200);
    EXPECT_EQ(t.TimeFromStart(), 500);  // ignores the running flag
}

TEST(Stopwatch, MidnightDoesNotDisturb) {
    // Started at 23:59:59.500, read at 00:00:00.500 of the next day.
    TDateTime start = 0;
    ASSERT_TRUE(TryEncodeDateTime({2024, 5, 1, 23, 59, 59, 500}, start));
    TManualClock clk(start);
    TTimeCheckPause t(clk, true);
    clk.Advance(1000);
    EXPECT_EQ(FormatTimeMs(clk.Now()), "00:00:00.500");
    EXPECT_EQ(t.TimeFromStart(), 1000);
}

TEST(Stopwatch, WallClockJumpsNeitherFireNorStall) {
    TManualClock clk;
    TTimeCheckPause t(clk, true);
    clk.SetWall(clk.Now() + 1.0);  // set forward a day
    EXPECT_FALSE(t.CheckExpire(1000, false));
    clk.SetWall(clk.Now() - 2.0);  // set back two days
    clk.Advance(1001);
    EXPECT_TRUE(t.CheckExpire(1000, false));
}

TEST(TimeTrace, CheckWhenRunningAndStopped) {
    TManualClock clk;
    TTimeTrace t(clk, true);
    clk.Advance(250);
    int64_t delta = -1;
    EXPECT_EQ(t.Check(delta), "t=250ms");
    EXPECT_EQ(delta, 250);
    clk.Advance(40);
    EXPECT_EQ(t.Check(delta), "t=40ms");  // restarted by the previous check
    t.Stop();
    delta = -7;
    EXPECT_EQ(t.Check(delta), "");
    EXPECT_EQ(delta, -7);
    TTimeTrace never(clk);
    EXPECT_EQ(never.Check(delta), "");
    EXPECT_EQ(delta, -7);
}

TEST(Traffic, RateAndSameMillisecond) {
    TManualClock clk;
    TTraceTraffic tr(clk);
    tr.AddBytes(2500);
    clk.Advance(2000);
    EXPECT_EQ(tr.GetTraffic(), 1250);
    EXPECT_EQ(tr.nnBytes, 0);
    tr.AddBytes(100);
    EXPECT_EQ(tr.GetTraffic(), 1250);  // no time passed: previous rate, bytes kept
    EXPECT_EQ(tr.nnBytes, 100);
    clk.Advance(3);
    EXPECT_EQ(tr.GetTraffic(), 33333);  // truncated toward zero
    clk.Advance(1000);
    EXPECT_EQ(tr.GetTraffic(), 0);
}

TEST(Traffic, CounterSaturatesInsteadOfOverflowing) {
    TManualClock clk;
    TTraceTraffic tr(clk);
    for (int i = 0; i < 3; ++i) tr.AddBytes(INT32_MAX);
    EXPECT_EQ(tr.nnBytes, INT32_MAX);
    clk.Advance(1);
    EXPECT_EQ(tr.GetTraffic(), INT32_MAX);
}

}  // namespace
}  // namespace telegate
