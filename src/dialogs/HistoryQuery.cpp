#include "dialogs/HistoryQuery.h"

#include <algorithm>
#include <thread>

namespace {

// Results this long are let go on the releaser's thread: giving a few
// hundred megabytes back to the system takes tens of milliseconds, which
// the window's thread must not spend. Shorter ones go right where they are.
constexpr size_t kReleaseAwayRows = size_t{1} << 20;

}  // namespace

struct THistoryQuery::TJob {
    std::atomic<bool> Cancelled{false};
    std::atomic<int64_t> Done{0};
    std::atomic<int64_t> Total{0};
    TDone OnDone;
    TResult Result;
    std::thread Worker;
};

THistoryQuery::THistoryQuery(QObject* parent) : QObject(parent) {}

THistoryQuery::~THistoryQuery() {
    // The queued deliveries still on their way die with this object.
    CancelAndWait();
}

void THistoryQuery::Start(TWork work, TDone done) {
    Cancel();
    auto job = std::make_shared<TJob>();
    job->OnDone = std::move(done);
    FCurrent = job;
    FJobs.push_back(job);
    // The worker owns a reference of its own: the job outlives a Reap that
    // runs before the worker has quite returned.
    job->Worker = std::thread([this, job, work = std::move(work), gate = FGate] {
        TJob& j = *job;
        const TWalkProgress progress = [&j](int64_t done, int64_t total) {
            j.Done.store(done, std::memory_order_relaxed);
            j.Total.store(total, std::memory_order_relaxed);
            return !j.Cancelled.load(std::memory_order_relaxed);
        };
        try {
            if (gate) gate(j.Cancelled);
            if (!j.Cancelled) work(j.Result.Rows, progress);
        } catch (...) {
            j.Result.Error = std::current_exception();
        }
        // Posted while this object lives: its destructor joins the worker
        // first, and a delivery still queued then goes with the object.
        QMetaObject::invokeMethod(
            this, [this, job] { Deliver(job); }, Qt::QueuedConnection);
    });
    emit Started();
}

void THistoryQuery::Cancel() {
    if (!FCurrent) return;
    FCurrent->Cancelled = true;
    FCurrent.reset();
    emit Finished();
}

void THistoryQuery::CancelAndWait() {
    Cancel();
    for (const std::shared_ptr<TJob>& job : FJobs) {
        job->Cancelled = true;
        if (job->Worker.joinable()) job->Worker.join();
        // What a cancelled walk had read by then can be long too.
        Release(job->Result);
    }
    FJobs.clear();
}

void THistoryQuery::Release(TResult& result) {
    LetGo(std::move(result.Replaced));
    if (result.Rows.capacity() < kReleaseAwayRows) return;
    FReleaser.Release(std::move(result.Rows));
}

void THistoryQuery::LetGo(TReadingList list) {
    if (list == nullptr || list->capacity() < kReleaseAwayRows) return;
    FReleaser.Release(std::move(list));
}

double THistoryQuery::ShareDone() const {
    if (!FCurrent) return 0;
    const int64_t total = FCurrent->Total.load(std::memory_order_relaxed);
    if (total <= 0) return 0;
    const int64_t done = FCurrent->Done.load(std::memory_order_relaxed);
    return std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
}

void THistoryQuery::Reap(const std::shared_ptr<TJob>& job) {
    const auto at = std::find(FJobs.begin(), FJobs.end(), job);
    if (at == FJobs.end()) return;
    // The worker posted its delivery as its last step: this join is short.
    if (job->Worker.joinable()) job->Worker.join();
    FJobs.erase(at);
}

void THistoryQuery::Deliver(const std::shared_ptr<TJob>& job) {
    Reap(job);
    if (job != FCurrent) {  // cancelled or replaced meanwhile
        Release(job->Result);
        return;
    }
    FCurrent.reset();
    TDone done = std::move(job->OnDone);
    emit Finished();
    if (!done) return;
    done(job->Result);
    // What the owner left in the result (the list it swapped out) goes too.
    Release(job->Result);
}
