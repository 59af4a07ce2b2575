#include "serial/LineSettings.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

namespace {

termios Built(const TLineSettings& settings) {
    termios tio{};
    tio.c_lflag = ECHO | ICANON | ISIG;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_iflag = ICRNL | IXANY | ISTRIP;
    EXPECT_TRUE(BuildTermios(settings, tio));
    return tio;
}

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;

}  // namespace

TEST(LineSettings, EveryRateOfTheStationsListIsSupported) {
    for (uint32_t rate : {110u, 300u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u,
                          230400u, 460800u, 921600u}) {
        TLineSettings settings;
        settings.BaudRate = rate;
        const termios tio = Built(settings);
        EXPECT_EQ(cfgetospeed(&tio), *BaudRateToSpeed(rate)) << rate;
        EXPECT_EQ(cfgetispeed(&tio), *BaudRateToSpeed(rate)) << rate;
    }
    EXPECT_EQ(*BaudRateToSpeed(9600), static_cast<speed_t>(B9600));
}

TEST(LineSettings, UnsupportedRateKeepsThePortsSpeedButSetsEverythingElse) {
    TLineSettings settings;
    settings.BaudRate = 14400;
    termios tio{};
    tio.c_lflag = ECHO | ICANON;
    tio.c_cflag = CS7;
    cfsetospeed(&tio, B4800);
    cfsetispeed(&tio, B4800);
    EXPECT_FALSE(BuildTermios(settings, tio));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B4800));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B4800));
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    settings.BaudRate = 0;  // would hang the line up
    EXPECT_FALSE(BuildTermios(settings, tio));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B4800));
}

TEST(LineSettings, DefaultsGiveARawEightNoneOneLineWithSoftwareFlowControl) {
    const termios tio = Built(TLineSettings{});
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXANY | ISTRIP | INPCK | PARMRK), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (kParityBits | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(LineSettings, ParitySchemesMapToTheirFlags) {
    const std::pair<TParity, tcflag_t> cases[] = {
        {TParity::None, 0},
        {TParity::Odd, PARENB | PARODD},
        {TParity::Even, PARENB},
        {TParity::Mark, PARENB | CMSPAR | PARODD},
        {TParity::Space, PARENB | CMSPAR},
    };
    for (const auto& [parity, flags] : cases) {
        TLineSettings settings;
        settings.Parity = parity;
        EXPECT_EQ(Built(settings).c_cflag & kParityBits, flags) << static_cast<int>(parity);
    }
}

TEST(LineSettings, ByteSizesAndStopBitsMapToTheirFlags) {
    const std::pair<TByteSize, tcflag_t> sizes[] = {
        {TByteSize::_5, CS5}, {TByteSize::_6, CS6}, {TByteSize::_7, CS7}, {TByteSize::_8, CS8}};
    for (const auto& [size, flag] : sizes) {
        TLineSettings settings;
        settings.ByteSize = size;
        EXPECT_EQ(Built(settings).c_cflag & CSIZE, flag);
    }
    TLineSettings settings;
    settings.StopBits = TStopBits::_1_5;
    EXPECT_NE(Built(settings).c_cflag & CSTOPB, 0u);
    settings.StopBits = TStopBits::_2;
    EXPECT_NE(Built(settings).c_cflag & CSTOPB, 0u);
}

TEST(LineSettings, HardwareFlowControlFromCtsFlowOrRtsHandshake) {
    TLineSettings settings;
    settings.Outx_CtsFlow = true;
    EXPECT_NE(Built(settings).c_cflag & CRTSCTS, 0u);
    settings.Outx_CtsFlow = false;
    settings.RtsControl = TRtsControl::RtsHandshake;
    EXPECT_NE(Built(settings).c_cflag & CRTSCTS, 0u);
    settings.RtsControl = TRtsControl::RtsDisable;
    EXPECT_EQ(Built(settings).c_cflag & CRTSCTS, 0u);
}

TEST(LineSettings, SoftwareFlowControlAndParityCheckingAreSeparateSwitches) {
    TLineSettings settings;
    settings.Outx_XonXoffFlow = false;
    settings.XonChar = 0x01;
    settings.XoffChar = 0x02;
    termios tio = Built(settings);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 0x01);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x02);
    settings.Inx_XonXoffFlow = false;
    settings.ParityCheck = true;
    tio = Built(settings);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK | IGNPAR), static_cast<tcflag_t>(INPCK | PARMRK));
}

