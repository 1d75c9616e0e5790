#include "support/DateTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace telegate {
namespace {

bool IsLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

// Days from civil date to 1970-01-01 (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 relative to 1970-01-01.
const int64_t kEpochOffsetDays = DaysFromCivil(1899, 12, 30);

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    if (day > DaysInMonth(year, month)) return false;
    out = static_cast<double>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
        kEpochOffsetDays);
    return true;
}

bool TryEncodeDateTime(const TDateTimeParts& p, TDateTime& out) {
    if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 ||
        p.second > 59 || p.msec < 0 || p.msec > 999)
        return false;
    double date = 0;
    if (!TryEncodeDate(p.year, p.month, p.day, date)) return false;
    const double frac =
        ((p.hour * 3600.0 + p.minute * 60.0 + p.second) * 1000.0 + p.msec) / kMsPerDay;
    // Dates before the epoch count the time of day away from zero, as the format requires.
    out = date >= 0 ? date + frac : date - frac;
    return true;
}

TDateTimeParts DecodeDateTime(TDateTime dt) {
    TDateTimeParts p;
    // Outside 0001-01-01 .. 9999-12-31 (and NaN, infinities) there is no calendar
    // date; such values decode as the epoch rather than overflow the arithmetic.
    if (!(dt > -693594.0 && dt < 2958466.0)) return p;
    double days = std::trunc(dt);
    double frac = std::fabs(dt - days);
    int64_t ms = std::llround(frac * kMsPerDay);
    if (ms >= static_cast<int64_t>(kMsPerDay)) {
        ms -= static_cast<int64_t>(kMsPerDay);
        days += dt >= 0 ? 1 : -1;
    }
    CivilFromDays(static_cast<int64_t>(days) + kEpochOffsetDays, p.year, p.month, p.day);
    p.hour = static_cast<int>(ms / 3600000);
    p.minute = static_cast<int>(ms / 60000 % 60);
    p.second = static_cast<int>(ms / 1000 % 60);
    p.msec = static_cast<int>(ms % 1000);
    return p;
}

TTimeStamp DateTimeToTimeStamp(TDateTime dt) {
    TDateTimeParts p = DecodeDateTime(dt);
    TTimeStamp ts;
    ts.time = ((p.hour * 60 + p.minute) * 60 + p.second) * 1000 + p.msec;
    ts.date = static_cast<int32_t>(
        DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) -
        DaysFromCivil(1, 1, 1) + 1);
    return ts;
}

std::string FormatDateTime(TDateTime dt) {
    TDateTimeParts p = DecodeDateTime(dt);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", p.day, p.month, p.year, p.hour,
                  p.minute, p.second);
    return buf;
}

std::string FormatTime(TDateTime dt) {
    TDateTimeParts p = DecodeDateTime(dt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.hour, p.minute, p.second);
    return buf;
}

std::string FormatTimeMs(TDateTime dt) {
    TDateTimeParts p = DecodeDateTime(dt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", p.hour, p.minute, p.second, p.msec);
    return buf;
}

namespace {
constexpr TDateTime kUnixEpochDays = 25569.0;  // 1970-01-01 as a date-time
}  // namespace

TDateTime UnixMsToLocalDateTime(int64_t unixMs) {
    std::time_t secs = static_cast<std::time_t>(unixMs / 1000);
    int ms = static_cast<int>(unixMs % 1000);
    if (ms < 0) {
        ms += 1000;
        --secs;
    }
    std::tm tmv{};
    if (localtime_r(&secs, &tmv) == nullptr) {
        // The C runtime of Windows has no local time before 1970: count from the
        // epoch with the zone offset the epoch itself has.
        std::time_t zero = 0;
        std::tm epoch{};
        if (localtime_r(&zero, &epoch) == nullptr) return kUnixEpochDays;
        const int64_t offsetMs = ((epoch.tm_mday == 1 ? 0 : -24) + epoch.tm_hour) * 3600000LL +
                                 epoch.tm_min * 60000LL + epoch.tm_sec * 1000LL;
        return kUnixEpochDays + static_cast<double>(unixMs + offsetMs) / 86400000.0;
    }
    TDateTimeParts p{tmv.tm_year + 1900, tmv.tm_mon + 1,           tmv.tm_mday, tmv.tm_hour,
                     tmv.tm_min,         std::min(tmv.tm_sec, 59), ms};
    TDateTime out = 0;
    TryEncodeDateTime(p, out);
    return out;
}

int64_t LocalDateTimeToUnixMs(TDateTime dt) {
    TDateTimeParts p = DecodeDateTime(dt);
    std::tm tmv{};
    tmv.tm_year = p.year - 1900;
    tmv.tm_mon = p.month - 1;
    tmv.tm_mday = p.day;
    tmv.tm_hour = p.hour;
    tmv.tm_min = p.minute;
    tmv.tm_sec = p.second;
    tmv.tm_isdst = -1;
    std::time_t t = std::mktime(&tmv);
    return static_cast<int64_t>(t) * 1000 + p.msec;
}

}  // namespace telegate
