// Backups of the stations' history files: one station, all stations, and the
// automatic check of the hourly timer, on real history and parameter files
// in a temporary program directory, with "today" chosen by the test.

#include "polling/BackUp.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"
#include "store/StoreTestSupport.h"
#include "store/SysParaDbMgr.h"

namespace fs = std::filesystem;

namespace {

const TDateTime kMarch1 = EncodeDateTime(2006, 3, 1);
const TDateTime kMarch2 = EncodeDateTime(2006, 3, 2);

std::vector<TTmpReading> StoredSamples(const std::string& fileName) {
    THisInfoDbMgr manager(fileName, false);
    std::vector<TTmpReading> samples;
    manager.ListRecords(samples);
    return samples;
}

class BackUpTest : public testing::Test {
  protected:
    BackUpTest() {
        Settings.BackUpPath.AssignUtf8(BackUpDir());
        Settings.BackUpInterval = 30;
        ParaMgr = std::make_unique<TSysParaDbMgr>(SysParaFileName(Dir.Dir()), false);
        LoadSysParas(*ParaMgr, ParaList, Settings, Dir.Dir());
        Settings.BackUpPath.AssignUtf8(BackUpDir());
    }

    std::string BackUpDir() const { return Dir.Dir() + "backup"; }
    std::string LiveFile(uint8_t address) const { return HistoryFileName(Dir.Dir(), address); }
    std::string BackUpFile(uint8_t address, TDateTime day) const {
        return BackUpFileName(BackUpDir(), address, day);
    }

    TStationState& Station(uint8_t address) {
        auto state = std::make_unique<TStationState>();
        state->Address = address;
        Stations.push_back(std::move(state));
        return *Stations.back();
    }
    std::vector<TStationState*> All() {
        std::vector<TStationState*> all;
        for (auto& s : Stations) all.push_back(s.get());
        return all;
    }

    // Stores samples through the station's own history manager, as the
    // sample recording does (opening it when needed).
    void Record(TStationState& station, int count, TDateTime first) {
        if (!station.HistoryMgr) {
            station.HistoryMgr = std::make_unique<THisInfoDbMgr>(LiveFile(station.Address), false);
        }
        for (int i = 0; i < count; ++i) {
            station.HistoryMgr->AddReading(station.Address, static_cast<uint16_t>(60 + i), 66, 67,
                                           0, 0x02, first + i / 1440.0);
        }
    }

    TBackUp Make(TDateTime today) {
        TBackUp backUp(Dir.Dir(), Settings, ParaMgr.get(), ParaList);
        backUp.SetClock([today] { return today + 0.5; });
        return backUp;
    }

    std::string StoredLastBackUpDate() {
        TSysParaDbMgr mgr(SysParaFileName(Dir.Dir()), false);
        std::vector<TSysParaItem> items;
        mgr.ListParas(items);
        for (const TSysParaItem& item : items) {
            if (item.ParaKey == kParaLastBackUpDate) return item.Text.Utf8();
        }
        return "<none>";
    }

    storetest::TTempDir Dir;
    TSysParaInfo Settings;
    std::unique_ptr<TSysParaDbMgr> ParaMgr;
    std::vector<TSysParaItem> ParaList;
    std::vector<std::unique_ptr<TStationState>> Stations;
};

}  // namespace

TEST(BackUpFileName, JoinsPathAddressAndDayWithoutDoublingTheSeparator) {
    EXPECT_EQ(BackUpFileName("/tc/backup", 12, kMarch1), "/tc/backup/12/2006-3-1.dt");
    EXPECT_EQ(BackUpFileName("/tc/backup/", 12, kMarch1 + 0.99), "/tc/backup/12/2006-3-1.dt");
    EXPECT_EQ(BackUpFileName("/b", 255, EncodeDateTime(2024, 12, 31)), "/b/255/2024-12-31.dt");
}

