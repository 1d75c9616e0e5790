// Date-time values as the whole system uses them: a double counting days since
// 1899-12-30 (local time), the fraction being the time of day.
#pragma once

#include <cstdint>
#include <string>

namespace telegate {

using TDateTime = double;

struct TDateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, msec = 0;
};

constexpr double kMsPerDay = 86400000.0;
constexpr TDateTime kOneHour = 1.0 / 24.0;

// Days since 1899-12-30 for a calendar date; false when the date does not exist.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
// Full encode; false when date or time is out of range (hour 0..23, min/sec 0..59, ms 0..999).
bool TryEncodeDateTime(const TDateTimeParts& p, TDateTime& out);
// Decodes to calendar fields, rounding to the nearest millisecond.
TDateTimeParts DecodeDateTime(TDateTime dt);

// Milliseconds since midnight and day number since 0001-01-01 (day 1), as the stopwatches use.
struct TTimeStamp {
    int32_t time = 0;  // ms since midnight
    int32_t date = 0;  // days since 1 January of year 1, that day being 1
};
TTimeStamp DateTimeToTimeStamp(TDateTime dt);

// "dd.mm.yyyy hh:nn:ss" and "hh:nn:ss", the program's default formats.
std::string FormatDateTime(TDateTime dt);
std::string FormatTime(TDateTime dt);
// "hh:nn:ss.zzz"
std::string FormatTimeMs(TDateTime dt);

// Unix time (seconds, UTC) <-> local date-time, using the process's time zone.
TDateTime UnixMsToLocalDateTime(int64_t unixMs);
int64_t LocalDateTimeToUnixMs(TDateTime dt);

}  // namespace telegate
