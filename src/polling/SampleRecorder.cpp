#include "polling/SampleRecorder.h"

#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "engine/FileFlusher.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"
#include "polling/HistoryOpener.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryRecovery.h"
#include "store/StorePaths.h"

namespace {

void AddSample(THisInfoDbMgr& mgr, uint8_t address, const TPendingSample& sample) {
    const auto& raw = sample.RawTemp;
    mgr.AddReading(address, raw[0], raw[1], raw[2], raw[3], sample.RelayFlags, sample.Time);
}

// True when the newest stored sample is exactly this one: an append that
// failed after its record was written left it, or a recovery took it over.
bool NewestSampleIs(THisInfoDbMgr& mgr, uint8_t address, const TPendingSample& sample) {
    std::optional<TTmpReading> newest;
    mgr.GetRecord(mgr.RecordCount() - 1, newest);
    if (!newest) return false;
    const auto& raw = sample.RawTemp;
    return newest->DateTime == sample.Time && newest->TmpAddr == address &&
           newest->APhaseTmp == raw[0] && newest->BPhaseTmp == raw[1] &&
           newest->CPhaseTmp == raw[2] && newest->IronTmp == raw[3] &&
           newest->RelayFlags == sample.RelayFlags;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The station as the operator knows it, by the text of its tree node (its
// position), or by its address for a record made without one.
std::string StationName(const TStationState& station) {
    return station.Station != nullptr ? station.Station->StationPosName.Utf8()
                                      : std::to_string(station.Address);
}

std::string HistoryFullText(const TStationState& station) {
    return "设备“" + StationName(station) + "”的历史数据文件已满，无法继续记录，请立即备份！";
}

TTableRoom HistoryRoom(const THisInfoDbMgr& mgr, int64_t fileSizeLimit) {
    const TVeltTable* table = mgr.Table();
    return table != nullptr ? table->Room(fileSizeLimit) : TTableRoom{};
}

// A failure after a recovery notice carries the notice along: the operator
// must hear of the recovery even though the sample then failed.
[[noreturn]] void RethrowWithNotice(const std::string& notice) {
    if (notice.empty()) throw;
    try {
        throw;
    } catch (const std::exception& error) {
        throw std::runtime_error(notice + " " + error.what());
    }
}

}  // namespace

TFileFlusher& HistoryFlusher() {
    // One thread for every history file of the process, for its whole life:
    // history managers may outlive the recorder that opened them, and the
    // end of the process flushes what is still handed over.
    static TFileFlusher flusher;
    return flusher;
}

TSampleRecorder::TSampleRecorder(const std::string& programDir, bool durable, TFileFlusher* flusher)
    : FProgramDir(WithTrailingSlash(programDir)),
      FDurable(durable),
      FFileSizeLimit(kMaxFileSize),
      FFlusher(!durable             ? nullptr
               : flusher != nullptr ? flusher
                                    : &HistoryFlusher()) {}

TSampleRecorder::~TSampleRecorder() {
    SetOpenedHandler(nullptr);
}

void TSampleRecorder::SetOpenedHandler(TOpenedHandler handler) {
    FOpenInCall = !handler;
    if (handler && FOpener == nullptr) FOpener = std::make_unique<THistoryOpener>();
    std::lock_guard<std::mutex> guard(FHandlerLock);
    FOpenedHandler = std::move(handler);
}

bool TSampleRecorder::AwaitsOpen(const TStationState& station) {
    return station.OpenJob != nullptr;
}

bool TSampleRecorder::OpenDone(const TStationState& station) {
    return station.OpenJob != nullptr && station.OpenJob->Done();
}

void TSampleRecorder::NotifyOpened() {
    std::lock_guard<std::mutex> guard(FHandlerLock);
    if (FOpenedHandler) FOpenedHandler();
}

void TSampleRecorder::WaitFlushed() {
    if (FFlusher != nullptr) FFlusher->WaitFlushed();
}

void TSampleRecorder::CheckFlushed(TStationState& station) {
    if (FFlusher == nullptr) return;
    for (TFileFlusher::TFailure& failure : FFlusher->TakeFailures()) {
        FFlushFailures[failure.Path] = failure.Error;
    }
    if (FFlushFailures.empty()) return;
    const std::string fileName = HistoryFilePath(station.Address);
    const auto found = FFlushFailures.find(fileName);
    if (found == FFlushFailures.end()) return;
    const int error = found->second;
    FFlushFailures.erase(found);
    // Samples stored before may not have reached the disk: the operator
    // hears of it, and the file is opened afresh for the next sample.
    station.HistoryMgr.reset();
    RaiseWriteError(fileName, error);
}

std::string HistoryNearlyFullText(const TStationState& station) {
    return "设备“" + StationName(station) + "”的历史数据文件已达到容量上限的" +
           std::to_string(TSampleRecorder::kNearlyFullPercent) + "%，请尽快备份！";
}

bool TSampleRecorder::NearlyFull(const TStationState& station) const {
    const THisInfoDbMgr* mgr = station.HistoryMgr.get();
    if (mgr == nullptr || !mgr->Opened()) return false;
    // The room the store just worked out serves here too (it is asked right
    // after a store); the newest id tells a manager at a reused address.
    const bool seen = FRoomSeen.Station == &station && FRoomSeen.Manager == mgr &&
                      FRoomSeen.LastRecordId == mgr->LastRecordId();
    const TTableRoom room = seen ? FRoomSeen.Room : HistoryRoom(*mgr, FFileSizeLimit);
    return room.Used * 100 >= room.Total * kNearlyFullPercent;
}

std::string TSampleRecorder::HistoryFilePath(uint8_t address) const {
    return HistoryFileName(FProgramDir, address);
}

std::string TSampleRecorder::Record(TStationState& station, TDateTime now) {
    auto& queue = station.PendingSamples;
    if (queue.size() >= kMaxPendingSamples) queue.pop_front();
    queue.push_back({now, station.RawTemp, station.RelayFlags});
    return StorePending(station);
}

std::string TSampleRecorder::StorePending(TStationState& station) {
    return StoreQueue(station, FOpenInCall);
}

std::string TSampleRecorder::StoreQueue(TStationState& station, bool inCall) {
    std::string notice;
    auto& queue = station.PendingSamples;
    try {
        int round = 0;
        if (station.OpenJob != nullptr) {
            if (!station.OpenJob->Done()) return notice;  // the samples wait for it
            round = TakeOpen(station, notice);
        }
        while (!queue.empty()) {
            if (!StoreOne(station, queue.front(), notice, round, inCall)) return notice;
            round = 0;
            queue.pop_front();
        }
        CheckFlushed(station);
    } catch (const EFileBusy&) {
        if (notice.empty()) throw;
        RethrowWithNotice(notice);
    } catch (const EHistoryFileFull&) {
        if (notice.empty()) throw;
        RethrowWithNotice(notice);
    } catch (...) {
        RethrowWithNotice(notice);
    }
    return notice;
}

bool TSampleRecorder::StorePendingWithin(TStationState& station,
                                         std::chrono::milliseconds limit) noexcept {
    constexpr auto kPause = std::chrono::milliseconds(20);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // The open under way ends first; whatever is opened from here on is
    // opened in this call.
    FinishHistoryOpen(station);
    while (!station.PendingSamples.empty()) {
        try {
            StoreQueue(station, true);
        } catch (const EFileBusy&) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(kPause);
        } catch (...) {
            return false;
        }
    }
    return true;
}

int TSampleRecorder::TakeOpen(TStationState& station, std::string& notice) {
    const std::shared_ptr<THistoryOpenJob> job = std::move(station.OpenJob);
    notice = job->Notice;
    // A manager someone else opened meanwhile (or FinishHistoryOpen put in
    // place) is kept; the job's own then closes with it.
    if (job->Manager != nullptr && station.HistoryMgr == nullptr) {
        station.HistoryMgr = std::move(job->Manager);
    }
    if (job->Error) std::rethrow_exception(job->Error);
    return job->AfterFailure ? 1 : 0;
}

void TSampleRecorder::StartOpen(TStationState& station, const TPendingSample& sample,
                                bool recoverFirst, bool afterFailure) {
    auto job = std::make_shared<THistoryOpenJob>();
    job->FileName = HistoryFilePath(station.Address);
    job->Time = sample.Time;
    job->RecoverFirst = recoverFirst;
    job->AfterFailure = afterFailure;
    station.OpenJob = job;
    // The job keeps its own share: a station deleted meanwhile leaves the
    // result to be closed here.
    FOpener->Post([this, job] {
        RunOpen(*job);
        job->Finish();
        NotifyOpened();
    });
}

void TSampleRecorder::RunOpen(THistoryOpenJob& job) const noexcept {
    try {
        if (FOpenGate) FOpenGate();
        if (job.RecoverFirst) job.Notice = Recover(job.FileName, job.Time);
        std::string notice;
        job.Manager = OpenHistory(job.FileName, job.Time, notice);
        if (!notice.empty()) job.Notice = notice;
    } catch (...) {
        job.Error = std::current_exception();
    }
}

bool TSampleRecorder::StoreOne(TStationState& station, const TPendingSample& sample,
                               std::string& notice, int round, bool inCall) {
    const std::string fileName = HistoryFilePath(station.Address);
    // Two rounds: the manager as it is, then once more from a fresh open
    // after anything but a locked file went wrong (the file moved away,
    // replaced, damaged, a write that failed). Off the call, the fresh open
    // runs on the opener thread and the second round comes with its end.
    for (;; ++round) {
        try {
            if (station.HistoryMgr == nullptr) {
                if (!inCall) {
                    StartOpen(station, sample, false, round > 0);
                    return false;
                }
                // Assigned only once open, so a failed open leaves none.
                station.HistoryMgr = OpenHistory(fileName, sample.Time, notice);
            }
            if (station.PendingUnsure) {
                const bool stored = NewestSampleIs(*station.HistoryMgr, station.Address, sample);
                station.PendingUnsure = false;
                if (stored) return true;
            }
            // Refused before the engine would refuse it (the same growth
            // rule), so a full file is never opened again for each sample.
            THisInfoDbMgr& mgr = *station.HistoryMgr;
            TTableRoom room = HistoryRoom(mgr, FFileSizeLimit);
            FRoomSeen = {&station, &mgr, mgr.LastRecordId(), room};
            if (room.Used >= room.Total) throw EHistoryFileFull(HistoryFullText(station));
            AddSample(mgr, station.Address, sample);
            // One more slot in use; appends grow the table by the rule the
            // room was worked out by, so its total stays.
            ++room.Used;
            FRoomSeen = {&station, &mgr, mgr.LastRecordId(), room};
            return true;
        } catch (const EFileBusy&) {
            throw;  // nothing touched: the manager stays, the sample waits
        } catch (const EHistoryFileFull&) {
            throw;  // nothing touched either, until the file is backed up
        } catch (const EVeltError& error) {
            // The engine's own refusal, for a file whose size the room above
            // did not know: full just the same, and nothing was written.
            if (std::string_view(error.what()) == velt_msg::kFileTooLarge) {
                throw EHistoryFileFull(HistoryFullText(station));
            }
            station.HistoryMgr.reset();
            station.PendingUnsure = true;
            if (round > 0) throw;
        } catch (const EVeltFileCorrupt&) {
            // Found damaged while the manager was open: recovered once,
            // unless this very call recovered it already.
            station.HistoryMgr.reset();
            station.PendingUnsure = true;
            if (round > 0 || !notice.empty()) throw;
            if (!inCall) {
                StartOpen(station, sample, true, true);
                return false;
            }
            notice = Recover(fileName, sample.Time);
        } catch (...) {
            station.HistoryMgr.reset();
            station.PendingUnsure = true;
            if (round > 0) throw;
        }
    }
}
std::unique_ptr<THisInfoDbMgr> TSampleRecorder::ForAppending(
    std::unique_ptr<THisInfoDbMgr> mgr) const {
    if (mgr->Database() == nullptr) return mgr;
    if (FFlusher != nullptr) mgr->Database()->SetFlusher(FFlusher);
    mgr->Database()->SetCacheSize(kHistoryAppendCacheRecords);
    return mgr;
}

std::unique_ptr<THisInfoDbMgr> TSampleRecorder::OpenHistory(const std::string& fileName,
                                                            TDateTime now,
                                                            std::string& notice) const {
    try {
        return ForAppending(std::make_unique<THisInfoDbMgr>(fileName, FDurable));
    } catch (const EVeltFileCorrupt&) {
        // Damaged: recovered below, then opened again.
    }
    notice = Recover(fileName, now);
    try {
        return ForAppending(std::make_unique<THisInfoDbMgr>(fileName, FDurable));
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
