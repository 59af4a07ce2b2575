#pragma once
// What the polling benchmarks measure besides time: how long the event loop
// went without turning, and the CPU the process used.

#include <sys/resource.h>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>

// The largest gap between two firings of a 0 ms timer while it runs.
class TLoopGap {
  public:
    TLoopGap() {
        FTimer.setInterval(0);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            FLongest = std::max(FLongest, FSince.nsecsElapsed());
            FSince.restart();
        });
        FSince.start();
        FTimer.start();
    }
    ~TLoopGap() { FTimer.stop(); }
    TLoopGap(const TLoopGap&) = delete;
    TLoopGap& operator=(const TLoopGap&) = delete;
    double LongestMs() const {
        return static_cast<double>(std::max(FLongest, FSince.nsecsElapsed())) / 1e6;
    }

  private:
    QTimer FTimer;
    QElapsedTimer FSince;
    qint64 FLongest = 0;
};

// User and system CPU of this process so far.
inline double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
