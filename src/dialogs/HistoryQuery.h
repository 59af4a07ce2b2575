#pragma once
// A history query on a worker thread, so that the window keeps answering
// while a long range is read: the worker fills a list of its own, and the
// owner gets it back on its own thread through a queued call.
//
//   idle --Start--> running --worker done--> idle, Done(result) called
//                     |  \--Start again--> running (the first one cancelled)
//                     +--Cancel-----------> idle, nothing delivered
//
// At most one query is current. A cancelled worker is told to stop (the
// walk looks every few thousand samples) and its result is dropped; it
// may still finish its current step in the background, so whatever it
// uses must outlive it: the owner waits for it (CancelAndWait, or the
// destructor) before releasing that.

#include <QObject>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "dialogs/ListReleaser.h"
#include "store/DbMgr.h"
#include "store/Items.h"

class THistoryQuery : public QObject {
    Q_OBJECT
  public:
    // Runs on the worker: appends the rows to Rows, passing Progress on to
    // the walk (it returns false once the query is cancelled). What it
    // raises is delivered with the rows it appended until then.
    using TWork =
        std::function<void(std::vector<TTmpReading>& rows, const TWalkProgress& progress)>;
    struct TResult {
        std::vector<TTmpReading> Rows;
        std::exception_ptr Error;  // nil when the work went through
        // The list the rows replace, left here by the owner to be let go.
        TReadingList Replaced;
    };
    // Runs on the owner's thread with the result of the current query. What
    // it leaves in the result (the rows it did not take, the list they
    // replace) is let go afterwards, a long list on the query's releaser
    // thread.
    using TDone = std::function<void(TResult& result)>;
    // Tests hold the worker here, before the work, until they let it go or
    // Cancelled becomes true.
    using TGate = std::function<void(const std::atomic<bool>& cancelled)>;

    explicit THistoryQuery(QObject* parent = nullptr);
    // Cancels and waits for every worker, then for the releaser to free the
    // long lists it still holds.
    ~THistoryQuery() override;
    THistoryQuery(const THistoryQuery&) = delete;
    THistoryQuery& operator=(const THistoryQuery&) = delete;

    // Cancels the current query, if any, and runs Work on a new worker.
    void Start(TWork work, TDone done);
    // The current query's result will not be delivered; emits Finished when
    // one was running.
    void Cancel();
    // Cancel, then return once no worker of this object runs any more.
    void CancelAndWait();

    bool Running() const { return FCurrent != nullptr; }
    // The share of the current query done, 0 to 1 (0 while not known).
    double ShareDone() const;

    // Workers not yet joined: the current one and cancelled ones whose
    // (dropped) delivery has not come yet.
    int Workers() const { return static_cast<int>(FJobs.size()); }

    void SetGate(TGate gate) { FGate = std::move(gate); }

    // Lets go of a list, a long one on the releaser's thread (where it is
    // freed unless something else still holds it).
    void LetGo(TReadingList list);

  signals:
    void Started();
    // The current query ended: delivered, or cancelled.
    void Finished();

  private:
    struct TJob;
    void Deliver(const std::shared_ptr<TJob>& job);
    void Reap(const std::shared_ptr<TJob>& job);
    void Release(TResult& result);

    // Declared first, so it goes last: after the jobs whose lists it takes.
    TListReleaser FReleaser;
    std::shared_ptr<TJob> FCurrent;
    // Every worker not yet joined, the current one among them.
    std::vector<std::shared_ptr<TJob>> FJobs;
    TGate FGate;
};
