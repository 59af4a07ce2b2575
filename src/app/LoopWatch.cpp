#include "app/LoopWatch.h"

#include <sys/resource.h>

#include <QFile>
#include <algorithm>
#include <ctime>

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
        const TThreadUse now = ThreadUse();
        const TThreadUse during{now.CpuNs - FLastUse.CpuNs, now.Voluntary - FLastUse.Voluntary,
                                now.Involuntary - FLastUse.Involuntary};
        FLastUse = now;
        Tick(since, during);
    });
    FLastUse = ThreadUse();
    FSinceTick.start();
    FSinceStart.start();
    FTimer.start();
}

TLoopWatch::TThreadUse TLoopWatch::ThreadUse() {
    TThreadUse use;
    timespec cpu{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0) {
        use.CpuNs = static_cast<int64_t>(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
    }
#if defined(RUSAGE_THREAD)
    rusage usage{};
    if (::getrusage(RUSAGE_THREAD, &usage) == 0) {
        use.Voluntary = usage.ru_nvcsw;
        use.Involuntary = usage.ru_nivcsw;
    }
#endif
    return use;
}

void TLoopWatch::Tick(int64_t sinceLastNs, const TThreadUse& during) {
    const int64_t stall = std::max<int64_t>(0, sinceLastNs - kTickMs * kNsPerMs);
    if (stall > FLongestNs) {
        FLongestNs = stall;
        FLongestUse = during;
    }
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
            const QString line =
                QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8\n")
                    .arg(FSinceStart.elapsed() / 1000)
                    .arg(LongestStallMs(), 0, 'f', 1)
                    .arg(FStalls)
                    .arg(heap.InUse)
                    .arg(heap.Held)
                    .arg(static_cast<double>(FLongestUse.CpuNs) / kNsPerMs, 0, 'f', 1)
                    .arg(FLongestUse.Voluntary)
                    .arg(FLongestUse.Involuntary);
            file.write(line.toUtf8());
        }
    }
    FLongestNs = 0;
    FLongestUse = {};
    FStalls = 0;
    FPeriodNs = 0;
}
