#pragma once
// The rules a new station must pass before it is stored, in the order the
// add device dialog checks them; the first failure's message is shown and
// nothing is added.
//
//   1 device name     1..20 GBK bytes
//   2 position name   1..20 GBK bytes
//   3 address         decimal 1..255, not used by any station yet
//   4 port            "COM<n>", n decimal 1..255
//   5..9 list indexes baud 0..12, data bits 0..3, parity, stop bits and
//                     flow control 0..2 (a list's entry count - 1)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/Items.h"

inline constexpr const char* kMsgDevNameLength = "设备名称长度不合理，应在1 - 20之间！";
inline constexpr const char* kMsgPosNameLength = "设备位置名称长度不合理，应在1 - 20之间！";
inline constexpr const char* kMsgTmpAddr = "温控地址大小不合理，应在1 - 255之间,或已存在该地址！";
inline constexpr const char* kMsgPortName = "端口名不合理，应在COM1 - COM255之间！";
inline constexpr const char* kMsgPortBaud = "端口波特率不合理，应在下拉框中选择！";
inline constexpr const char* kMsgPortBitSize = "端口数据位不合理，应在下拉框中选择！";
inline constexpr const char* kMsgPortParity = "端口较验位不合理，应在下拉框中选择！";
inline constexpr const char* kMsgPortStopBits = "端口停止位不合理，应在下拉框中选择！";
// Stations on one port share its line and so its line settings.
inline constexpr const char* kMsgLineBaud =
    "该端口上已有其他设备使用不同的波特率，同一端口上的设备波特率必须相同！";
inline constexpr const char* kMsgPortDtrControl = "端口控制位不合理，应在下拉框中选择！";

inline constexpr size_t kMinNameBytes = 1;
inline constexpr size_t kMaxNameBytes = 20;
inline constexpr int32_t kMinTmpAddr = 1;
inline constexpr int32_t kMaxTmpAddr = 255;
inline constexpr int32_t kMinPortNo = 1;
inline constexpr int32_t kMaxPortNo = 255;

// Entry counts of the dialog's port setting lists.
inline constexpr int32_t kPortBaudCount = 13;
inline constexpr int32_t kPortBitSizeCount = 4;
inline constexpr int32_t kPortParityCount = 3;
inline constexpr int32_t kPortStopBitsCount = 3;
inline constexpr int32_t kPortDtrControlCount = 3;

// The selections every new station gets from the dialog's fixed lists:
// 9600 baud, 8 data bits, no parity, one stop bit, flow control index 0.
inline constexpr int32_t kDefaultPortBaud = 5;
inline constexpr int32_t kFixedPortBitSize = 3;
inline constexpr int32_t kFixedPortParity = 0;
inline constexpr int32_t kFixedPortStopBits = 0;
inline constexpr int32_t kFixedPortDtrControl = 0;

inline constexpr const char* kPortNamePrefix = "COM";

// What the operator entered: texts as typed (UTF-8), the lists' selected
// indexes (-1 for no selection).
struct TStationEntry {
    std::string DevName;
    std::string StationPosName;
    std::string TmpAddr;
    std::string PortName;
    int32_t PortBaud = kDefaultPortBaud;
    int32_t PortBitSize = kFixedPortBitSize;
    int32_t PortParity = kFixedPortParity;
    int32_t PortStopBits = kFixedPortStopBits;
    int32_t PortDtrControl = kFixedPortDtrControl;
};

// The checked fields, ready for TStationDbMgr::AddStation.
struct TStationFields {
    std::string DevName;
    std::string StationPosName;
    int32_t TmpAddr = -1;
    int32_t PortNo = -1;
    int32_t PortBaud = -1;
    int32_t PortBitSize = -1;
    int32_t PortParity = -1;
    int32_t PortStopBits = -1;
    int32_t PortDtrControl = -1;
};

// A decimal integer with an optional sign, nothing else; Fallback for
// anything else (empty, letters, blanks, out of the 32-bit range).
int32_t DecimalOr(std::string_view text, int32_t fallback);
// n of a port name: the part after the first "COM" as a decimal integer,
// -1 when there is no "COM" or the rest is not an integer.
int32_t PortNumberOf(std::string_view portName);

// Runs the checks in order against the addresses of the stations already
// registered. Returns the first failing check's message, or nothing when
// every check passed; Fields holds what was checked up to that point.
std::optional<std::string> CheckStationEntry(const TStationEntry& entry,
                                             const std::vector<int32_t>& usedAddresses,
                                             TStationFields& fields);

// The line check that follows the checks above: a station on port `portNo`
// at baud index `portBaud` shares the port's line with the stations in
// `others` that name the same port, so their baud rates must match. Returns
// kMsgLineBaud when one of them differs.
std::optional<std::string> CheckLineBaud(int32_t portNo, int32_t portBaud,
                                         const std::vector<TStationInfo>& others);
