#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "support/DateTime.h"

namespace telegate {
namespace {

TDateTime Enc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    TDateTime out = -1;
    EXPECT_TRUE(TryEncodeDateTime({y, mo, d, h, mi, s, ms}, out)) << y << "-" << mo << "-" << d;
    return out;
}

TEST(DateTime, EpochAndKnownDays) {
    TDateTime d = -1;
    ASSERT_TRUE(TryEncodeDate(1899, 12, 30, d));
    EXPECT_EQ(d, 0.0);
    ASSERT_TRUE(TryEncodeDate(1899, 12, 31, d));
    EXPECT_EQ(d, 1.0);
    ASSERT_TRUE(TryEncodeDate(1900, 1, 1, d));
    EXPECT_EQ(d, 2.0);
    ASSERT_TRUE(TryEncodeDate(2000, 1, 1, d));
    EXPECT_EQ(d, 36526.0);
    ASSERT_TRUE(TryEncodeDate(1970, 1, 1, d));
    EXPECT_EQ(d, 25569.0);
    ASSERT_TRUE(TryEncodeDate(1, 1, 1, d));
    EXPECT_EQ(d, -693593.0);
    ASSERT_TRUE(TryEncodeDate(9999, 12, 31, d));
    EXPECT_EQ(d, 2958465.0);
}

TEST(DateTime, LeapYears) {
    TDateTime d = 0;
    EXPECT_TRUE(TryEncodeDate(2024, 2, 29, d));
    EXPECT_TRUE(TryEncodeDate(2000, 2, 29, d));   // divisible by 400
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, d));  // century, not leap
    EXPECT_FALSE(TryEncodeDate(2023, 2, 29, d));
    EXPECT_FALSE(TryEncodeDate(2100, 2, 29, d));
    TDateTime feb28 = 0;
    TDateTime mar1 = 0;
    ASSERT_TRUE(TryEncodeDate(2024, 2, 28, feb28));
    ASSERT_TRUE(TryEncodeDate(2024, 3, 1, mar1));
    EXPECT_EQ(mar1 - feb28, 2.0);
    ASSERT_TRUE(TryEncodeDate(1900, 2, 28, feb28));
    ASSERT_TRUE(TryEncodeDate(1900, 3, 1, mar1));
    EXPECT_EQ(mar1 - feb28, 1.0);
}

TEST(DateTime, InvalidDatesAndTimes) {
    TDateTime d = 123.0;
    EXPECT_FALSE(TryEncodeDate(2024, 0, 1, d));
    EXPECT_FALSE(TryEncodeDate(2024, 13, 1, d));
    EXPECT_FALSE(TryEncodeDate(2024, 4, 31, d));
    EXPECT_FALSE(TryEncodeDate(2024, 1, 0, d));
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, d));
    EXPECT_FALSE(TryEncodeDate(10000, 1, 1, d));
    EXPECT_EQ(d, 123.0);  // untouched on failure
    EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, 24, 0, 0, 0}, d));
    EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, 0, 60, 0, 0}, d));
    EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, 0, 0, 60, 0}, d));
    EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, 0, 0, 0, 1000}, d));
    EXPECT_FALSE(TryEncodeDateTime({2024, 1, 1, -1, 0, 0, 0}, d));
    EXPECT_FALSE(TryEncodeDateTime({2023, 2, 29, 12, 0, 0, 0}, d));
    EXPECT_EQ(d, 123.0);
}

TEST(DateTime, RoundTripParts) {
    for (const TDateTimeParts& p :
         {TDateTimeParts{2024, 2, 29, 23, 59, 59, 999}, TDateTimeParts{1899, 12, 30, 0, 0, 0, 1},
          TDateTimeParts{1999, 12, 31, 12, 34, 56, 789}, TDateTimeParts{1, 1, 1, 6, 0, 0, 0},
          TDateTimeParts{9999, 12, 31, 23, 59, 59, 999},
          TDateTimeParts{1850, 6, 15, 18, 0, 0, 0}}) {
        TDateTime dt = 0;
        ASSERT_TRUE(TryEncodeDateTime(p, dt));
        const TDateTimeParts q = DecodeDateTime(dt);
        EXPECT_EQ(q.year, p.year);
        EXPECT_EQ(q.month, p.month);
        EXPECT_EQ(q.day, p.day);
        EXPECT_EQ(q.hour, p.hour);
        EXPECT_EQ(q.minute, p.minute);
        EXPECT_EQ(q.second, p.second);
        EXPECT_EQ(q.msec, p.msec) << FormatDateTime(dt);
    }
}