TEST_F(BackUpTest, BackUpCopiesEverySampleThenReleasesTheStationAndDeletesTheLiveFile) {
    TStationState& station = Station(12);
    Record(station, 5, kMarch1);
    station.HistoryList = std::make_shared<const std::vector<TTmpReading>>(2);
    TBackUp backUp = Make(kMarch1);
    int released = 0;
    backUp.SetReleaseList([&](TStationState& s) {
        EXPECT_EQ(&s, &station);
        ++released;
        s.HistoryList.reset();
    });

    EXPECT_EQ(backUp.BackUpStation(station), TBackUpResult::Done);

    EXPECT_EQ(StoredSamples(BackUpFile(12, kMarch1)).size(), 5u);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(station.HistoryList, nullptr);
    EXPECT_EQ(station.HistoryMgr, nullptr);
    EXPECT_FALSE(fs::exists(LiveFile(12)));
    // Nothing but the backup file in the directory.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(BackUpDir() + "/12")) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(BackUpTest, ASecondBackUpOnTheSameDayLeavesTheNewSamplesInTheNewLiveFile) {
    TStationState& station = Station(3);
    Record(station, 4, kMarch1);
    ASSERT_EQ(Make(kMarch1).BackUpStation(station), TBackUpResult::Done);

    // The next samples open a new live file.
    Record(station, 2, kMarch1 + 0.25);
    EXPECT_EQ(Make(kMarch1).BackUpStation(station), TBackUpResult::AlreadyDone);
    EXPECT_EQ(StoredSamples(BackUpFile(3, kMarch1)).size(), 4u);
    EXPECT_NE(station.HistoryMgr, nullptr);
    EXPECT_EQ(StoredSamples(LiveFile(3)).size(), 2u);

    // The next day moves them into a file of their own.
    EXPECT_EQ(Make(kMarch2).BackUpStation(station), TBackUpResult::Done);
    EXPECT_EQ(StoredSamples(BackUpFile(3, kMarch2)).size(), 2u);
    EXPECT_EQ(StoredSamples(BackUpFile(3, kMarch1)).size(), 4u);
}

TEST_F(BackUpTest, AStationThatNeverStoredASampleMakesNoFileAndKeepsItsState) {
    TStationState& station = Station(7);
    station.HistoryList = std::make_shared<const std::vector<TTmpReading>>(1);
    EXPECT_EQ(Make(kMarch1).BackUpStation(station), TBackUpResult::CopyFailed);
    EXPECT_FALSE(fs::exists(BackUpFile(7, kMarch1)));
    EXPECT_FALSE(fs::exists(BackUpFile(7, kMarch1) + ".part"));
    EXPECT_NE(station.HistoryList, nullptr);
}

TEST_F(BackUpTest, ABackUpDirectoryThatCannotBeCreatedChangesNothing) {
    TStationState& station = Station(5);
    Record(station, 3, kMarch1);
    // A plain file where the directory would have to be.
    { std::ofstream(Dir.File("occupied")) << "x"; }
    Settings.BackUpPath.AssignUtf8(Dir.File("occupied") + "/backup");

    EXPECT_EQ(Make(kMarch1).BackUpStation(station), TBackUpResult::DirectoryFailed);
    EXPECT_NE(station.HistoryMgr, nullptr);
    EXPECT_EQ(StoredSamples(LiveFile(5)).size(), 3u);
    // The manager is still usable.
    Record(station, 1, kMarch1 + 0.1);
    EXPECT_EQ(StoredSamples(LiveFile(5)).size(), 4u);
}

TEST_F(BackUpTest, AnEmptyBackUpPathNeverWritesAtTheRootOfTheFileSystem) {
    TStationState& station = Station(201);
    Record(station, 1, kMarch1);
    Settings.BackUpPath.AssignUtf8("");
    EXPECT_EQ(Make(kMarch1).BackUpStation(station), TBackUpResult::NoBackUpPath);
    EXPECT_FALSE(fs::exists("/201"));
    EXPECT_TRUE(fs::exists(LiveFile(201)));
}

TEST_F(BackUpTest, BackUpAllGoesOnPastAFailedStationInOrder) {
    TStationState& never = Station(1);
    TStationState& second = Station(2);
    TStationState& third = Station(3);
    Record(second, 2, kMarch1);
    Record(third, 3, kMarch1);
    std::vector<uint8_t> released;
    TBackUp backUp = Make(kMarch1);
    backUp.SetReleaseList([&](TStationState& s) {
        released.push_back(s.Address);
        s.HistoryList.reset();
    });

    EXPECT_EQ(backUp.BackUpAll(All()), 2);
    EXPECT_EQ(released, (std::vector<uint8_t>{2, 3}));
    EXPECT_FALSE(fs::exists(BackUpFile(1, kMarch1)));
    EXPECT_EQ(StoredSamples(BackUpFile(2, kMarch1)).size(), 2u);
    EXPECT_EQ(StoredSamples(BackUpFile(3, kMarch1)).size(), 3u);
    EXPECT_EQ(never.HistoryMgr, nullptr);
}

TEST_F(BackUpTest, AutomaticBackUpOffDoesNothing) {
    Record(Station(1), 1, kMarch1);
    Settings.IsBackUp = false;
    EXPECT_EQ(Make(kMarch2).BackUpTimerTimer(All()), TAutoBackUpResult::Off);
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "");
    EXPECT_TRUE(fs::exists(LiveFile(1)));
}

