// Sample recording: the history files the cycle writes, end to end against
// the controller simulator, and what happens when a file cannot be written.

#include "polling/SampleRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>

#include "ScanRig.h"
#include "engine/FileFlusher.h"
#include "engine/VeltErrors.h"
#include "store/HisInfoDbMgr.h"

namespace fs = std::filesystem;

namespace {

const TDateTime kT1 = EncodeDateTime(2024, 3, 1, 8, 30, 0);

// Every sample of a history file, in stored order (opened afresh, so what
// is read is what reached the file).
std::vector<TTmpReading> StoredSamples(const std::string& fileName) {
    THisInfoDbMgr manager(fileName, false);
    std::vector<TTmpReading> samples;
    for (int32_t position = 0; position < manager.RecordCount(); ++position) {
        std::optional<TTmpReading> item;
        manager.GetRecord(position, item);
        if (item) samples.push_back(*item);
    }
    return samples;
}

struct TSimReply {
    uint8_t Function;
    TBytes Bytes;
};

// tcsim's replies on one port, in the order it sent them.
std::vector<TSimReply> RepliesOn(const TSimProcess& sim, const std::string& port) {
    std::vector<TSimReply> replies;
    for (const std::string& line : sim.Lines()) {
        if (!StartsWith(line, port + " addr=")) continue;
        const size_t fn = line.find(" fn=");
        auto bytes = ReplyOfLine(line);
        if (fn == std::string::npos || !bytes) continue;
        replies.push_back({static_cast<uint8_t>(std::stoi(line.substr(fn + 4))), *bytes});
    }
    return replies;
}

uint16_t Word(const TBytes& bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

class SampleRecorderTest : public testing::Test {
  protected:
    std::string HistoryFile(uint8_t address) const {
        return rig_.Dir() + "/data/" + std::to_string(address) + "/HistoryData.dt";
    }

    TScanRig rig_;
};

TEST_F(SampleRecorderTest, EveryCycleStoresOneSamplePerStationWithTheSimulatedValuesInTimeOrder) {
    constexpr int kCycles = 3;
    // Relay passes at 0, 4.5 and 9 s, temperature passes 4 s after each.
    rig_.Settings().ScanInterval = 4500;
    rig_.Cycle().ApplyTimers();
    TSimProcess sim({"--dir", rig_.Dir(), "--seed", "7", "COM1:7", "COM2:12:hot"});
    ASSERT_TRUE(sim.WaitReady());
    TStationState& seven = rig_.AddStation(7, 1);
    TStationState& twelve = rig_.AddStation(12, 2);
    ASSERT_EQ(seven.State, kStateDisconnected);
    ASSERT_EQ(twelve.State, kStateDisconnected);
    rig_.CountChunks(seven);
    rig_.CountChunks(twelve);

    const TDateTime started = Now();
    rig_.Cycle().StartScanning();
    rig_.Cycle().ScanTimerTimer();
    ASSERT_TRUE(TScanRig::WaitFor([&] { return rig_.Chunks(seven) >= 1; }));
    EXPECT_EQ(seven.State, kStateConnected);
    EXPECT_FALSE(fs::exists(rig_.Dir() + "/data/7"));  // relays alone store nothing

    ASSERT_TRUE(TScanRig::WaitFor(
        [&] { return rig_.Chunks(seven) >= 2 * kCycles && rig_.Chunks(twelve) >= 2 * kCycles; },
        std::chrono::seconds(30)));
    rig_.Cycle().StopScanning();
    const TDateTime finished = Now();
    EXPECT_TRUE(rig_.View().Errors.empty());
    ASSERT_NE(seven.HistoryMgr, nullptr);
    // Release the managers, so the files are read back as stored.
    seven.HistoryMgr.reset();
    twelve.HistoryMgr.reset();

    // tcsim prints a line for each reply it wrote: enough lines for every
    // chunk the two stations handled.
    const size_t handled = static_cast<size_t>(rig_.Chunks(seven) + rig_.Chunks(twelve));
    while (RepliesOn(sim, "COM1").size() + RepliesOn(sim, "COM2").size() < handled) {
        ASSERT_TRUE(sim.NextLine()) << "tcsim printed fewer replies than were handled";
    }

    for (auto [station, port] : {std::pair{&seven, "COM1"}, std::pair{&twelve, "COM2"}}) {
        SCOPED_TRACE(port);
        const std::vector<TTmpReading> samples = StoredSamples(HistoryFile(station->Address));
        // The expected samples: each temperature reply with the coil byte of
        // the relay reply before it.
        std::vector<TTmpReading> expected;
        uint8_t coils = 0;
        for (const TSimReply& reply : RepliesOn(sim, port)) {
            if (reply.Function == kFnReadCoils) {
                coils = reply.Bytes[kCoilByteOffset];
                continue;
            }
            TTmpReading sample;
            sample.TmpAddr = station->Address;
            sample.APhaseTmp = Word(reply.Bytes, 3);
            sample.BPhaseTmp = Word(reply.Bytes, 5);
            sample.CPhaseTmp = Word(reply.Bytes, 7);
            sample.IronTmp = Word(reply.Bytes, 9);
            sample.RelayFlags = coils;
            expected.push_back(sample);
        }
        ASSERT_EQ(expected.size(), static_cast<size_t>(kCycles));
        ASSERT_EQ(samples.size(), expected.size());
        TDateTime previous = started;
        for (size_t n = 0; n < samples.size(); ++n) {
            EXPECT_EQ(samples[n].TmpAddr, expected[n].TmpAddr);
            EXPECT_EQ(samples[n].APhaseTmp, expected[n].APhaseTmp) << n;
            EXPECT_EQ(samples[n].BPhaseTmp, expected[n].BPhaseTmp) << n;
            EXPECT_EQ(samples[n].CPhaseTmp, expected[n].CPhaseTmp) << n;
            EXPECT_EQ(samples[n].IronTmp, expected[n].IronTmp) << n;
            EXPECT_EQ(samples[n].RelayFlags, expected[n].RelayFlags) << n;
            EXPECT_GT(samples[n].DateTime, previous) << n;
            EXPECT_LE(samples[n].DateTime, finished) << n;
            previous = samples[n].DateTime;
        }
        // A cycle apart: the relay and temperature passes of one cycle and
        // the next cycle's come at least 4 s apart.
        EXPECT_GE(MillisecondsBetween(samples.back().DateTime, samples.front().DateTime),
                  (kCycles - 1) * 4000);
    }
    // The hot controller's values climb request by request.
    const std::vector<TTmpReading> hot = StoredSamples(HistoryFile(12));
    EXPECT_LT(hot.front().APhaseTmp, hot.back().APhaseTmp);
}

TEST_F(SampleRecorderTest, RecordingErrorIsReportedOnceAndTheNextReplyTriesAgain) {
    rig_.Peer(1);
    rig_.Peer(2);
    TStationState& nine = rig_.AddStation(9, 1);
    TStationState& ten = rig_.AddStation(10, 2);
    rig_.CountChunks(nine);
    rig_.CountChunks(ten);
    rig_.View().Selected = &nine;
    // A file where the history directories should go: no manager can be made.
    fs::create_directories(rig_.Dir() + "/data");
    std::ofstream(rig_.Dir() + "/data/9") << "in the way";
    std::ofstream(rig_.Dir() + "/data/10") << "in the way";

    ASSERT_TRUE(rig_.Deliver(nine, RegsReply(9, 65, 66, 67, 0)));
    ASSERT_TRUE(rig_.Deliver(nine, RegsReply(9, 68, 69, 70, 0)));
    ASSERT_TRUE(rig_.Deliver(ten, RegsReply(10, 50, 51, 52, 0)));
    // Once per station, however many replies fail.
    EXPECT_EQ(rig_.View().Errors.size(), 2u);
    EXPECT_FALSE(rig_.View().Errors.front().empty());
    // The live state took the reply; the refresh of a failed reply is skipped.
    EXPECT_EQ(nine.State, kStateConnected);
    EXPECT_EQ(nine.RawTemp, (std::array<uint16_t, 4>{68, 69, 70, 0}));
    EXPECT_EQ(nine.HistoryMgr, nullptr);
    EXPECT_EQ(rig_.View().LiveViews, 0);
    EXPECT_TRUE(rig_.View().Refreshed.empty());

    fs::remove(rig_.Dir() + "/data/9");
    ASSERT_TRUE(rig_.Deliver(nine, RegsReply(9, 71, 72, 73, 0)));
    EXPECT_NE(nine.HistoryMgr, nullptr);
    EXPECT_EQ(rig_.View().Errors.size(), 2u);
    EXPECT_EQ(rig_.View().LiveViews, 1);

    // The samples of the failed replies waited and went in first, in order.
    nine.HistoryMgr.reset();
    const std::vector<TTmpReading> stored = StoredSamples(HistoryFile(9));
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].APhaseTmp, 65);
    EXPECT_EQ(stored[1].APhaseTmp, 68);
    EXPECT_EQ(stored[2].APhaseTmp, 71);
    EXPECT_TRUE(nine.PendingSamples.empty());

