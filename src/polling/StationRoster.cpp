#include "polling/StationRoster.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "polling/Globe.h"
#include "polling/HistoryOpener.h"
#include "polling/StationState.h"
#include "serial/LineSettings.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationChecks.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"

namespace {

// Read time limits that hand received bytes over as they arrive: on a
// shared line the exchange cuts them into replies, with no 100 ms wait for
// silence after each.
constexpr uint32_t kNoGapLimit = 0xFFFFFFFF;
// Start, eight data bits and one stop bit: the format every station uses.
constexpr int kBitsPerChar = 10;

template <typename T>
void EraseOne(std::vector<T*>& list, const T* item) {
    auto found = std::find(list.begin(), list.end(), item);
    if (found != list.end()) list.erase(found);
}

TStationInfo MakeInfo(int32_t recordId, const TStationFields& f, int32_t address) {
    return TStationDbMgr::MakeStationInfo(recordId, f.DevName, f.StationPosName, address, f.PortNo,
                                          f.PortBaud, f.PortBitSize, f.PortParity, f.PortStopBits,
                                          f.PortDtrControl);
}

}  // namespace

const TLineDiagnostics& LineMonitorOf(const TStationState& station) {
    const TStationLine* line = station.Link;
    return line != nullptr && line->IsShared() ? line->Monitor : station.Line;
}

TStationRoster::TStationRoster(const std::string& programDir, TStationDbMgr& stationMgr)
    : FProgramDir(programDir), FStationMgr(stationMgr) {}

TStationRoster::~TStationRoster() {
    CloseAll();
}

size_t TStationRoster::Load(TDateTime now) {
    std::vector<TStationInfo> stored;
    FStationMgr.ListStations(stored);
    for (const TStationInfo& item : stored) {
        FList.push_back(std::make_unique<TStationInfo>(item));
        auto record = std::make_unique<TStationState>();
        record->Address = item.TmpAddr;
        record->Station = FList.back().get();
        TStationState& station = *record;
        FRecords.push_back(std::move(record));
        FOrder.push_back(&station);
        Join(station, false, now);
    }
    return stored.size();
}

TStationState& TStationRoster::Add(const TStationFields& f, TDateTime now) {
    // Stored first: an engine error here leaves everything else untouched.
    const int32_t recordId =
        FStationMgr.AddStation(f.DevName, f.StationPosName, f.TmpAddr, f.PortNo, f.PortBaud,
                               f.PortBitSize, f.PortParity, f.PortStopBits, f.PortDtrControl);
    FList.push_back(std::make_unique<TStationInfo>(MakeInfo(recordId, f, f.TmpAddr)));
    auto record = std::make_unique<TStationState>();
    record->Address = static_cast<uint8_t>(f.TmpAddr);
    record->Station = FList.back().get();
    TStationState& station = *record;
    FRecords.push_back(std::move(record));
    FOrder.push_back(&station);
    Join(station, true, now);
    return station;
}

void TStationRoster::Modify(TStationState& station, const TStationFields& f, TDateTime now) {
    TStationInfo* info = station.Station;
    if (info == nullptr) return;
    // The address names the history directory: it stays whatever the fields say.
    FStationMgr.UpdateStation(info->RecordId, f.DevName, f.StationPosName, station.Address,
                              f.PortNo, f.PortBaud, f.PortBitSize, f.PortParity, f.PortStopBits,
                              f.PortDtrControl);
    const bool lineChanged = info->PortNo != static_cast<uint8_t>(f.PortNo) ||
                             info->PortBaud != static_cast<uint8_t>(f.PortBaud);
    *info = MakeInfo(info->RecordId, f, station.Address);
    if (!lineChanged) return;
    Leave(station);
    Join(station, true, now);
}

std::unique_ptr<TStationState> TStationRoster::Remove(TStationState& station) {
    // The stored record goes first: if the table raises, the station stays
    // as it was (apart from an emptied history).
    // An open under way ends first: its manager is the one emptied.
    FinishHistoryOpen(station);
    if (station.HistoryMgr) station.HistoryMgr->EmptyTable();
    if (station.Station != nullptr) FStationMgr.DeleteRecord(station.Station->RecordId);

    station.HistoryMgr.reset();
    Leave(station);
    const TStationInfo* info = station.Station;
    station.Station = nullptr;
    auto item = std::find_if(FList.begin(), FList.end(),
                             [info](const auto& entry) { return entry.get() == info; });
    if (item != FList.end()) FList.erase(item);

    // The history file and its directory go; backups of the station stay.
    std::error_code ignored;
    std::filesystem::remove(HistoryFileName(FProgramDir, station.Address), ignored);
    std::filesystem::remove(std::filesystem::path(HistoryDirName(FProgramDir, station.Address)),
                            ignored);

    EraseOne(FOrder, &station);
    std::unique_ptr<TStationState> detached;
    auto record = std::find_if(FRecords.begin(), FRecords.end(),
                               [&station](const auto& entry) { return entry.get() == &station; });
    if (record != FRecords.end()) {
        detached = std::move(*record);
        FRecords.erase(record);
    }
    return detached;
}