TEST_F(BackUpTest, TheFirstTickOnlyRecordsTheDayThenIntervalZeroBacksUpTheNextDay) {
    Record(Station(1), 2, kMarch1);
    Settings.IsBackUp = true;
    Settings.BackUpInterval = 0;

    EXPECT_EQ(Make(kMarch1).BackUpTimerTimer(All()), TAutoBackUpResult::DayRecorded);
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "2006-3-1");
    EXPECT_EQ(StoredLastBackUpDate(), "2006-3-1");
    EXPECT_TRUE(fs::exists(LiveFile(1)));
    EXPECT_FALSE(fs::exists(BackUpDir()));

    // Later ticks of the same day: the interval has not passed.
    EXPECT_EQ(Make(kMarch1).BackUpTimerTimer(All()), TAutoBackUpResult::NotDue);

    EXPECT_EQ(Make(kMarch2).BackUpTimerTimer(All()), TAutoBackUpResult::BackedUp);
    EXPECT_EQ(StoredSamples(BackUpFile(1, kMarch2)).size(), 2u);
    EXPECT_FALSE(fs::exists(LiveFile(1)));
    EXPECT_EQ(StoredLastBackUpDate(), "2006-3-2");
    // The recorded day parses back.
    EXPECT_EQ(ParseShortDate(Settings.LastBackUpDate.Gbk()), kMarch2);
}

TEST_F(BackUpTest, TheDefaultIntervalBacksUpOnThe31stDayAfterTheRecordedOne) {
    Record(Station(1), 1, kMarch1);
    Settings.IsBackUp = true;
    Settings.LastBackUpDate.AssignUtf8("2006-3-1");
    EXPECT_EQ(Make(kMarch1 + 30).BackUpTimerTimer(All()), TAutoBackUpResult::NotDue);
    EXPECT_TRUE(fs::exists(LiveFile(1)));
    EXPECT_EQ(Make(kMarch1 + 31).BackUpTimerTimer(All()), TAutoBackUpResult::BackedUp);
    EXPECT_TRUE(fs::exists(BackUpFile(1, kMarch1 + 31)));
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "2006-4-1");
}

TEST_F(BackUpTest, AnUnreadableLastDateCountsAsNoneAndADayAfterTodayIsDue) {
    Record(Station(1), 1, kMarch1);
    Settings.IsBackUp = true;
    Settings.LastBackUpDate.AssignUtf8("2006/3/1");
    EXPECT_EQ(Make(kMarch2).BackUpTimerTimer(All()), TAutoBackUpResult::DayRecorded);
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "2006-3-2");
    // The clock was ahead when the day was recorded (or is behind now):
    // waiting until the clock reaches that day again would skip backups for
    // as long, so the day in the future is due at once.
    EXPECT_EQ(Make(kMarch1 - 400).BackUpTimerTimer(All()), TAutoBackUpResult::BackedUp);
    EXPECT_FALSE(fs::exists(LiveFile(1)));
    EXPECT_TRUE(fs::exists(BackUpFile(1, kMarch1 - 400)));
    EXPECT_EQ(ParseShortDate(Settings.LastBackUpDate.Gbk()), kMarch1 - 400);
    EXPECT_EQ(Make(kMarch1 - 399).BackUpTimerTimer(All()), TAutoBackUpResult::NotDue);
}

TEST_F(BackUpTest, ARunInWhichEveryStationFailedDoesNotAdvanceTheDay) {
    Record(Station(1), 1, kMarch1);
    Record(Station(2), 1, kMarch1);
    Settings.IsBackUp = true;
    Settings.LastBackUpDate.AssignUtf8("2006-1-1");
    const std::string stored = StoredLastBackUpDate();
    // The backup directory cannot be made: a file stands in its way.
    { std::ofstream(BackUpDir()) << "x"; }
    EXPECT_EQ(Make(kMarch2).BackUpTimerTimer(All()), TAutoBackUpResult::Failed);
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "2006-1-1");
    EXPECT_EQ(StoredLastBackUpDate(), stored);
    EXPECT_TRUE(fs::exists(LiveFile(1)));

    // Once the directory can be made, the next tick backs up and records.
    fs::remove(BackUpDir());
    EXPECT_EQ(Make(kMarch2).BackUpTimerTimer(All()), TAutoBackUpResult::BackedUp);
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "2006-3-2");
    EXPECT_TRUE(fs::exists(BackUpFile(2, kMarch2)));

    // One station that fails among others that succeed still records the day.
    Record(Station(3), 1, kMarch1);
    Settings.LastBackUpDate.AssignUtf8("2006-1-1");
    Station(4);  // no history file: its copy fails
    EXPECT_EQ(Make(kMarch2 + 1).BackUpTimerTimer(All()), TAutoBackUpResult::BackedUp);
    EXPECT_EQ(ParseShortDate(Settings.LastBackUpDate.Gbk()), kMarch2 + 1);
}

