#include "serial/LineStatus.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial/CommTypes.h"

TLineChanges CompareCounters(const TLineCounters& last, const TLineCounters& now,
                             TLineCounters* reported) {
    // Counters wrap; any difference counts as movement.
    TLineChanges changes;
    const bool lineError =
        now.Frame != last.Frame || now.Parity != last.Parity || now.Overrun != last.Overrun;
    TLineCounters next = now;
    if (lineError) {
        if (now.Frame != last.Frame) changes.ErrorMask |= kCommErrorFrame;
        if (now.Parity != last.Parity) changes.ErrorMask |= kCommErrorParity;
        if (now.Overrun != last.Overrun) changes.ErrorMask |= kCommErrorOverrun;
        if (now.BufOverrun != last.BufOverrun) changes.ErrorMask |= kCommErrorRxOver;
        if (now.Break != last.Break) changes.ErrorMask |= kCommErrorBreak;
    } else {
        next.BufOverrun = last.BufOverrun;
        next.Break = last.Break;
    }
    if (now.Carrier != last.Carrier) changes.ModemBits |= kModemCarrierChanged;
    if (now.Ring != last.Ring) changes.ModemBits |= kModemRing;
    if (reported != nullptr) *reported = next;
    return changes;
}

TLineMonitor::TLineMonitor(int fd) : FFd(fd) {
    if (const auto counters = ReadCounters()) {
        FUseCounters = true;
        FCounters = *counters;
    } else if (const auto lines = ReadModemLines()) {
        FUseModemLines = true;
        FModemLines = *lines;
    }
}

std::optional<TLineCounters> TLineMonitor::ReadCounters() const {
    serial_icounter_struct raw{};
    if (::ioctl(FFd, TIOCGICOUNT, &raw) != 0) return std::nullopt;
    TLineCounters counters;
    counters.Frame = static_cast<uint32_t>(raw.frame);
    counters.Parity = static_cast<uint32_t>(raw.parity);
    counters.Overrun = static_cast<uint32_t>(raw.overrun);
    counters.BufOverrun = static_cast<uint32_t>(raw.buf_overrun);
    counters.Break = static_cast<uint32_t>(raw.brk);
    counters.Carrier = static_cast<uint32_t>(raw.dcd);
    counters.Ring = static_cast<uint32_t>(raw.rng);
    return counters;
}

std::optional<int> TLineMonitor::ReadModemLines() const {
    int lines = 0;
    if (::ioctl(FFd, TIOCMGET, &lines) != 0) return std::nullopt;
    return lines;
}

TLineChanges TLineMonitor::Check() {
    TLineChanges changes;
    if (FUseCounters) {
        if (const auto counters = ReadCounters())
            changes = CompareCounters(FCounters, *counters, &FCounters);
    } else if (FUseModemLines) {
        if (const auto lines = ReadModemLines()) {
            if ((*lines ^ FModemLines) & TIOCM_CD) changes.ModemBits |= kModemCarrierChanged;
            // A ring indicator seen rising.
            if ((*lines & TIOCM_RNG) && !(FModemLines & TIOCM_RNG)) changes.ModemBits |= kModemRing;
            FModemLines = *lines;
        }
    }
    return changes;
}

std::optional<bool> ReadDsr(int fd) {
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) return std::nullopt;
    return (lines & TIOCM_DSR) != 0;
}
