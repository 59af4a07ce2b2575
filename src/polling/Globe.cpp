#include "polling/Globe.h"

#include <exception>

#include "polling/StationState.h"
#include "store/Items.h"

int32_t PortBaudRate(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(kBaudRates.size())) return kUnknownBaudRate;
    return kBaudRates[static_cast<size_t>(index)];
}

TByteSize PortBitSize(int32_t index) {
    switch (index) {
        case 0:
            return TByteSize::_5;
        case 1:
            return TByteSize::_6;
        case 2:
            return TByteSize::_7;
        default:
            return TByteSize::_8;
    }
}

TParity PortParity(int32_t index) {
    switch (index) {
        case 1:
            return TParity::Odd;
        case 2:
            return TParity::Even;
        case 3:
            return TParity::Mark;
        case 4:
            return TParity::Space;
        default:
            return TParity::None;
    }
}

TStopBits PortStopBits(int32_t index) {
    switch (index) {
        case 1:
            return TStopBits::_1_5;
        case 2:
            return TStopBits::_2;
        default:
            return TStopBits::_1;
    }
}

TDtrControl PortDtrControl(int32_t index) {
    switch (index) {
        case 1:
            return TDtrControl::DtrDisable;
        case 2:
            return TDtrControl::DtrHandshake;
        default:
            return TDtrControl::DtrEnable;
    }
}

std::vector<std::string> PortNames() {
    std::vector<std::string> names;
    names.reserve(kPortNameCount);
    for (int n = 1; n <= kPortNameCount; ++n) names.push_back("COM" + std::to_string(n));
    return names;
}

std::string CommNameOf(uint8_t portNo) {
    return "COM" + std::to_string(portNo);
}

void OpenStationPort(TStationState& station, const TComm::TReceiveDataEvent& onReceive,
                     TPortSetup setup) {
    station.ClosePortQuietly();
    station.Port = std::make_unique<TComm>();
    TComm& port = *station.Port;
    station.State = kStateDisconnected;
    const TStationInfo* info = station.Station;
    port.SetCommName(CommNameOf(info != nullptr ? info->PortNo : 0));
    if (info != nullptr) {
        // An unknown index gives -1, which the port takes as a speed it does
        // not support: the line keeps its current speed.
        port.SetBaudRate(static_cast<uint32_t>(PortBaudRate(info->PortBaud)));
        if (setup == TPortSetup::Full) {
            port.SetByteSize(PortBitSize(info->PortBitSize));
            port.SetParity(PortParity(info->PortParity));
            port.SetStopBits(PortStopBits(info->PortStopBits));
            port.SetDtrControl(PortDtrControl(info->PortDtrControl));
        }
    }
    port.SetOutx_XonXoffFlow(false);
    port.SetInx_XonXoffFlow(false);
    port.OnReceiveData = onReceive;
    try {
        port.OpenPort();
    } catch (const std::exception&) {
        // ECommsError, or a thread the system would not start: the station
        // stays registered and shows why it is not polled.
        station.State = kStateOpenError;
    }
}

std::unique_ptr<TStationState> MakeStationState(TStationInfo& info,
                                                const TComm::TReceiveDataEvent& onReceive,
                                                TPortSetup setup, TDateTime now) {
    auto station = std::make_unique<TStationState>();
    station->Address = info.TmpAddr;
    station->Station = &info;
    station->RefTime = now;
    OpenStationPort(*station, onReceive, setup);
    return station;
}
