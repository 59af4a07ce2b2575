// The program's options, and the event-loop watch that --loop-log runs.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <thread>

#include "app/CommandLine.h"
#include "app/LoopWatch.h"

namespace {

std::optional<TCommandLine> Parse(const QStringList& options, QString* error = nullptr) {
    return ParseCommandLine(QStringList{"tcstation"} + options, error);
}

TEST(CommandLine, TakesTheScreenshotAndTheLoopLogAloneOrTogether) {
    const auto none = Parse({});
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->Screenshot);
    EXPECT_TRUE(none->LoopLog.isEmpty());

    const auto shot = Parse({"--screenshot", "a.png", "--select", "3", "--delay", "0"});
    ASSERT_TRUE(shot && shot->Screenshot);
    EXPECT_EQ(shot->Screenshot->File, "a.png");
    EXPECT_EQ(shot->Screenshot->Station, 3);
    EXPECT_EQ(shot->Screenshot->DelaySeconds, 0);
    EXPECT_TRUE(shot->LoopLog.isEmpty());

    const auto both = Parse({"--loop-log", "/tmp/loop.csv", "--screenshot", "b.png"});
    ASSERT_TRUE(both && both->Screenshot);
    EXPECT_EQ(both->LoopLog, "/tmp/loop.csv");
    EXPECT_EQ(both->Screenshot->Station, 1);
    EXPECT_EQ(both->Screenshot->DelaySeconds, 10);
}

TEST(CommandLine, RefusesWhatItDoesNotKnowOrCannotRead) {
    const std::vector<QStringList> bad = {
        {"--verbose"},
        {"--loop-log"},
        {"--loop-log", ""},
        {"--screenshot"},
        {"--select", "2"},
        {"--screenshot", "a.png", "--select", "0"},
        {"--screenshot", "a.png", "--delay", "-1"},
        {"--screenshot", "a.png", "--delay", "x"},
    };
    for (const QStringList& options : bad) {
        QString error;
        EXPECT_FALSE(Parse(options, &error)) << options.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty()) << options.join(' ').toStdString();
    }
}

constexpr int64_t kMs = 1000000;

TEST(LoopWatch, CountsHowLateEachFiringComesAndLogsOneLinePerPeriod) {
    QTemporaryDir dir;
    const QString log = dir.filePath("loop.csv");
    TLoopWatch watch(log);
    watch.Report();  // whatever the real timer saw so far
    QFile::remove(log);

    watch.Tick(TLoopWatch::kTickMs * kMs);  // on time
    EXPECT_EQ(watch.LongestStallMs(), 0.0);
    // The loop stood still for 65 ms, 60 of them at work.
    watch.Tick(75 * kMs, {60 * kMs, 1, 2});
    watch.Tick(40 * kMs);  // 30 ms: longer than a tick, shorter than a stall
    EXPECT_DOUBLE_EQ(watch.LongestStallMs(), 65.0);
    EXPECT_EQ(watch.Stalls(), 1);
    // Exactly a stall, not the longest: its use is not the one logged.
    watch.Tick((TLoopWatch::kStallMs + TLoopWatch::kTickMs) * kMs, {1 * kMs, 7, 7});
    EXPECT_EQ(watch.Stalls(), 2);

    // The period ends with the firing that completes it: one line, then
    // the figures start afresh.
    watch.Tick(TLoopWatch::kReportMs * kMs, {5 * kMs, 3, 0});
    EXPECT_EQ(watch.Stalls(), 0);
    EXPECT_EQ(watch.LongestStallMs(), 0.0);
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    const QStringList fields = lines[0].split(',');
    ASSERT_EQ(fields.size(), 8);
    EXPECT_EQ(fields[1], QString::number(TLoopWatch::kReportMs - TLoopWatch::kTickMs) + ".0");
    EXPECT_EQ(fields[2], "3");
    // What the thread did during the longest stall (the last firing's).
    EXPECT_EQ(fields[5], "5.0");
    EXPECT_EQ(fields[6], "3");
    EXPECT_EQ(fields[7], "0");
    // The heap: what this process keeps in use, within what the allocator holds.
    const qulonglong inUse = fields[3].toULongLong();
    const qulonglong held = fields[4].toULongLong();
#if defined(__GLIBC__)
    EXPECT_GT(inUse, 0u);
#endif
    EXPECT_LE(inUse, held);
}

TEST(LoopWatch, SeesTheEventLoopBlocked) {
    TLoopWatch watch({});
    bool blocked = false;
    QTimer::singleShot(0, [&blocked] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        blocked = true;
    });
    // The firing after the block is at least 150 ms after the one before.
    QTRY_VERIFY_WITH_TIMEOUT(blocked && watch.LongestStallMs() >= 140, 10000);
    EXPECT_GE(watch.Stalls(), 1);
}

// The thread's own use: a busy wait shows as CPU, a sleep as a voluntary
// switch with next to no CPU.
TEST(LoopWatch, TellsTheThreadsWorkFromItsWaits) {
    const TLoopWatch::TThreadUse start = TLoopWatch::ThreadUse();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
    const TLoopWatch::TThreadUse busy = TLoopWatch::ThreadUse();
    EXPECT_GE(busy.CpuNs - start.CpuNs, 20 * kMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const TLoopWatch::TThreadUse slept = TLoopWatch::ThreadUse();
    EXPECT_LT(slept.CpuNs - busy.CpuNs, 20 * kMs);
    EXPECT_GE(slept.Voluntary - busy.Voluntary, 1);
}

}  // namespace
