#include "store/DateTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

// Days from 1899-12-30 to 1970-01-01.
constexpr int64_t kUnixEpochDays = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

// Total milliseconds since 1899-12-30 00:00, rounded to the nearest ms.
int64_t ToMs(TDateTime value) {
    return static_cast<int64_t>(std::llround(value * kMSecsPerDay));
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool ParseInt(std::string_view& s, int digitsMin, int digitsMax, int& out) {
    int n = 0, v = 0;
    while (n < static_cast<int>(s.size()) && n < digitsMax && s[n] >= '0' && s[n] <= '9') {
        v = v * 10 + (s[n] - '0');
        ++n;
    }
    if (n < digitsMin) return false;
    out = v;
    s.remove_prefix(n);
    return true;
}

bool Expect(std::string_view& s, char c) {
    if (s.empty() || s.front() != c) return false;
    s.remove_prefix(1);
    return true;
}

}  // namespace

bool IsValidDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int max = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= max;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                   kUnixEpochDays;
    int64_t ms = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    return static_cast<double>(days) + static_cast<double>(ms) / kMSecsPerDay;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
    int64_t total = ToMs(value);
    int64_t days = FloorDiv(total, kMSecsPerDay);
    int64_t ms = total - days * kMSecsPerDay;
    TDateTimeParts p;
    CivilFromDays(days - kUnixEpochDays, p.Year, p.Month, p.Day);
    p.Hour = static_cast<int>(ms / 3600000);
    p.Minute = static_cast<int>(ms / 60000 % 60);
    p.Second = static_cast<int>(ms / 1000 % 60);
    p.Millisecond = static_cast<int>(ms % 1000);
    return p;
}

TDateTime DateTimeFromUnixMs(int64_t unixMs) {
    time_t secs = static_cast<time_t>(FloorDiv(unixMs, 1000));
    int ms = static_cast<int>(unixMs - static_cast<int64_t>(secs) * 1000);
    struct tm tm {};
    localtime_r(&secs, &tm);
    return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec, ms);
}

int64_t DateTimeToUnixMs(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    struct tm tm {};
    tm.tm_year = p.Year - 1900;
    tm.tm_mon = p.Month - 1;
    tm.tm_mday = p.Day;
    tm.tm_hour = p.Hour;
    tm.tm_min = p.Minute;
    tm.tm_sec = p.Second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm)) * 1000 + p.Millisecond;
}

TDateTime Now() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    return DateTimeFromUnixMs(ms.count());
}

int32_t DayNumber(TDateTime value) {
    return static_cast<int32_t>(FloorDiv(ToMs(value), kMSecsPerDay));
}

TDateTime DateOf(TDateTime value) {
    return static_cast<double>(DayNumber(value));
}

int64_t MillisecondsBetween(TDateTime later, TDateTime earlier) {
    return ToMs(later) - ToMs(earlier);
}

std::string FormatShortDate(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d-%d-%d", p.Year, p.Month, p.Day);
    return buf;
}

TDateTime ParseShortDate(std::string_view text) {
    std::string_view s = text;
    int y = 0, m = 0, d = 0;
    if (!ParseInt(s, 4, 4, y) || !Expect(s, '-') || !ParseInt(s, 1, 2, m) || !Expect(s, '-') ||
        !ParseInt(s, 1, 2, d) || !s.empty() || !IsValidDate(y, m, d)) {
        return 0;
    }
    return EncodeDateTime(y, m, d);
}

std::string FormatLongTime(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d:%02d", p.Hour, p.Minute, p.Second);
    return buf;
}

std::string DateTimeToText(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    if (p.Hour == 0 && p.Minute == 0 && p.Second == 0 && p.Millisecond == 0) {
        return FormatShortDate(value);
    }
    return FormatShortDate(value) + " " + FormatLongTime(value);
}

std::string FormatIsoDateTime(TDateTime value) {
    TDateTimeParts p = DecodeDateTime(value);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day,
                  p.Hour, p.Minute, p.Second, p.Millisecond);
    return buf;
}

std::optional<TDateTime> ParseIsoDateTime(std::string_view text) {
    std::string_view s = text;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    if (!ParseInt(s, 4, 4, y) || !Expect(s, '-') || !ParseInt(s, 1, 2, mo) || !Expect(s, '-') ||
        !ParseInt(s, 1, 2, d) || !IsValidDate(y, mo, d)) {
        return std::nullopt;
    }
    if (!s.empty()) {
        if (s.front() != ' ' && s.front() != 'T') return std::nullopt;
        s.remove_prefix(1);
        if (!ParseInt(s, 1, 2, h) || !Expect(s, ':') || !ParseInt(s, 2, 2, mi)) return std::nullopt;
        if (!s.empty()) {
            if (!Expect(s, ':') || !ParseInt(s, 2, 2, sec)) return std::nullopt;
            if (!s.empty()) {
                if (!Expect(s, '.')) return std::nullopt;
                size_t digits = s.size();
                if (!ParseInt(s, 1, 3, ms) || !s.empty()) return std::nullopt;
                if (digits == 1) ms *= 100;
                if (digits == 2) ms *= 10;
            }
        }
        if (h > 23 || mi > 59 || sec > 59) return std::nullopt;
    }
    return EncodeDateTime(y, mo, d, h, mi, sec, ms);
}