    // As after a backup: the manager released, the file moved away. The next
    // reply starts a new file; a new failure after a success is reported.
    fs::remove_all(rig_.Dir() + "/data/9");
    ASSERT_TRUE(rig_.Deliver(nine, RegsReply(9, 74, 75, 76, 0)));
    nine.HistoryMgr.reset();
    const std::vector<TTmpReading> fresh = StoredSamples(HistoryFile(9));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].APhaseTmp, 74);

    fs::remove_all(rig_.Dir() + "/data/9");
    std::ofstream(rig_.Dir() + "/data/9") << "in the way again";
    ASSERT_TRUE(rig_.Deliver(nine, RegsReply(9, 77, 78, 79, 0)));
    EXPECT_EQ(rig_.View().Errors.size(), 3u);
}

TEST_F(SampleRecorderTest, RecordStoresTheLiveValuesUnconvertedAndKeepsTheManagerOpen) {
    TSampleRecorder recorder(rig_.Dir(), false);
    EXPECT_EQ(recorder.HistoryFilePath(7), rig_.Dir() + "/data/7/HistoryData.dt");
    EXPECT_EQ(recorder.HistoryFilePath(255), rig_.Dir() + "/data/255/HistoryData.dt");
    TStationState station;
    station.Address = 7;
    station.RawTemp = {240, 241, 0, 0xFFFF};
    station.RelayFlags = 0xF3;
    ASSERT_FALSE(fs::exists(rig_.Dir() + "/data/7"));

    recorder.Record(station, kT1);
    ASSERT_NE(station.HistoryMgr, nullptr);
    EXPECT_TRUE(fs::is_directory(rig_.Dir() + "/data/7"));
    const THisInfoDbMgr* manager = station.HistoryMgr.get();
    station.RawTemp = {65, 66, 67, 0};
    station.RelayFlags = 0x02;
    recorder.Record(station, kT1 + 1.0 / 1440);
    EXPECT_EQ(station.HistoryMgr.get(), manager);
    station.HistoryMgr.reset();

    const std::vector<TTmpReading> samples = StoredSamples(HistoryFile(7));
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].DateTime, kT1);
    EXPECT_EQ(samples[0].TmpAddr, 7);
    EXPECT_EQ(samples[0].APhaseTmp, 240);
    EXPECT_EQ(samples[0].BPhaseTmp, 241);
    EXPECT_EQ(samples[0].CPhaseTmp, 0);
    EXPECT_EQ(samples[0].IronTmp, 0xFFFF);
    EXPECT_EQ(samples[0].RelayFlags, 0xF3);
    EXPECT_EQ(samples[1].APhaseTmp, 65);
    EXPECT_EQ(samples[1].RelayFlags, 0x02);
}

