#include "store/StationChecks.h"

#include <algorithm>
#include <charconv>

#include "store/GbkText.h"

namespace {

bool NameLengthFits(std::string_view utf8) {
    const size_t bytes = GbkByteLength(utf8);
    return bytes >= kMinNameBytes && bytes <= kMaxNameBytes;
}

bool IndexInList(int32_t index, int32_t entryCount) {
    return index >= 0 && index <= entryCount - 1;
}

}  // namespace

int32_t DecimalOr(std::string_view text, int32_t fallback) {
    // from_chars takes a leading '-' but no '+'; one sign at most.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return fallback;
    }
    if (text.empty()) return fallback;
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
    if (error != std::errc() || stop != end) return fallback;
    return value;
}

int32_t PortNumberOf(std::string_view portName) {
    const size_t at = portName.find(kPortNamePrefix);
    if (at == std::string_view::npos) return -1;
    return DecimalOr(portName.substr(at + std::string_view(kPortNamePrefix).size()), -1);
}

std::optional<std::string> CheckStationEntry(const TStationEntry& entry,
                                             const std::vector<int32_t>& usedAddresses,
                                             TStationFields& fields) {
    fields.DevName = entry.DevName;
    if (!NameLengthFits(fields.DevName)) return kMsgDevNameLength;

    fields.StationPosName = entry.StationPosName;
    if (!NameLengthFits(fields.StationPosName)) return kMsgPosNameLength;

    fields.TmpAddr = DecimalOr(entry.TmpAddr, -1);
    const bool used = std::find(usedAddresses.begin(), usedAddresses.end(), fields.TmpAddr) !=
                      usedAddresses.end();
    if (fields.TmpAddr < kMinTmpAddr || fields.TmpAddr > kMaxTmpAddr || used) return kMsgTmpAddr;

    fields.PortNo = PortNumberOf(entry.PortName);
    if (fields.PortNo < kMinPortNo || fields.PortNo > kMaxPortNo) return kMsgPortName;

    fields.PortBaud = entry.PortBaud;
    if (!IndexInList(fields.PortBaud, kPortBaudCount)) return kMsgPortBaud;
    fields.PortBitSize = entry.PortBitSize;
    if (!IndexInList(fields.PortBitSize, kPortBitSizeCount)) return kMsgPortBitSize;
    fields.PortParity = entry.PortParity;
    if (!IndexInList(fields.PortParity, kPortParityCount)) return kMsgPortParity;
    fields.PortStopBits = entry.PortStopBits;
    if (!IndexInList(fields.PortStopBits, kPortStopBitsCount)) return kMsgPortStopBits;
    fields.PortDtrControl = entry.PortDtrControl;
    if (!IndexInList(fields.PortDtrControl, kPortDtrControlCount)) return kMsgPortDtrControl;
    return std::nullopt;
}

std::optional<std::string> CheckLineBaud(int32_t portNo, int32_t portBaud,
                                         const std::vector<TStationInfo>& others) {
    for (const TStationInfo& other : others) {
        if (other.PortNo == portNo && other.PortBaud != portBaud) return std::string(kMsgLineBaud);
    }
    return std::nullopt;
}
