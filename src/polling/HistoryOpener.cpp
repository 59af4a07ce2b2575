#include "polling/HistoryOpener.h"

#include <utility>

#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"

THistoryOpenJob::THistoryOpenJob() = default;
THistoryOpenJob::~THistoryOpenJob() = default;

bool THistoryOpenJob::Done() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FDone;
}

void THistoryOpenJob::Wait() const {
    std::unique_lock<std::mutex> guard(FLock);
    FDoneChanged.wait(guard, [this] { return FDone; });
}

void THistoryOpenJob::Finish() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FDone = true;
    }
    FDoneChanged.notify_all();
}

void FinishHistoryOpen(TStationState& station) noexcept {
    THistoryOpenJob* job = station.OpenJob.get();
    if (job == nullptr) return;
    job->Wait();
    if (job->Manager != nullptr && station.HistoryMgr == nullptr) {
        station.HistoryMgr = std::move(job->Manager);
    }
}

THistoryOpener::THistoryOpener()
    : FWorker([](std::vector<std::function<void()>>& jobs) {
          for (std::function<void()>& job : jobs) job();
      }) {}
