#pragma once
// The port-setting maps shared by the main window and the add device dialog:
// each turns one stored list index of a station (TStationInfo) into the
// TComm setting of the same meaning, and the fifty port names both windows
// offer. Also the one routine that gives a station its port and opens it.
//
//   map            index -> value                              any other index
//   PortBaud       0..12 -> 110 300 1200 2400 4800 9600 19200  -1
//                           38400 57600 115200 230400 460800 921600
//   PortBitSize    0 -> _5, 1 -> _6, 2 -> _7                   _8
//   PortParity     1 -> Odd, 2 -> Even, 3 -> Mark, 4 -> Space  None
//   PortStopBits   1 -> _1_5, 2 -> _2                          _1
//   PortDtrControl 1 -> DtrDisable, 2 -> DtrHandshake          DtrEnable

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/Comm.h"
#include "serial/CommTypes.h"
#include "store/DateTime.h"

struct TStationInfo;
struct TStationState;

inline constexpr std::array<int32_t, 13> kBaudRates = {
    110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
inline constexpr int32_t kUnknownBaudRate = -1;

int32_t PortBaudRate(int32_t index);
TByteSize PortBitSize(int32_t index);
TParity PortParity(int32_t index);
TStopBits PortStopBits(int32_t index);
TDtrControl PortDtrControl(int32_t index);

// "COM1" .. "COM50", in that order; the first entry is the one selected.
inline constexpr int kPortNameCount = 50;
std::vector<std::string> PortNames();
// "COM" followed by the port number in decimal.
std::string CommNameOf(uint8_t portNo);

// Which line settings a new station port takes from its stored record.
enum class TPortSetup {
    BaudOnly,  // start-up: the rest keeps the component's initial values
    Full,      // the add device dialog: baud, data bits, parity, stop bits, DTR
};

// Gives the station a new TComm (replacing any it had) on "COM" + PortNo of
// its Station record, set up as `setup` says, with `onReceive` as its
// OnReceiveData, and opens it. State becomes 2, or 5 when the port cannot
// be opened; the station then stays registered and is not polled.
//
// Software flow control is switched off on every station port: the replies
// are binary, and a line that acts on XON/XOFF would swallow reply bytes 0x11
// and 0x13 (or stop sending for good after a stray 0x13).
void OpenStationPort(TStationState& station, const TComm::TReceiveDataEvent& onReceive,
                     TPortSetup setup);

// A new live record for a stored station: Address from its record, no
// history list or manager, RefTime `now` (on the offline rule's monotonic
// clock, MonotonicNow or the scan cycle's OfflineNow), and its port made and opened by
// OpenStationPort. `info` must outlive the record (the window's station list
// keeps it).
std::unique_ptr<TStationState> MakeStationState(TStationInfo& info,
                                                const TComm::TReceiveDataEvent& onReceive,
                                                TPortSetup setup, TDateTime now);