// Durable recording hands every stored sample to the flusher and goes on; a
// flush that fails is reported at the station's next sample (the samples
// are in the file: nothing waits), the file is opened afresh, and recording
// goes on once flushes work again.
TEST_F(SampleRecorderTest, SamplesAreFlushedOffTheCallerAndAFailedFlushIsReportedOnce) {
    std::atomic<bool> failing = false;
    TFileFlusher flusher([&](int fd) {
        if (!failing) return ::fdatasync(fd);
        errno = EIO;
        return -1;
    });
    {
        TSampleRecorder recorder(rig_.Dir(), true, &flusher);
        TStationState station;
        station.Address = 7;
        station.RawTemp = {60, 61, 62, 0};
        recorder.Record(station, kT1);
        recorder.WaitFlushed();
        const TFileFlusher::TTicket first = flusher.Submitted();
        EXPECT_GE(first, 1u);
        EXPECT_EQ(flusher.Done(), first);

        // The failed flush is reported by the sample that finds it: the
        // failing one itself when its flush is done before it returns, else
        // the next. Exactly once either way.
        int reports = 0;
        const auto record = [&](uint16_t a, TDateTime time) {
            station.RawTemp[0] = a;
            try {
                recorder.Record(station, time);
            } catch (const EWriteError& error) {
                ++reports;
                EXPECT_NE(std::string(error.what()).find(HistoryFile(7)), std::string::npos)
                    << error.what();
            }
        };
        failing = true;
        record(63, kT1 + 1.0 / 1440);
        recorder.WaitFlushed();
        failing = false;
        record(64, kT1 + 2.0 / 1440);
        EXPECT_EQ(reports, 1);
        EXPECT_TRUE(station.PendingSamples.empty());
        record(65, kT1 + 3.0 / 1440);
        EXPECT_EQ(reports, 1);
        recorder.WaitFlushed();
        station.HistoryMgr.reset();
    }
    EXPECT_TRUE(flusher.TakeFailures().empty());
    std::vector<uint16_t> stored;
    for (const TTmpReading& sample : StoredSamples(HistoryFile(7))) {
        stored.push_back(sample.APhaseTmp);
    }
    EXPECT_EQ(stored, (std::vector<uint16_t>{60, 63, 64, 65}));
}

}  // namespace
