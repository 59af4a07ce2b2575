#pragma once
// How long the window's event loop could not turn: a timer of kTickMs that
// measures how late each of its firings comes. A firing that comes d ms
// after the one before saw the loop stalled for d - kTickMs. Every
// kReportMs the watch appends one line to its log,
//
//   seconds since start,longest stall in ms,stalls of at least kStallMs,
//   heap bytes in use,heap bytes held,
//   the longest stall's CPU ms,its voluntary switches,its involuntary ones
//
// and starts the next period afresh. The heap's two figures tell a growing
// resident size apart: memory the station keeps (in use grows) from memory
// the allocator keeps for reuse (only held grows). Both are 0 where the C
// library does not tell. The last three tell what the window's thread did
// during its longest stall: CPU near the stall's length is work of ours on
// the loop; little CPU with voluntary switches is a wait (a lock, a write
// the kernel held back); with involuntary ones, other threads or processes
// had the cores. For soaks and field diagnosis
// (tcstation --loop-log FILE); a 10 ms timer costs next to no CPU, where a
// 0 ms one would keep a core busy.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

// What the window's thread used between two firings of the watch.
struct TLoopThreadUse {
    int64_t CpuNs = 0;
    int64_t Voluntary = 0;    // context switches: the thread waited
    int64_t Involuntary = 0;  // ... the thread was put aside
};

class TLoopWatch : public QObject {
    Q_OBJECT
  public:
    static constexpr int kTickMs = 10;
    static constexpr int kStallMs = 50;
    static constexpr int kReportMs = 10000;

    // `logFile` is appended to; empty: the figures are only kept.
    explicit TLoopWatch(const QString& logFile, QObject* parent = nullptr);

    // The figures of the period so far.
    double LongestStallMs() const { return static_cast<double>(FLongestNs) / 1e6; }
    int Stalls() const { return FStalls; }

    using TThreadUse = TLoopThreadUse;
    // This thread's use since it started.
    static TThreadUse ThreadUse();

    // One firing, `sinceLastNs` after the one before, the thread having used
    // `during` meanwhile: the timer's handler, and the tests' way in.
    void Tick(int64_t sinceLastNs, const TThreadUse& during = {});
    // Writes the period's line and starts the next period.
    void Report();

  private:
    QString FLogFile;
    QTimer FTimer;
    QElapsedTimer FSinceTick;
    QElapsedTimer FSinceStart;
    TThreadUse FLastUse;
    int64_t FLongestNs = 0;
    TThreadUse FLongestUse;  // during the longest stall
    int FStalls = 0;
    int64_t FPeriodNs = 0;
};