TEST(DateTime, BeforeEpochCountsTimeAwayFromZero) {
    // 1899-12-29 18:00 is -1.75: the day before, three quarters through.
    EXPECT_DOUBLE_EQ(Enc(1899, 12, 29, 18), -1.75);
    const TDateTimeParts p = DecodeDateTime(-1.75);
    EXPECT_EQ(p.day, 29);
    EXPECT_EQ(p.hour, 18);
    EXPECT_EQ(FormatDateTime(-1.75), "29.12.1899 18:00:00");
}

TEST(DateTime, RoundsToNearestMillisecondAcrossMidnight) {
    // A hair before midnight decodes as the next day's 00:00:00.000.
    const TDateTime almost = Enc(2024, 12, 31) + 1.0 - 1e-10;
    const TDateTimeParts p = DecodeDateTime(almost);
    EXPECT_EQ(p.year, 2025);
    EXPECT_EQ(p.month, 1);
    EXPECT_EQ(p.day, 1);
    EXPECT_EQ(p.hour, 0);
    EXPECT_EQ(p.msec, 0);
}

TEST(DateTime, NonsenseValuesDecodeSafely) {
    for (double v :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity(), 1e300, -1e300, 3e6, -7e5}) {
        const TDateTimeParts p = DecodeDateTime(v);
        EXPECT_EQ(p.year, 1899) << v;
        EXPECT_EQ(p.month, 12);
        EXPECT_EQ(p.day, 30);
        EXPECT_EQ(FormatDateTime(v), "30.12.1899 00:00:00");
        (void)DateTimeToTimeStamp(v);
    }
}

TEST(DateTime, Formats) {
    const TDateTime dt = Enc(2024, 3, 5, 7, 8, 9, 45);
    EXPECT_EQ(FormatDateTime(dt), "05.03.2024 07:08:09");
    EXPECT_EQ(FormatTime(dt), "07:08:09");
    EXPECT_EQ(FormatTimeMs(dt), "07:08:09.045");
    EXPECT_EQ(FormatDateTime(0), "30.12.1899 00:00:00");
}

TEST(DateTime, TimeStampMatchesDayCount) {
    const TTimeStamp epoch = DateTimeToTimeStamp(0);
    EXPECT_EQ(epoch.date, 693594);
    EXPECT_EQ(epoch.time, 0);
    const TTimeStamp first = DateTimeToTimeStamp(Enc(1, 1, 1));
    EXPECT_EQ(first.date, 1);
    const TTimeStamp ts = DateTimeToTimeStamp(Enc(2024, 1, 2, 23, 59, 59, 500));
    EXPECT_EQ(ts.time, 86399500);
    EXPECT_EQ(ts.date - DateTimeToTimeStamp(Enc(2024, 1, 1)).date, 1);
}

class ScopedTz {
  public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTz() {
        if (old_)
            ::setenv("TZ", old_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

  private:
    std::optional<std::string> old_;
};

TEST(DateTime, UnixConversionInFixedZones) {
    {
        ScopedTz tz("UTC0");
        EXPECT_DOUBLE_EQ(UnixMsToLocalDateTime(0), 25569.0);
        EXPECT_EQ(LocalDateTimeToUnixMs(25569.0), 0);
        const TDateTime t = UnixMsToLocalDateTime(1'700'000'000'123);
        EXPECT_EQ(FormatTimeMs(t), "22:13:20.123");
        EXPECT_EQ(LocalDateTimeToUnixMs(t), 1'700'000'000'123);
        // Before 1970: milliseconds borrow from the second.
        EXPECT_EQ(FormatTimeMs(UnixMsToLocalDateTime(-1)), "23:59:59.999");
    }
    {
        ScopedTz tz("MSK-3");  // three hours east, no daylight saving
        EXPECT_EQ(FormatDateTime(UnixMsToLocalDateTime(0)), "01.01.1970 03:00:00");
        EXPECT_EQ(LocalDateTimeToUnixMs(25569.125), 0);
    }
}

}  // namespace
}  // namespace telegate
