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

THistoryOpener::THistoryOpener() : FThread([this] { Run(); }) {}

THistoryOpener::~THistoryOpener() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStopping = true;
    }
    FPosted.notify_all();
    FThread.join();
}

void THistoryOpener::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FJobs.push_back(std::move(job));
    }
    FPosted.notify_all();
}

void THistoryOpener::Run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> guard(FLock);
            FPosted.wait(guard, [this] { return FStopping || !FJobs.empty(); });
            if (FJobs.empty()) return;
            job = std::move(FJobs.front());
            FJobs.pop_front();
        }
        job();
    }
}
