// A full disk under the recording, made with a file size limit in a child
// process (SIGXFSZ ignored, so a write past the limit fails with EFBIG): the
// sample that does not fit raises, the file stays sound, and recording goes
// on as soon as there is room again.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "Commands.h"
#include "FileCheck.h"
#include "polling/SampleRecorder.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryDamage.h"
#include "store/StorePaths.h"
#include "store/StoreTestSupport.h"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kAddress = 5;
constexpr int kFirstAreaSamples = 256;  // the growth area's first capacity

// Runs Body in a child process; its failures come back as the exit status
// and lines on stderr.
int InChild(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        try {
            body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: unexpected exception: %s\n", e.what());
            std::fflush(nullptr);
            ::_exit(3);
        }
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "child: %s\n", what.c_str());
    std::fflush(nullptr);
    ::_exit(1);
}

void Require(bool condition, const std::string& what) {
    if (!condition) Fail(what);
}

void LimitFileSize(rlim_t bytes) {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) Fail("setrlimit failed");
}

void Unlimited() {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) Fail("setrlimit failed");
}

// Record must raise; returns its message.
// A new sample (or, without When, what waits) that must fail to be stored;
// the message it failed with. The sample stays queued.
std::string RecordFails(TSampleRecorder& recorder, TStationState& station,
                        std::optional<TDateTime> when = std::nullopt) {
    try {
        if (when) {
            recorder.Record(station, *when);
        } else {
            recorder.StorePending(station);
        }
    } catch (const std::exception& e) {
        Require(!station.PendingSamples.empty(), "a failed sample was dropped");
        return e.what();
    }
    Fail("a sample was stored past the file size limit");
}

void RequireSound(const std::string& file) {
    try {
        CheckDatabaseFile(file);
    } catch (const std::exception& e) {
        Fail(std::string("the file does not pass the check: ") + e.what());
    }
}

class DiskFullTest : public ::testing::Test {
  protected:
    DiskFullTest() : File(HistoryFileName(Dir.Dir(), kAddress)) {
        Station.Address = kAddress;
        Station.RelayFlags = 2;
    }

    TDateTime SampleTime(int n) const { return 46000.0 + n / 1440.0; }
    void SetSample(int n) { Station.RawTemp = {static_cast<uint16_t>(60 + n % 50), 66, 67, 0}; }

    storetest::TTempDir Dir;
    std::string File;
    TStationState Station;
};

}  // namespace

TEST_F(DiskFullTest, NewFileThatDoesNotFitIsNotLeftHalfMadeAndIsMadeOnceThereIsRoom) {
    const int status = InChild([&] {
        TSampleRecorder recorder(Dir.Dir());
        SetSample(1);
        LimitFileSize(1000);  // less than a new file's header
        const std::string message = RecordFails(recorder, Station, SampleTime(1));
        Require(message == "Fail to create database", "message: " + message);
        Require(!fs::exists(File), "a half-made history file is live");
        Require(Station.HistoryMgr == nullptr, "a manager was kept for no file");
        Unlimited();
        Require(recorder.StorePending(Station).empty(), "a notice for a new file");
        Require(Station.HistoryMgr->RecordCount() == 1, "the sample is not stored");
    });
    EXPECT_EQ(status, 0);
    EXPECT_NO_THROW(CheckDatabaseFile(File));
}

TEST_F(DiskFullTest, AppendThatNeedsRoomRaisesLeavesTheFileSoundAndRecordingResumes) {
    const int status = InChild([&] {
        TSampleRecorder recorder(Dir.Dir());
        for (int n = 1; n <= kFirstAreaSamples; ++n) {
            SetSample(n);
            recorder.Record(Station, SampleTime(n));
        }
        // The next sample needs the area doubled: no room for it.
        LimitFileSize(fs::file_size(File));
        SetSample(kFirstAreaSamples + 1);
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::string message =
                attempt == 0 ? RecordFails(recorder, Station, SampleTime(kFirstAreaSamples + 1))
                             : RecordFails(recorder, Station);
            Require(message.find("Cannot write file") != std::string::npos, "message: " + message);
            // Released: the next attempt reads the file afresh.
            Require(Station.HistoryMgr == nullptr, "a failed manager was kept");
        }
        Require(Station.PendingSamples.size() == 1, "the waiting sample was queued twice");
        RequireSound(File);
        // Room again: the waiting sample goes in under the next id.
        Unlimited();
        Require(recorder.StorePending(Station).empty(), "a notice after a full disk");
        Require(Station.HistoryMgr->LastRecordId() == kFirstAreaSamples + 1, "a record id skipped");
        SetSample(kFirstAreaSamples + 2);
        recorder.Record(Station, SampleTime(kFirstAreaSamples + 2));
    });
    ASSERT_EQ(status, 0);

    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunTcdb({"check", File}, out, err), 0) << err.str();
    THisInfoDbMgr mgr(File, false);
    std::vector<TTmpReading> samples;
    mgr.ListRecords(samples);
    ASSERT_EQ(samples.size(), static_cast<size_t>(kFirstAreaSamples + 2));
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].RecordId, static_cast<int32_t>(i + 1));
        EXPECT_EQ(samples[i].APhaseTmp, 60 + (i + 1) % 50);
        EXPECT_EQ(samples[i].DateTime, SampleTime(static_cast<int>(i + 1)));
    }
}

TEST_F(DiskFullTest, RecoveryWithoutRoomLeavesTheDamagedFileLiveAndUntouchedUntilThereIsRoom) {
    fs::create_directories(fs::path(File).parent_path());
    historydamage::MakeHistory(File, 40);
    historydamage::CutBeforeLastLink(File);
    const std::vector<uint8_t> damaged = historydamage::Bytes(File);
    const int status = InChild([&] {
        TSampleRecorder recorder(Dir.Dir());
        SetSample(41);
        LimitFileSize(2000);  // not even a fresh file's header fits
        RecordFails(recorder, Station, SampleTime(41));
        Require(historydamage::Bytes(File) == damaged, "the damaged file was changed");
        for (const auto& entry : fs::directory_iterator(fs::path(File).parent_path())) {
            Require(entry.path() == File, "left behind: " + entry.path().string());
        }
        Unlimited();
        const std::string notice = recorder.StorePending(Station);
        Require(notice.find("已恢复 40 条记录") != std::string::npos, "notice: " + notice);
        Require(Station.HistoryMgr->RecordCount() == 41, "not every sample is there");
    });
    EXPECT_EQ(status, 0);
    EXPECT_NO_THROW(CheckDatabaseFile(File));
}
