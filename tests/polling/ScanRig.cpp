#include "ScanRig.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "polling/SampleRecorder.h"
#include "serial/PortName.h"
#include "serial/QtCommSink.h"
#include "store/StationChecks.h"
#include "store/StorePaths.h"

namespace fs = std::filesystem;

TBytes CoilsReply(uint8_t address, uint8_t coils) {
    return WithCrc({address, kFnReadCoils, 1, coils});
}

TBytes RegsReply(uint8_t address, uint16_t a, uint16_t b, uint16_t c, uint16_t iron) {
    TBytes frame = {address, kFnReadInputRegs, 8};
    for (uint16_t value : {a, b, c, iron}) {
        frame.push_back(static_cast<uint8_t>(value >> 8));
        frame.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    return WithCrc(frame);
}

bool StaysQuiet(const TPtyPair& pty, std::chrono::milliseconds time) {
    pollfd entry{pty.Master(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(time.count())) == 0) return true;
    // Readable: a byte, or the station's side closed (nothing can come then).
    uint8_t byte = 0;
    return ::read(pty.Master(), &byte, 1) <= 0 && (entry.revents & POLLHUP) != 0;
}

TScanRig::TScanRig() {
    static std::once_flag sinks;
    std::call_once(sinks, [] { InstallQtCommSinks(); });
    SetCommProgramDir(FDir.Path());
    fs::create_directories(FDir.Path() + "/ports");
    FSettings.ScanInterval = kLongScanInterval;
    FSettings.MaxOLTimer = kLongOffline;
    FRecorder = std::make_unique<TSampleRecorder>(FDir.Path());
    FCycle = std::make_unique<TScanCycle>(FView, FSettings, *FRecorder);
}

TScanRig::~TScanRig() {
    FView.List.clear();
    FView.Selected = nullptr;
    FStations.clear();
    FRoster.reset();
    FStationMgr.reset();
}

TStationRoster& TScanRig::Roster() {
    if (!FRoster) {
        FStationMgr = std::make_unique<TStationDbMgr>(StationFileName(FDir.Path() + "/"));
        FRoster = std::make_unique<TStationRoster>(FDir.Path() + "/", *FStationMgr);
        FRoster->SetReceiveHandler(FCycle->ReceiveHandler());
    }
    return *FRoster;
}

TStationState& TScanRig::AddRosterStation(uint8_t address, uint8_t portNo, int32_t baudIndex) {
    TStationFields fields;
    fields.DevName = "dev" + std::to_string(address);
    fields.StationPosName = "pos" + std::to_string(address);
    fields.TmpAddr = address;
    fields.PortNo = portNo;
    fields.PortBaud = baudIndex;
    fields.PortBitSize = kFixedPortBitSize;
    fields.PortParity = kFixedPortParity;
    fields.PortStopBits = kFixedPortStopBits;
    fields.PortDtrControl = kFixedPortDtrControl;
    TStationState& station = Roster().Add(fields, FCycle->OfflineNow());
    FView.List.push_back(&station);
    FPortOf[&station] = portNo;
    return station;
}

void TScanRig::RemoveRosterStation(TStationState& station) {
    std::erase(FView.List, &station);
    if (FView.Selected == &station) FView.Selected = nullptr;
    FPortOf.erase(&station);
    Roster().Remove(station);
}

TPtyPair& TScanRig::Peer(uint8_t portNo) {
    auto pty = std::make_unique<TPtyPair>();
    LinkPort(portNo, pty->SlavePath());
    TPtyPair& peer = *pty;
    FPeers[portNo] = std::move(pty);
    return peer;
}

void TScanRig::LinkPort(uint8_t portNo, const std::string& device) {
    const fs::path link = FDir.Path() + "/ports/COM" + std::to_string(portNo);
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(device, link);
}

TStationState& TScanRig::AddStation(uint8_t address, uint8_t portNo, TPortSetup setup) {
    TStationInfo& info = FInfos.emplace_back();
    info.RecordId = static_cast<int32_t>(FInfos.size());
    info.TmpAddr = address;
    info.PortNo = portNo;
    info.PortBaud = 5;  // 9600
    info.PortBitSize = 3;
    info.DevName.AssignUtf8("dev" + std::to_string(address));
    info.StationPosName.AssignUtf8("pos" + std::to_string(address));
    FStations.push_back(
        MakeStationState(info, FCycle->ReceiveHandler(), setup, FCycle->OfflineNow()));
    TStationState& station = *FStations.back();
    FView.List.push_back(&station);
    FPortOf[&station] = portNo;
    return station;
}

void TScanRig::CountChunks(TStationState& station) {
    if (station.Port == nullptr) throw std::logic_error("station without a port");
    FChunks[&station] = 0;
    station.Port->OnReceiveData = [this, &station](TComm* sender, const uint8_t* buffer,
                                                   uint16_t length) {
        FCycle->ReceiveData(sender, buffer, length);
        ++FChunks[&station];
    };
}

int TScanRig::Chunks(const TStationState& station) const {
    auto found = FChunks.find(&station);
    return found == FChunks.end() ? 0 : found->second;
}

bool TScanRig::Deliver(TStationState& station, const TBytes& bytes) {
    auto peer = FPeers.find(FPortOf.at(&station));
    if (peer == FPeers.end()) throw std::logic_error("station without a far end");
    const int before = Chunks(station);
    if (!peer->second->Write(bytes)) return false;
    // A sample that needs its history file opened is stored once the open
    // has ended on the recorder's thread.
    return WaitFor([&] { return Chunks(station) > before; }) &&
           WaitFor([&] { return !TSampleRecorder::AwaitsOpen(station); });
}

bool TScanRig::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}