TEST_F(BackUpTest, ARelativeBackUpPathLiesInTheProgramDirectory) {
    Record(Station(5), 3, kMarch1);
    Settings.BackUpPath.AssignUtf8("备份/站");
    // Wherever the process was started from.
    const fs::path before = fs::current_path();
    fs::current_path("/");
    const TBackUpResult result = Make(kMarch1).BackUpStation(*Stations.back());
    fs::current_path(before);
    EXPECT_EQ(result, TBackUpResult::Done);
    EXPECT_EQ(StoredSamples(BackUpFileName(Dir.Dir() + "备份/站", 5, kMarch1)).size(), 3u);
    EXPECT_FALSE(fs::exists("/备份"));
}

TEST_F(BackUpTest, StoringTheDayWritesOnlyTheRecordOfKey3AndIgnoresStoreErrors) {
    Settings.IsBackUp = true;
    std::vector<TSysParaItem> before;
    ParaMgr->ListParas(before);
    ASSERT_EQ(before.size(), 6u);

    Make(kMarch1).BackUpTimerTimer(All());
    std::vector<TSysParaItem> after;
    TSysParaDbMgr(SysParaFileName(Dir.Dir()), false).ListParas(after);
    ASSERT_EQ(after.size(), 6u);
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].RecordId, before[i].RecordId);
        EXPECT_EQ(after[i].ParaKey, before[i].ParaKey);
        if (after[i].ParaKey == kParaLastBackUpDate) {
            EXPECT_EQ(after[i].Text.Utf8(), "2006-3-1");
        } else {
            EXPECT_EQ(after[i].Value, before[i].Value);
            EXPECT_EQ(after[i].Text, before[i].Text);
        }
    }

    // A manager that can no longer write: the day is still taken.
    ParaMgr->Close();
    Settings.LastBackUpDate.AssignUtf8("");
    EXPECT_NO_THROW(Make(kMarch2).BackUpTimerTimer(All()));
    EXPECT_EQ(Settings.LastBackUpDate.Utf8(), "2006-3-2");
}

TEST(CopyFileDurably, NeverWritesThroughALinkAtTheTemporaryName) {
    storetest::TTempDir dir;
    { std::ofstream(dir.File("from")) << "history"; }
    { std::ofstream(dir.File("victim")) << "precious"; }
    // A link planted at the temporary name, and a stale copy cut short.
    fs::create_symlink(dir.File("victim"), dir.File("to.part"));
    EXPECT_TRUE(CopyFileDurably(dir.File("from"), dir.File("to")));
    std::string text;
    std::ifstream(dir.File("victim")) >> text;
    EXPECT_EQ(text, "precious");
    std::ifstream(dir.File("to")) >> text;
    EXPECT_EQ(text, "history");
    EXPECT_FALSE(fs::is_symlink(dir.File("to")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.File("to.part"))));

    { std::ofstream(dir.File("other.part")) << "stale bytes of an earlier run, longer"; }
    EXPECT_TRUE(CopyFileDurably(dir.File("from"), dir.File("other")));
    EXPECT_EQ(fs::file_size(dir.File("other")), 7u);
}

TEST(CopyFileDurably, NeverReplacesAnExistingFileNorLeavesAPartialOne) {
    storetest::TTempDir dir;
    { std::ofstream(dir.File("from")) << "new bytes"; }
    { std::ofstream(dir.File("to")) << "old"; }
    EXPECT_FALSE(CopyFileDurably(dir.File("from"), dir.File("to")));
    std::ifstream kept(dir.File("to"));
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "old");
    EXPECT_FALSE(fs::exists(dir.File("to.part")));

    EXPECT_FALSE(CopyFileDurably(dir.File("missing"), dir.File("fresh")));
    EXPECT_FALSE(CopyFileDurably(dir.Dir(), dir.File("fresh")));
    EXPECT_FALSE(fs::exists(dir.File("fresh")));
    EXPECT_FALSE(fs::exists(dir.File("fresh.part")));

    // A large file arrives byte for byte.
    std::string big(300 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
    { std::ofstream(dir.File("big"), std::ios::binary) << big; }
    ASSERT_TRUE(CopyFileDurably(dir.File("big"), dir.File("copy")));
    std::ifstream in(dir.File("copy"), std::ios::binary);
    const std::string copied((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(copied, big);
}
