#pragma once
// Date-times as the station stores and compares them: a double counting days
// since 1899-12-30 00:00 local time, the fraction being the time of day.
// Every conversion to and from the system clock and to text lives here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using TDateTime = double;

struct TDateTimeParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

constexpr int64_t kMSecsPerDay = 86400000;

// Calendar arithmetic only (no time zone): the broken-down local time <-> days.
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
// Rounds to the nearest millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);
bool IsValidDate(int year, int month, int day);

// The current local date-time, to the millisecond.
TDateTime Now();
// Local date-time of a system clock instant (milliseconds since the Unix
// epoch) and back.
TDateTime DateTimeFromUnixMs(int64_t unixMs);
int64_t DateTimeToUnixMs(TDateTime value);

// Whole days (the date part) and the day's date at midnight.
int32_t DayNumber(TDateTime value);
TDateTime DateOf(TDateTime value);
// Milliseconds between two date-times, rounded.
int64_t MillisecondsBetween(TDateTime later, TDateTime earlier);

// The station's short date format, fixed as yyyy-M-d (e.g. "2006-3-1"): it is
// safe in file names and parses back.
std::string FormatShortDate(TDateTime value);
// Parses yyyy-M-d; an empty or unreadable text gives 0.
TDateTime ParseShortDate(std::string_view text);
// The long time format H:mm:ss, e.g. "9:05:07".
std::string FormatLongTime(TDateTime value);
// The default date-time text: short date, a blank, long time; the time is
// left out when it is exactly midnight.
std::string DateTimeToText(TDateTime value);

// "YYYY-MM-DD hh:mm:ss.zzz" for exports and tools.
std::string FormatIsoDateTime(TDateTime value);
// Accepts "YYYY-MM-DD", "YYYY-MM-DD hh:mm", "YYYY-MM-DD hh:mm:ss" and
// "YYYY-MM-DD hh:mm:ss.zzz" (also with 'T' between date and time).
std::optional<TDateTime> ParseIsoDateTime(std::string_view text);
