#include "app/LoopWatch.h"

#include <QFile>
#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

constexpr int64_t kNsPerMs = 1000000;

struct THeap {
    size_t InUse = 0;
    size_t Held = 0;
};

// Walks every arena under its lock: cheap enough once per report.
THeap HeapFigures() {
    THeap heap;
#if defined(__GLIBC__)
    const struct mallinfo2 info = mallinfo2();
    heap.InUse = info.uordblks + info.hblkhd;
    heap.Held = info.arena + info.hblkhd;
#endif
    return heap;
}

}  // namespace

TLoopWatch::TLoopWatch(const QString& logFile, QObject* parent)
    : QObject(parent), FLogFile(logFile) {
    // Precise: a coarse timer may fire up to 5 % late by design, which would
    // count as stalls.
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setInterval(kTickMs);
    connect(&FTimer, &QTimer::timeout, this, [this] {
        const int64_t since = FSinceTick.nsecsElapsed();
        FSinceTick.restart();
        Tick(since);
    });
    FSinceTick.start();
    FSinceStart.start();
    FTimer.start();
}

void TLoopWatch::Tick(int64_t sinceLastNs) {
    const int64_t stall = std::max<int64_t>(0, sinceLastNs - kTickMs * kNsPerMs);
    FLongestNs = std::max(FLongestNs, stall);
    if (stall >= kStallMs * kNsPerMs) ++FStalls;
    FPeriodNs += sinceLastNs;
    if (FPeriodNs >= kReportMs * kNsPerMs) Report();
}

void TLoopWatch::Report() {
    if (!FLogFile.isEmpty()) {
        QFile file(FLogFile);
        // A log that cannot be written loses its line; the station goes on.
        if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            const THeap heap = HeapFigures();
            const QString line = QStringLiteral("%1,%2,%3,%4,%5\n")
                                     .arg(FSinceStart.elapsed() / 1000)
                                     .arg(LongestStallMs(), 0, 'f', 1)
                                     .arg(FStalls)
                                     .arg(heap.InUse)
                                     .arg(heap.Held);
            file.write(line.toUtf8());
        }
    }
    FLongestNs = 0;
    FStalls = 0;
    FPeriodNs = 0;
}