std::optional<std::string> TStationRoster::CheckLine(int32_t portNo, int32_t portBaud,
                                                     const TStationState* editing) const {
    std::vector<TStationInfo> others;
    for (const TStationState* other : FOrder) {
        if (other != editing && other->Station != nullptr) others.push_back(*other->Station);
    }
    return CheckLineBaud(portNo, portBaud, others);
}

TStationLine* TStationRoster::LineOf(const TComm* port) const {
    if (port == nullptr) return nullptr;
    for (const std::unique_ptr<TStationLine>& line : FLines) {
        if (line->Port.get() == port) return line.get();
    }
    return nullptr;
}

TStationState* TStationRoster::Find(const TComm* port, uint8_t address) const {
    const TStationLine* line = LineOf(port);
    if (line == nullptr) return nullptr;
    for (TStationState* station : line->Stations) {
        if (station->Address == address) return station;
    }
    return nullptr;
}

void TStationRoster::CloseAll() noexcept {
    for (const std::unique_ptr<TStationLine>& line : FLines) {
        line->Exchange.Clear();
        if (line->Port == nullptr) continue;
        try {
            line->Port->ClosePort();
        } catch (...) {
            // Closing never matters more than going on with the others.
        }
    }
}

void TStationRoster::Join(TStationState& station, bool fullSetup, TDateTime now) {
    const TStationInfo* info = station.Station;
    const std::string name = CommNameOf(info != nullptr ? info->PortNo : 0);
    station.RefTime = now;
    auto found = std::find_if(FLines.begin(), FLines.end(),
                              [&name](const auto& line) { return line->Name == name; });
    TStationLine* line = nullptr;
    if (found == FLines.end()) {
        // The first station on the port opens it, exactly as a port of its
        // own: state 2, or 5 when it does not open.
        OpenStationPort(station, FOnReceive, fullSetup ? TPortSetup::Full : TPortSetup::BaudOnly);
        auto made = std::make_unique<TStationLine>();
        made->Name = name;
        made->PortBaud = info != nullptr ? info->PortBaud : -1;
        made->Port = station.Port;
        made->Exchange.SetLine(static_cast<uint32_t>(PortBaudRate(made->PortBaud)), kBitsPerChar);
        line = made.get();
        FLines.push_back(std::move(made));
        line->Stations.push_back(&station);
    } else {
        line = found->get();
        station.Port = line->Port;
        station.State = line->Port->IsOpen() ? kStateDisconnected : kStateOpenError;
        // Registration order: the order the line serves its stations in.
        line->Stations.push_back(&station);
        std::stable_sort(line->Stations.begin(), line->Stations.end(),
                         [this](const TStationState* a, const TStationState* b) {
                             return std::find(FOrder.begin(), FOrder.end(), a) <
                                    std::find(FOrder.begin(), FOrder.end(), b);
                         });
    }
    station.Link = line;
    ApplySharing(*line);
}

void TStationRoster::Leave(TStationState& station) noexcept {
    TStationLine* line = station.Link;
    station.Link = nullptr;
    if (line == nullptr) {
        station.ClosePortQuietly();
        return;
    }
    EraseOne(line->Stations, &station);
    line->Exchange.Forget(&station);
    station.Port.reset();
    if (!line->Stations.empty()) {
        ApplySharing(*line);
        return;
    }
    // The last station has left: the port closes and the line goes.
    line->Exchange.Clear();
    try {
        line->Port->ClosePort();
    } catch (...) {
        // What is left of the opening goes either way.
    }
    auto found = std::find_if(FLines.begin(), FLines.end(),
                              [line](const auto& entry) { return entry.get() == line; });
    if (found != FLines.end()) FLines.erase(found);
}

void TStationRoster::ApplySharing(TStationLine& line) {
    if (line.Port == nullptr) return;
    const TCommTimeouts single;
    const bool shared = line.IsShared();
    try {
        line.Port->SetReadIntervalTimeout(shared ? kNoGapLimit : single.ReadIntervalTimeout);
        line.Port->SetReadTotalTimeoutMultiplier(single.ReadTotalTimeoutMultiplier);
        line.Port->SetReadTotalTimeoutConstant(single.ReadTotalTimeoutConstant);
    } catch (...) {
        // A port that refuses its time limits reads as before; the exchange
        // reassembles either way.
    }
    // Back to one station: whatever the exchange held belongs to no one.
    if (!shared) line.Exchange.Clear();
}
