#pragma once
// Line errors and modem events, read from the device.
//
// UART drivers keep counters (TIOCGICOUNT): framing, parity, overrun and
// buffer-overrun errors, breaks, carrier and ring transitions. The monitor
// compares them with the last reading:
//   - a framing, parity or overrun error is reported with the flags of every
//     error counter that moved (breaks and buffer overruns alone wait for the
//     next such error, as line-error flags do until they are read);
//   - a carrier change gives kModemCarrierChanged, a ring kModemRing.
// Devices without counters but with modem lines (TIOCMGET) give the carrier
// and ring bits from level changes. Pseudo-terminals report neither; the
// monitor is then unsupported and the reader never checks it.

#include <cstdint>
#include <optional>

struct TLineCounters {
    uint32_t Frame = 0, Parity = 0, Overrun = 0, BufOverrun = 0, Break = 0;
    uint32_t Carrier = 0, Ring = 0;
};

struct TLineChanges {
    uint32_t ErrorMask = 0;  // kCommError* flags; 0: nothing to report
    uint32_t ModemBits = 0;  // kModem* bits; 0: nothing to report
};

// The changes from one counter reading to the next; *reported holds what the
// next comparison starts from (error counters stay until reported).
TLineChanges CompareCounters(const TLineCounters& last, const TLineCounters& now,
                             TLineCounters* reported);

class TLineMonitor {
  public:
    // Takes the first reading of the device's counters or modem lines.
    explicit TLineMonitor(int fd);

    bool Supported() const { return FUseCounters || FUseModemLines; }
    // What changed since the previous check.
    TLineChanges Check();

  private:
    std::optional<TLineCounters> ReadCounters() const;
    std::optional<int> ReadModemLines() const;

    int FFd;
    bool FUseCounters = false;
    bool FUseModemLines = false;
    TLineCounters FCounters;
    int FModemLines = 0;
};

// The DSR line: true high, false low, nothing when the device has no lines.
std::optional<bool> ReadDsr(int fd);
