#pragma once
// A scan cycle under a QCoreApplication with a fake window, real TComms on
// pseudo-terminals linked as <program dir>/ports/COMn, and helpers for the
// far ends. Waits run the Qt event loop until a condition holds, with
// generous limits; a passing test never waits for a limit.

#include <QTest>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SimHarness.h"
#include "polling/Globe.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/ScanView.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/PtyPair.h"
#include "store/Items.h"
#include "store/StationDbMgr.h"

using TSteady = std::chrono::steady_clock;

// The window as the cycle sees it: a station list in tree order, one
// selected station, and a record of every call.
class TFakeScanView final : public IScanView {
  public:
    struct TStateShown {
        uint8_t State;
        TSteady::time_point At;
    };

    std::vector<TStationState*> List;
    TStationState* Selected = nullptr;

    std::vector<TStateShown> StatesShown;
    std::vector<TStationState*> Refreshed;
    int LiveViews = 0;
    std::vector<std::string> Errors;

    std::vector<TStationState*> Stations() override { return List; }
    TStationState* SelectedStation() override { return Selected; }
    void RefreshConnectionCommands(TStationState& station) override {
        Refreshed.push_back(&station);
    }
    void ShowLiveView() override { ++LiveViews; }
    void ShowStateText(uint8_t state) override { StatesShown.push_back({state, TSteady::now()}); }
    void ReportError(const std::string& message) override { Errors.push_back(message); }
    // The station's RecordingFailure at every change the cycle announced.
    std::vector<std::string> RecordingShown;
    void ShowRecordingState(TStationState& station) override {
        RecordingShown.push_back(station.RecordingFailure);
    }

    std::vector<uint8_t> States() const {
        std::vector<uint8_t> states;
        for (const auto& shown : StatesShown) states.push_back(shown.State);
        return states;
    }
};

// Replies as a controller would send them.
TBytes CoilsReply(uint8_t address, uint8_t coils);
TBytes RegsReply(uint8_t address, uint16_t a, uint16_t b, uint16_t c, uint16_t iron);

// True when no byte arrives on the pty's master within `time` (checks that
// nothing was sent; a passing test waits the whole time).
bool StaysQuiet(const TPtyPair& pty,
                std::chrono::milliseconds time = std::chrono::milliseconds(500));

class TScanRig {
  public:
    static constexpr int32_t kLongScanInterval = 60000;
    static constexpr int32_t kLongOffline = 300000;

    TScanRig();
    TScanRig(const TScanRig&) = delete;
    TScanRig& operator=(const TScanRig&) = delete;
    ~TScanRig();

    const std::string& Dir() const { return FDir.Path(); }
    TSysParaInfo& Settings() { return FSettings; }
    TFakeScanView& View() { return FView; }
    TScanCycle& Cycle() { return *FCycle; }
    TSampleRecorder& Recorder() { return *FRecorder; }

    // A far end for COM<portNo>: a fresh pty whose slave the port name now
    // resolves to.
    TPtyPair& Peer(uint8_t portNo);
    // Links COM<portNo> to a device path (tcsim's lines).
    void LinkPort(uint8_t portNo, const std::string& device);

    // A station as start-up makes it (or the add device dialog with Full),
    // appended to the tree.
    TStationState& AddStation(uint8_t address, uint8_t portNo,
                              TPortSetup setup = TPortSetup::BaudOnly);
    TStationInfo& InfoOf(TStationState& station) { return *station.Station; }

    // A station registered through the rig's roster (on a station table in
    // the rig's directory), as the window registers them: stations naming
    // one port share its line. `baudIndex` 5 is 9600.
    TStationState& AddRosterStation(uint8_t address, uint8_t portNo, int32_t baudIndex = 5);
    TStationRoster& Roster();
    // The station leaves the roster, the tree and its line.
    void RemoveRosterStation(TStationState& station);

    // The station's chunks go through the cycle's handler and are counted.
    void CountChunks(TStationState& station);
    int Chunks(const TStationState& station) const;

    // Writes `bytes` to the station's far end and waits until the station
    // has handled one more chunk (CountChunks first) and the open of its
    // history file that needed, if any, has ended.
    bool Deliver(TStationState& station, const TBytes& bytes);

    static bool WaitFor(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = kPatience);

  private:
    TTempDir FDir;
    TSysParaInfo FSettings;
    std::unique_ptr<TSampleRecorder> FRecorder;
    TFakeScanView FView;
    std::unique_ptr<TScanCycle> FCycle;
    std::map<uint8_t, std::unique_ptr<TPtyPair>> FPeers;
    // Destroyed before the cycle and the far ends: ports close first.
    std::deque<TStationInfo> FInfos;
    std::vector<std::unique_ptr<TStationState>> FStations;
    std::map<const TStationState*, int> FChunks;
    std::map<const TStationState*, uint8_t> FPortOf;
    std::unique_ptr<TStationDbMgr> FStationMgr;
    std::unique_ptr<TStationRoster> FRoster;
};
