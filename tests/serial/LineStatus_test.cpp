#include "serial/LineStatus.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "serial/CommTypes.h"
#include "serial/PtyPair.h"

TEST(LineStatus, UnchangedCountersReportNothing) {
    TLineCounters counters;
    counters.Frame = 3;
    counters.Carrier = 7;
    const TLineChanges changes = CompareCounters(counters, counters, nullptr);
    EXPECT_EQ(changes.ErrorMask, 0u);
    EXPECT_EQ(changes.ModemBits, 0u);
}

TEST(LineStatus, EachLineErrorGivesItsFlag) {
    TLineCounters last;
    TLineCounters now = last;
    now.Frame = 1;
    EXPECT_EQ(CompareCounters(last, now, nullptr).ErrorMask, kCommErrorFrame);
    now = last;
    now.Parity = 2;
    EXPECT_EQ(CompareCounters(last, now, nullptr).ErrorMask, kCommErrorParity);
    now = last;
    now.Overrun = 1;
    now.Frame = 1;
    EXPECT_EQ(CompareCounters(last, now, nullptr).ErrorMask, kCommErrorOverrun | kCommErrorFrame);
}

TEST(LineStatus, BreakAloneWaitsForTheNextLineError) {
    TLineCounters last;
    TLineCounters now = last;
    now.Break = 1;
    now.BufOverrun = 1;
    TLineCounters reported;
    EXPECT_EQ(CompareCounters(last, now, &reported).ErrorMask, 0u);
    EXPECT_EQ(reported.Break, 0u);  // still pending

    TLineCounters later = now;
    later.Parity = 1;
    EXPECT_EQ(CompareCounters(reported, later, &reported).ErrorMask,
              kCommErrorParity | kCommErrorBreak | kCommErrorRxOver);
    EXPECT_EQ(CompareCounters(reported, later, &reported).ErrorMask, 0u);
}

TEST(LineStatus, CarrierAndRingGiveTheirModemBits) {
    TLineCounters last;
    TLineCounters now = last;
    now.Carrier = 1;
    EXPECT_EQ(CompareCounters(last, now, nullptr).ModemBits, kModemCarrierChanged);
    now = last;
    now.Ring = 1;
    EXPECT_EQ(CompareCounters(last, now, nullptr).ModemBits, kModemRing);
    now.Carrier = 2;
    EXPECT_EQ(CompareCounters(last, now, nullptr).ModemBits, 12u);
}

TEST(LineStatus, CountersThatWrapStillCount) {
    TLineCounters last;
    last.Frame = 0xFFFFFFFF;
    last.Ring = 0xFFFFFFFF;
    TLineCounters now;  // wrapped to 0
    const TLineChanges changes = CompareCounters(last, now, nullptr);
    EXPECT_EQ(changes.ErrorMask, kCommErrorFrame);
    EXPECT_EQ(changes.ModemBits, kModemRing);
}

TEST(LineStatus, PtyReportsNeitherCountersNorModemLines) {
    TPtyPair pty;
    const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    TLineMonitor monitor(slave);
    EXPECT_FALSE(monitor.Supported());
    const TLineChanges changes = monitor.Check();
    EXPECT_EQ(changes.ErrorMask | changes.ModemBits, 0u);
    EXPECT_FALSE(ReadDsr(slave).has_value());
    ::close(slave);
}
