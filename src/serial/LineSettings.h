#pragma once
// The component's line settings and time limits, and how they map onto a
// POSIX terminal. The defaults of these structures are the initial values of
// a new TComm.
//
// Property               termios / ioctl                         notes
// BaudRate               cfsetispeed/cfsetospeed                 unknown rates keep the port's
// speed ByteSize               CS5..CS8 Parity                 PARENB, PARODD, CMSPAR (mark, space)
// StopBits               CSTOPB for 1.5 and 2                    see BuildTermios
// ParityCheck            INPCK + PARMRK, decoded by the reader   errors marked, never dropped
// ReplaceWhenParityError reader (TInputFilter) with ReplacedChar
// IgnoreNullChar         reader (TInputFilter)
// DsrSensitivity         reader, TIOCMGET per read               only where the device reports DSR
// Outx_XonXoffFlow       IXON  (IXANY always off)
// Inx_XonXoffFlow        IXOFF
// XonChar / XoffChar     c_cc[VSTART] / c_cc[VSTOP]
// Outx_CtsFlow           CRTSCTS
// RtsControl             TIOCMBIS/TIOCMBIC RTS; Handshake: CRTSCTS;
//                        TransmissionAvailable: RS-485 RTS-on-send (TIOCSRS485)
// DtrControl             TIOCMBIS/TIOCMBIC DTR; Handshake raises DTR (no DTR/DSR flow on Linux)
// Outx_DsrFlow, TxContinueOnXoff, XonLimit, XoffLimit
//                        stored only: the kernel has no DSR output flow, always
//                        keeps sending after it sent XOFF and fixes its own limits.
// Everything else is raw: no echo, no canonical input, no signals, no output
// processing, CREAD and CLOCAL on (carrier changes are events, not hang-ups).

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "serial/CommTypes.h"

struct TLineSettings {
    uint32_t BaudRate = 9600;
    bool ParityCheck = false;
    bool Outx_CtsFlow = false;
    bool Outx_DsrFlow = false;
    TDtrControl DtrControl = TDtrControl::DtrEnable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = true;
    bool Outx_XonXoffFlow = true;
    bool Inx_XonXoffFlow = true;
    bool ReplaceWhenParityError = false;
    bool IgnoreNullChar = false;
    TRtsControl RtsControl = TRtsControl::RtsEnable;
    uint16_t XonLimit = 500;
    uint16_t XoffLimit = 500;
    TByteSize ByteSize = TByteSize::_8;
    TParity Parity = TParity::None;
    TStopBits StopBits = TStopBits::_1;
    uint8_t XonChar = 0x11;
    uint8_t XoffChar = 0x13;
    uint8_t ReplacedChar = 0;
};

// Milliseconds. With the defaults a read ends once a byte has arrived and
// more than 100 ms pass without another (or the chunk is full), and writes
// have no time limit.
struct TCommTimeouts {
    uint32_t ReadIntervalTimeout = 100;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// When one read (one chunk) ends, from the read time limits:
//   interval I, multiplier M, constant C         the read ends
//   I = 0xFFFFFFFF, M = 0, C = 0                  with each batch of bytes read
//   I = 0xFFFFFFFF, M = 0xFFFFFFFF, 0 < C < max   with each batch of bytes read
//   otherwise                                     at kReadChunk bytes; after a
//                                                 gap of more than I ms (I > 0)
//                                                 once a byte has come; after
//                                                 M * kReadChunk + C ms (> 0)
// A read whose total limit passes without a byte ends empty: nothing is
// handed over and the next read begins.
struct TReadPlan {
    bool Immediate = false;
    std::optional<std::chrono::milliseconds> Gap;
    std::optional<std::chrono::milliseconds> Total;
};

TReadPlan ReadPlanFor(const TCommTimeouts& timeouts);

// The share of the line settings the reader applies to received bytes itself.
struct TReadSettings {
    bool Marked = false;  // PARMRK is on: error bytes arrive as 0xFF 0x00 <byte>
    bool ReplaceErrors = false;
    uint8_t ReplacedChar = 0;
    bool StripNull = false;
    bool DsrSensitive = false;
};

// Modem-control lines to raise and to lower (TIOCM_* bits).
struct TModemLines {
    int Raise = 0;
    int Lower = 0;
};

// The termios speed for a rate in bits per second, or nothing when the
// kernel has no constant for it.
std::optional<speed_t> BaudRateToSpeed(uint32_t baudRate);

// Rewrites tio for the settings; fields it does not own keep what the port
// reported. False when the baud rate is not supported: tio then keeps the
// port's speed but takes every other setting, so the line is never left in
// a terminal's cooked mode (echoing replies back to the controllers).
bool BuildTermios(const TLineSettings& settings, termios& tio);

TReadSettings ReadSettingsFor(const TLineSettings& settings);
TModemLines ModemLinesFor(const TLineSettings& settings);
// True when RTS is to follow transmission (RS-485 direction control).
bool WantsRtsOnSend(const TLineSettings& settings);
