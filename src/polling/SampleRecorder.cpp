#include "polling/SampleRecorder.h"

#include <optional>
#include <stdexcept>

#include "engine/VeltErrors.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryRecovery.h"
#include "store/StorePaths.h"

namespace {

void AddSample(TStationState& station, TDateTime now) {
    const auto& raw = station.RawTemp;
    station.HistoryMgr->AddReading(station.Address, raw[0], raw[1], raw[2], raw[3],
                                   station.RelayFlags, now);
}

// True when the newest stored sample is exactly the one the station would
// add now: an append that failed after its record was written left it, and
// the recovery took it over.
bool NewestSampleIs(THisInfoDbMgr& mgr, const TStationState& station, TDateTime now) {
    std::optional<TTmpReading> newest;
    mgr.GetRecord(mgr.RecordCount() - 1, newest);
    if (!newest) return false;
    const auto& raw = station.RawTemp;
    return newest->DateTime == now && newest->TmpAddr == station.Address &&
           newest->APhaseTmp == raw[0] && newest->BPhaseTmp == raw[1] &&
           newest->CPhaseTmp == raw[2] && newest->IronTmp == raw[3] &&
           newest->RelayFlags == station.RelayFlags;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

TSampleRecorder::TSampleRecorder(const std::string& programDir, bool durable)
    : FProgramDir(WithTrailingSlash(programDir)), FDurable(durable) {}

std::string TSampleRecorder::HistoryFilePath(uint8_t address) const {
    return HistoryFileName(FProgramDir, address);
}

std::string TSampleRecorder::Record(TStationState& station, TDateTime now) {
    const std::string fileName = HistoryFilePath(station.Address);
    std::string notice;
    if (station.HistoryMgr == nullptr) {
        // Assigned only once the manager is open, so a failed open leaves none.
        station.HistoryMgr = OpenHistory(fileName, now, notice);
    }
    try {
        AddSample(station, now);
        return notice;
    } catch (const EVeltFileCorrupt& corrupt) {
        // Found damaged while the manager was open; recovered once below,
        // unless this very call recovered it already.
        station.HistoryMgr.reset();
        if (!notice.empty()) throw std::runtime_error(notice + " " + corrupt.what());
    } catch (const std::exception& error) {
        // A recovery done before the failure must still reach the operator.
        if (notice.empty()) throw;
        throw std::runtime_error(notice + " " + error.what());
    }
    notice = Recover(fileName, now);
    try {
        station.HistoryMgr = std::make_unique<THisInfoDbMgr>(fileName, FDurable);
        if (!NewestSampleIs(*station.HistoryMgr, station, now)) AddSample(station, now);
    } catch (const std::exception& error) {
        throw std::runtime_error(notice + " " + error.what());
    }
    return notice;
}

std::unique_ptr<THisInfoDbMgr> TSampleRecorder::OpenHistory(const std::string& fileName,
                                                            TDateTime now,
                                                            std::string& notice) const {
    try {
        return std::make_unique<THisInfoDbMgr>(fileName, FDurable);
    } catch (const EVeltFileCorrupt&) {
        // Damaged: recovered below, then opened again.
    }
    notice = Recover(fileName, now);
    try {
        return std::make_unique<THisInfoDbMgr>(fileName, FDurable);
    } catch (const std::exception& error) {
        throw std::runtime_error(notice + " " + error.what());
    }
}

std::string TSampleRecorder::Recover(const std::string& fileName, TDateTime now) const {
    try {
        const THistoryRecovery recovery = RecoverHistoryFile(fileName, now, FDurable);
        return "历史数据文件 " + Quoted(fileName) + " 已损坏：已恢复 " +
               std::to_string(recovery.Salvage.Samples.size()) + " 条记录，原文件保存为 " +
               Quoted(recovery.KeptAs) + "。";
    } catch (const EHistoryUnrecoverable& refused) {
        // Nothing readable: the file is kept for a closer look and the
        // station records into a new one.
        const std::string keptAs = SetHistoryFileAside(fileName, now, FDurable);
        return "历史数据文件 " + Quoted(fileName) + " 已损坏且无法恢复（" + refused.what() +
               "）：原文件保存为 " + Quoted(keptAs) + "，已新建历史数据文件。";
    }
}