TEST(LineSettings, ReaderReplacesErrorBytesOnlyWhileCheckingParity) {
    TLineSettings settings;
    settings.ReplaceWhenParityError = true;
    settings.ReplacedChar = '?';
    settings.IgnoreNullChar = true;
    TReadSettings read = ReadSettingsFor(settings);
    EXPECT_FALSE(read.Marked);
    EXPECT_FALSE(read.ReplaceErrors);
    EXPECT_TRUE(read.StripNull);
    settings.ParityCheck = true;
    settings.DsrSensitivity = true;
    read = ReadSettingsFor(settings);
    EXPECT_TRUE(read.Marked);
    EXPECT_TRUE(read.ReplaceErrors);
    EXPECT_EQ(read.ReplacedChar, '?');
    EXPECT_TRUE(read.DsrSensitive);
}

TEST(LineSettings, ModemLinesFollowDtrAndRtsControl) {
    TLineSettings settings;
    TModemLines lines = ModemLinesFor(settings);
    EXPECT_EQ(lines.Raise, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(lines.Lower, 0);
    settings.DtrControl = TDtrControl::DtrDisable;
    settings.RtsControl = TRtsControl::RtsDisable;
    lines = ModemLinesFor(settings);
    EXPECT_EQ(lines.Raise, 0);
    EXPECT_EQ(lines.Lower, TIOCM_DTR | TIOCM_RTS);
    settings.DtrControl = TDtrControl::DtrHandshake;
    settings.RtsControl = TRtsControl::RtsHandshake;
    lines = ModemLinesFor(settings);
    EXPECT_EQ(lines.Raise, TIOCM_DTR);
    EXPECT_EQ(lines.Lower, 0);
    settings.RtsControl = TRtsControl::RtsTransmissionAvailable;
    EXPECT_EQ(ModemLinesFor(settings).Lower, TIOCM_RTS);
    EXPECT_TRUE(WantsRtsOnSend(settings));
}

TEST(ReadPlan, DefaultsEndAReadAfterA100MillisecondGap) {
    const TReadPlan plan = ReadPlanFor(TCommTimeouts{});
    EXPECT_FALSE(plan.Immediate);
    ASSERT_TRUE(plan.Gap.has_value());
    EXPECT_EQ(plan.Gap->count(), 100);
    EXPECT_FALSE(plan.Total.has_value());
}

TEST(ReadPlan, TotalLimitCountsEveryByteOfAFullChunk) {
    TCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 2;
    timeouts.ReadTotalTimeoutConstant = 10;
    const TReadPlan plan = ReadPlanFor(timeouts);
    EXPECT_FALSE(plan.Gap.has_value());
    ASSERT_TRUE(plan.Total.has_value());
    EXPECT_EQ(plan.Total->count(), 2 * 2048 + 10);

    // The longest limits stay far below what the clock can add without overflow.
    timeouts.ReadTotalTimeoutMultiplier = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutConstant = 0xFFFFFFFF;
    const auto longest = *ReadPlanFor(timeouts).Total;
    EXPECT_EQ(static_cast<uint64_t>(longest.count()), kLongestLimitMs);
    const auto deadline = std::chrono::steady_clock::now() + longest;
    EXPECT_GT(deadline, std::chrono::steady_clock::now());
}

TEST(ReadPlan, MaximumIntervalWithoutTotalsHandsOverEachBatch) {
    TCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    EXPECT_TRUE(ReadPlanFor(timeouts).Immediate);
    timeouts.ReadTotalTimeoutMultiplier = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutConstant = 500;
    EXPECT_TRUE(ReadPlanFor(timeouts).Immediate);
    timeouts.ReadTotalTimeoutMultiplier = 1;
    EXPECT_FALSE(ReadPlanFor(timeouts).Immediate);
}

TEST(ReadPlan, NoLimitsAtAllWaitForAFullChunk) {
    TCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0;
    const TReadPlan plan = ReadPlanFor(timeouts);
    EXPECT_FALSE(plan.Immediate || plan.Gap || plan.Total);
}
