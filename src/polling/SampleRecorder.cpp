#include "polling/SampleRecorder.h"

#include <memory>

#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

TSampleRecorder::TSampleRecorder(const std::string& programDir, bool durable)
    : FProgramDir(WithTrailingSlash(programDir)), FDurable(durable) {}

std::string TSampleRecorder::HistoryFilePath(uint8_t address) const {
    return HistoryFileName(FProgramDir, address);
}

void TSampleRecorder::Record(TStationState& station, TDateTime now) {
    if (station.HistoryMgr == nullptr) {
        // Assigned only once the manager is open, so a failed open leaves none.
        station.HistoryMgr =
            std::make_unique<THisInfoDbMgr>(HistoryFilePath(station.Address), FDurable);
    }
    const auto& raw = station.RawTemp;
    station.HistoryMgr->AddReading(station.Address, raw[0], raw[1], raw[2], raw[3],
                                   station.RelayFlags, now);
}
