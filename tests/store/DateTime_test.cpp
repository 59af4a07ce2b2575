#include "store/DateTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

TEST(DateTime, EncodesTheDayCountOfKnownDates) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1), 2.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1970, 1, 1), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2006, 2, 24), 38772.0);
    EXPECT_NEAR(EncodeDateTime(2006, 2, 24, 19, 51, 47, 788), 38772.82763643519, 1e-9);
    EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 3, 1, 12), 36586.5);
}

TEST(DateTime, DecodesToTheNearestMillisecond) {
    TDateTimeParts p = DecodeDateTime(38772.82763643519);
    EXPECT_EQ(p.Year, 2006);
    EXPECT_EQ(p.Month, 2);
    EXPECT_EQ(p.Day, 24);
    EXPECT_EQ(p.Hour, 19);
    EXPECT_EQ(p.Minute, 51);
    EXPECT_EQ(p.Second, 47);
    EXPECT_EQ(p.Millisecond, 788);
    // A value a hair below midnight rounds up into the next day.
    p = DecodeDateTime(38773.0 - 1e-10);
    EXPECT_EQ(p.Day, 25);
    EXPECT_EQ(p.Hour, 0);
}

TEST(DateTime, RoundTripsEveryMinuteOfALeapYear) {
    for (int day = 0; day < 366; day += 7) {
        for (int minute = 0; minute < 1440; minute += 13) {
            TDateTime t = EncodeDateTime(2024, 1, 1) + day + minute / 1440.0;
            TDateTimeParts p = DecodeDateTime(t);
            EXPECT_DOUBLE_EQ(
                EncodeDateTime(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.Millisecond),
                EncodeDateTime(2024, 1, 1) + day +
                    (minute * 60000) / static_cast<double>(kMSecsPerDay));
        }
    }
}

TEST(DateTime, ConvertsTheSystemClockInLocalTime) {
    setenv("TZ", "CST-8", 1);  // POSIX form: needs no time zone database
    tzset();
    // 2006-02-24 11:51:47 UTC is 19:51:47 in Beijing.
    int64_t unixMs = 1140781907000LL;
    TDateTime t = DateTimeFromUnixMs(unixMs);
    EXPECT_EQ(DateTimeToText(t), "2006-2-24 19:51:47");
    EXPECT_EQ(DateTimeToUnixMs(t), unixMs);
    EXPECT_EQ(DateTimeToUnixMs(DateTimeFromUnixMs(unixMs + 5)), unixMs + 5);
    TDateTime now = Now();
    EXPECT_GT(now, EncodeDateTime(2020, 1, 1));
    unsetenv("TZ");
    tzset();
}

TEST(DateTime, FormatsTheStationsTextForms) {
    EXPECT_EQ(FormatShortDate(EncodeDateTime(2006, 3, 1, 23, 59)), "2006-3-1");
    EXPECT_EQ(FormatLongTime(EncodeDateTime(2006, 3, 1, 9, 5, 7)), "9:05:07");
    EXPECT_EQ(DateTimeToText(EncodeDateTime(2006, 3, 1)), "2006-3-1");
    EXPECT_EQ(DateTimeToText(EncodeDateTime(2006, 3, 1, 0, 0, 1)), "2006-3-1 0:00:01");
    EXPECT_EQ(FormatIsoDateTime(EncodeDateTime(2006, 3, 1, 9, 5, 7, 42)),
              "2006-03-01 09:05:07.042");
}

TEST(DateTime, ParsesShortDatesAndRejectsAnythingElse) {
    EXPECT_DOUBLE_EQ(ParseShortDate("2006-3-1"), EncodeDateTime(2006, 3, 1));
    EXPECT_DOUBLE_EQ(ParseShortDate("2006-03-01"), EncodeDateTime(2006, 3, 1));
    EXPECT_DOUBLE_EQ(ParseShortDate(FormatShortDate(EncodeDateTime(2031, 12, 31))),
                     EncodeDateTime(2031, 12, 31));
    for (const char* bad :
         {"", "2006/3/1", "2006-2-30", "2006-13-1", "06-3-1", "2006-3-1 ", "x", "2006-3-"}) {
        EXPECT_EQ(ParseShortDate(bad), 0.0) << bad;
    }
}

TEST(DateTime, ParsesIsoTextWithOptionalParts) {
    EXPECT_EQ(*ParseIsoDateTime("2006-02-24"), EncodeDateTime(2006, 2, 24));
    EXPECT_EQ(*ParseIsoDateTime("2006-02-24 19:51"), EncodeDateTime(2006, 2, 24, 19, 51));
    EXPECT_EQ(*ParseIsoDateTime("2006-02-24 19:51:47"), EncodeDateTime(2006, 2, 24, 19, 51, 47));
    EXPECT_EQ(*ParseIsoDateTime("2006-02-24T19:51:47.5"),
              EncodeDateTime(2006, 2, 24, 19, 51, 47, 500));
    EXPECT_EQ(*ParseIsoDateTime("2006-02-24 19:51:47.788"),
              EncodeDateTime(2006, 2, 24, 19, 51, 47, 788));
    for (const char* bad : {"", "2006-02-30", "2006-02-24 25:00", "2006-02-24 19:5",
                            "2006-02-24 19:51:47.", "2006-02-24 19:51:47.1234", "now"}) {
        EXPECT_FALSE(ParseIsoDateTime(bad).has_value()) << bad;
    }
}

TEST(DateTime, DayNumbersAndDifferences) {
    TDateTime t = EncodeDateTime(2006, 3, 1, 18);
    EXPECT_EQ(DayNumber(t), 38777);
    EXPECT_DOUBLE_EQ(DateOf(t), 38777.0);
    EXPECT_EQ(MillisecondsBetween(EncodeDateTime(2006, 3, 2, 0, 1), EncodeDateTime(2006, 3, 1)),
              kMSecsPerDay + 60000);
}
