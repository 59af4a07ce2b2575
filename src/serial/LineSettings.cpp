#include "serial/LineSettings.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <utility>

namespace {

// Every rate of the station's list and the other rates the kernel names.
constexpr std::array<std::pair<uint32_t, speed_t>, 31> kSpeeds = {{
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {576000, B576000},
    {921600, B921600},
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
    {0, B0},
}};

tcflag_t CharSize(TByteSize size) {
    switch (size) {
        case TByteSize::_5:
            return CS5;
        case TByteSize::_6:
            return CS6;
        case TByteSize::_7:
            return CS7;
        case TByteSize::_8:
            break;
    }
    return CS8;
}

tcflag_t ParityFlags(TParity parity) {
    switch (parity) {
        case TParity::None:
            break;
        case TParity::Odd:
            return PARENB | PARODD;
        case TParity::Even:
            return PARENB;
        // CMSPAR makes the parity bit constant: PARODD selects mark (1), else space (0).
        case TParity::Mark:
            return PARENB | CMSPAR | PARODD;
        case TParity::Space:
            return PARENB | CMSPAR;
    }
    return 0;
}

}  // namespace

std::optional<speed_t> BaudRateToSpeed(uint32_t baudRate) {
    if (baudRate == 0) return std::nullopt;  // B0 would hang the line up
    for (const auto& [rate, speed] : kSpeeds) {
        if (rate == baudRate) return speed;
    }
    return std::nullopt;
}

bool BuildTermios(const TLineSettings& settings, termios& tio) {
    termios next = tio;

    // A binary protocol: nothing in the byte stream is interpreted, except
    // the flow-control characters when software flow control is on.
    next.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                               ICRNL | IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
    // Bytes with parity or framing errors are marked (0xFF 0x00 <byte>) so the
    // reader can replace them or pass them on; they are never dropped.
    if (settings.ParityCheck) next.c_iflag |= INPCK | PARMRK;
    if (settings.Outx_XonXoffFlow) next.c_iflag |= IXON;
    if (settings.Inx_XonXoffFlow) next.c_iflag |= IXOFF;

    next.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    next.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                                           ECHOKE | ICANON | ISIG | IEXTEN | NOFLSH | TOSTOP);

    next.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    next.c_cflag |= CREAD | CLOCAL | CharSize(settings.ByteSize) | ParityFlags(settings.Parity);
    // One and a half stop bits have no flag of their own: CSTOPB gives two
    // stop bits, and 1.5 on UARTs that use it for 5-bit characters.
    if (settings.StopBits != TStopBits::_1) next.c_cflag |= CSTOPB;
    // The kernel's hardware flow control covers both directions at once.
    if (settings.Outx_CtsFlow || settings.RtsControl == TRtsControl::RtsHandshake)
        next.c_cflag |= CRTSCTS;

    next.c_cc[VSTART] = static_cast<cc_t>(settings.XonChar);
    next.c_cc[VSTOP] = static_cast<cc_t>(settings.XoffChar);
    // The reader polls and reads without blocking; these only matter to
    // anyone else reading the device in blocking mode.
    next.c_cc[VMIN] = 1;
    next.c_cc[VTIME] = 0;

    const std::optional<speed_t> speed = BaudRateToSpeed(settings.BaudRate);
    const bool rateSet =
        speed && cfsetispeed(&next, *speed) == 0 && cfsetospeed(&next, *speed) == 0;
    if (!rateSet) {
        cfsetispeed(&next, cfgetispeed(&tio));
        cfsetospeed(&next, cfgetospeed(&tio));
    }
    tio = next;
    return rateSet;
}

TReadSettings ReadSettingsFor(const TLineSettings& settings) {
    TReadSettings read;
    read.Marked = settings.ParityCheck;
    read.ReplaceErrors = settings.ParityCheck && settings.ReplaceWhenParityError;
    read.ReplacedChar = settings.ReplacedChar;
    read.StripNull = settings.IgnoreNullChar;
    read.DsrSensitive = settings.DsrSensitivity;
    return read;
}

TModemLines ModemLinesFor(const TLineSettings& settings) {
    TModemLines lines;
    // Linux has no DTR/DSR flow control: handshake keeps DTR raised.
    if (settings.DtrControl == TDtrControl::DtrDisable)
        lines.Lower |= TIOCM_DTR;
    else
        lines.Raise |= TIOCM_DTR;
    switch (settings.RtsControl) {
        case TRtsControl::RtsEnable:
            lines.Raise |= TIOCM_RTS;
            break;
        case TRtsControl::RtsDisable:
            lines.Lower |= TIOCM_RTS;
            break;
        // The driver drives RTS under CRTSCTS.
        case TRtsControl::RtsHandshake:
            break;
        // Idle level of transmit-toggling: low until bytes go out.
        case TRtsControl::RtsTransmissionAvailable:
            lines.Lower |= TIOCM_RTS;
            break;
    }
    return lines;
}

bool WantsRtsOnSend(const TLineSettings& settings) {
    return settings.RtsControl == TRtsControl::RtsTransmissionAvailable;
}

TReadPlan ReadPlanFor(const TCommTimeouts& timeouts) {
    constexpr uint32_t kNoLimit = 0xFFFFFFFF;
    const uint32_t interval = timeouts.ReadIntervalTimeout;
    const uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const uint32_t constant = timeouts.ReadTotalTimeoutConstant;
    TReadPlan plan;
    if (interval == kNoLimit) {
        if (multiplier == 0 && constant == 0) {
            plan.Immediate = true;
            return plan;
        }
        if (multiplier == kNoLimit && constant > 0 && constant < kNoLimit) {
            plan.Immediate = true;
            return plan;
        }
    }
    if (interval > 0) plan.Gap = std::chrono::milliseconds(interval);
    const uint64_t total = static_cast<uint64_t>(multiplier) * kReadChunk + constant;
    if (total > 0) plan.Total = std::chrono::milliseconds(std::min(total, kLongestLimitMs));
    return plan;
}
