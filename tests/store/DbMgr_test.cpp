#include "store/DbMgr.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "StoreTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"

using storetest::FileBytes;
using storetest::TTempDir;

namespace {

// The message of what Body throws, and that it is of class TError.
template <class TError, class Body>
std::string ThrownMessage(Body body) {
    try {
        body();
    } catch (const TError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong exception class: ") + e.what();
    }
    return "nothing thrown";
}

void AddStations(TStationDbMgr& mgr, int count) {
    for (int i = 1; i <= count; ++i) mgr.AddStation("dev", "pos", i, 1, 5, 3, 0, 0, 0);
}

}  // namespace

TEST(DbMgr, MissingDirectoriesAreCreatedWithTheTableAndItsIndex) {
    TTempDir tmp;
    const std::string file = tmp.Dir() + "data/12/HistoryData.dt";
    {
        THisInfoDbMgr mgr(file, false);
        EXPECT_TRUE(mgr.Opened());
        EXPECT_EQ(mgr.FileName(), file);
        EXPECT_EQ(mgr.FilePath(), tmp.Dir() + "data/12/");
        EXPECT_EQ(mgr.RecordCount(), 0);
        ASSERT_NE(mgr.Table(), nullptr);
        EXPECT_TRUE(mgr.Table()->Active());
    }
    ASSERT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_FALSE(std::filesystem::exists(file + ".creating"));

    TVeltDatabase db;
    ASSERT_TRUE(db.Open(file, ""));
    EXPECT_TRUE(db.Encrypted());
    EXPECT_EQ(db.TableNames(), std::vector<std::string>{"HisDataTable"});
    TVeltTable table(&db);
    table.Open("HisDataTable", true);
    const TTableDef& def = table.Definition();
    EXPECT_EQ(def.RecordSize.Get(), 18);
    EXPECT_EQ(def.Capacity.Get(), 256);
    EXPECT_EQ(def.HeaderBlockCount.Get(), 0);
    ASSERT_EQ(def.IndexCount.Get(), 1);
    EXPECT_EQ(def.Indexes[0].Name.Get(), "DateTime");
    EXPECT_EQ(def.Indexes[0].KeyFieldCount.Get(), 1);
    EXPECT_EQ(def.Indexes[0].Fields[0].Offset.Get(), 0);
    EXPECT_EQ(def.Indexes[0].Fields[0].FieldType, ftDateTime);
}

TEST(DbMgr, ExistingFileIsOpenedWithItsRecords) {
    TTempDir tmp;
    const std::string file = tmp.File("station.dt");
    {
        TStationDbMgr mgr(file, false);
        AddStations(mgr, 2);
    }
    TStationDbMgr again(file, false);
    EXPECT_EQ(again.RecordCount(), 2);
}

TEST(DbMgr, StationFileOpenedAsHistoryFailsAndChangesNothing) {
    TTempDir tmp;
    const std::string file = tmp.File("station.dt");
    {
        TStationDbMgr mgr(file, false);
        AddStations(mgr, 1);
    }
    const std::vector<uint8_t> before = FileBytes(file);
    EXPECT_EQ(ThrownMessage<EVeltError>([&] { THisInfoDbMgr history(file, false); }),
              "Table 'HisDataTable' not found");
    EXPECT_EQ(FileBytes(file), before);
    // Nothing of the failed manager holds the file: it opens again at once.
    TStationDbMgr reopened(file, false);
    EXPECT_EQ(reopened.RecordCount(), 1);
}

TEST(DbMgr, FileThatIsNoDatabaseRaisesTheEngineError) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    storetest::WriteFileBytes(file, {'n', 'o', 't', ' ', 'a', ' ', 'd', 'b'});
    const std::string message =
        ThrownMessage<EVeltError>([&] { THisInfoDbMgr history(file, false); });
    EXPECT_EQ(message, "Database file '" + file + "' is a invalid VELT file");
}

TEST(DbMgr, FileMadeUnderAnotherPasswordStaysClosed) {
    TTempDir tmp;
    const std::string file = tmp.File("other.dt");
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.CreateDatabase(file, false, "Zlib", true, "Blowfish", "secret"));
        ASSERT_TRUE(db.Open(file, "secret"));
        db.CreateTable("StationTable", 49, 0, 256);
    }
    EXPECT_EQ(ThrownMessage<EVeltError>([&] { TStationDbMgr mgr(file, false); }),
              "Cannot perform this operation on a closed database");
}

TEST(DbMgr, FileThatCannotBeCreatedFailsWithTheGeneralErrorAndLeavesNothing) {
    TTempDir tmp;
    // A path below a regular file: neither the directory nor the file can exist.
    storetest::WriteFileBytes(tmp.File("plain"), {1});
    const std::string below = tmp.Dir() + "plain/data/station.dt";
    std::string message;
    try {
        TStationDbMgr mgr(below, false);
        message = "nothing thrown";
    } catch (const EVeltError& e) {
        message = std::string("engine error: ") + e.what();
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    EXPECT_EQ(message, kFailCreateDatabase);

    // A directory where the file should be.
    std::filesystem::create_directory(tmp.File("station.dt"));
    EXPECT_EQ(ThrownMessage<std::runtime_error>(
                  [&] { TStationDbMgr mgr(tmp.File("station.dt"), false); }),
              kFailCreateDatabase);
    EXPECT_TRUE(std::filesystem::is_directory(tmp.File("station.dt")));
    EXPECT_FALSE(std::filesystem::exists(tmp.File("station.dt.creating")));
}

TEST(DbMgr, LeftoverOfAnInterruptedCreationIsReplaced) {
    TTempDir tmp;
    const std::string file = tmp.File("para.dt");
    storetest::WriteFileBytes(file + ".creating", {'j', 'u', 'n', 'k'});
    // Left by a process that is gone (no pid is that high), and one by a
    // process that is still there and may be building.
    const std::string dead = file + ".creating.999999999.1";
    const std::string alive = file + ".creating." + std::to_string(::getppid()) + ".1";
    storetest::WriteFileBytes(dead, {'j'});
    storetest::WriteFileBytes(alive, {'j'});
    TStationDbMgr mgr(file, false);
    EXPECT_EQ(mgr.RecordCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(file + ".creating"));
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(alive));
}

// Two threads that find the file missing at the same moment (the recorder's
// opener, which then stores a sample, and a history query) both build it:
// the one that comes second opens the first one's file instead of replacing
// it, so the sample is neither lost nor refused.
TEST(DbMgr, TwoCreatorsAtOnceShareOneFileAndLoseNothing) {
    TTempDir tmp;
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        const std::string dir = tmp.Dir() + "data/" + std::to_string(round);
        const std::string file = dir + "/HistoryData.dt";
        std::atomic<int> ready{0};
        std::array<std::string, 2> errors;
        auto create = [&](bool stores) {
            try {
                ++ready;
                while (ready < 2) std::this_thread::yield();
                // Each holds the file locked while it works on it: the other
                // one waits, as a second process would.
                auto busyRetried = [](const auto& step) {
                    for (;;) {
                        try {
                            return step();
                        } catch (const EFileBusy&) {
                            std::this_thread::yield();
                        }
                    }
                };
                // A reader opening while the other stores meets a file
                // written under it and opens it afresh, as the query does.
                auto mgr = busyRetried([&] {
                    for (;;) {
                        try {
                            return std::make_unique<THisInfoDbMgr>(file, false);
                        } catch (const EFileChanged&) {
                            if (stores) throw;
                        }
                    }
                });
                if (stores) {
                    busyRetried([&] {
                        mgr->AddReading(1, 100, 100, 100, 100, 0, 45000.0);
                        return 0;
                    });
                }
            } catch (const std::exception& e) {
                errors[stores ? 0 : 1] = e.what();
            }
        };
        std::thread recorder(create, true);
        std::thread query(create, false);
        recorder.join();
        query.join();
        ASSERT_EQ(errors[0], "") << "round " << round;
        ASSERT_EQ(errors[1], "") << "round " << round;
        THisInfoDbMgr check(file, false);
        ASSERT_EQ(check.RecordCount(), 1) << "round " << round;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            EXPECT_EQ(entry.path().filename(), "HistoryData.dt");
        }
    }
}

TEST(DbMgr, GetRecordReadsByPositionAndLeavesTheItemAloneBeyondTheEnd) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    std::optional<TStationInfo> item;
    mgr.GetRecord(0, item);
    EXPECT_FALSE(item.has_value());  // empty table
    mgr.GetRecord(-1, item);
    EXPECT_FALSE(item.has_value());

    mgr.AddStation("a", "p", 10, 1, 5, 3, 0, 0, 0);
    mgr.AddStation("b", "p", 20, 1, 5, 3, 0, 0, 0);
    TStationInfo marker;
    marker.RecordId = 99;
    item = marker;
    mgr.GetRecord(2, item);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->RecordId, 99);  // unchanged
    mgr.GetRecord(1, item);
    EXPECT_EQ(item->TmpAddr, 20);
    mgr.GetRecord(-5, item);  // a negative position reads position 0
    EXPECT_EQ(item->TmpAddr, 10);
    EXPECT_EQ(item->RecordId, 1);
}

TEST(DbMgr, ListRecordsAppendsAfterWhatTheListHolds) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    std::vector<TStationInfo> list(1);
    list[0].RecordId = 42;
    mgr.ListRecords(list);
    ASSERT_EQ(list.size(), 1u);  // empty table: nothing added

    AddStations(mgr, 3);
    mgr.ListRecords(list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].RecordId, 42);
    EXPECT_EQ(list[1].RecordId, 1);
    EXPECT_EQ(list[3].RecordId, 3);

    std::vector<TStationInfo> bounded;
    mgr.ListRecords(bounded, 2);
    ASSERT_EQ(bounded.size(), 2u);
    EXPECT_EQ(bounded[1].RecordId, 2);
}

TEST(DbMgr, AppendTakesTheLargestIdPlusOne) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    EXPECT_EQ(mgr.AddStation("a", "p", 1, 1, 5, 3, 0, 0, 0), 1);
    EXPECT_EQ(mgr.LastRecordId(), 1);
    AddStations(mgr, 2);  // ids 2 and 3
    mgr.DeleteRecord(2);
    EXPECT_EQ(mgr.AddStation("d", "p", 4, 1, 5, 3, 0, 0, 0), 4);
    mgr.DeleteRecord(4);
    // The largest id is free again, so it is taken again.
    EXPECT_EQ(mgr.AddStation("e", "p", 5, 1, 5, 3, 0, 0, 0), 4);
    EXPECT_EQ(mgr.LastRecordId(), 4);
}

TEST(DbMgr, EmptyTableDropsEveryRecordAndKeepsTheFile) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    {
        THisInfoDbMgr mgr(file, false);
        for (int i = 0; i < 3; ++i) mgr.AddReading(1, 60, 60, 60, 0, 0, 40000.0 + i);
        mgr.EmptyTable();
        EXPECT_EQ(mgr.RecordCount(), 0);
        EXPECT_EQ(mgr.AddReading(1, 60, 60, 60, 0, 0, 40010.0), 1);
    }
    THisInfoDbMgr again(file, false);
    EXPECT_EQ(again.RecordCount(), 1);
}

TEST(DbMgr, CloseIsFinalAndHarmlessTwice) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    AddStations(mgr, 1);
    mgr.Close();
    mgr.Close();
    EXPECT_FALSE(mgr.Opened());
    EXPECT_EQ(mgr.Database(), nullptr);
    EXPECT_EQ(mgr.Table(), nullptr);
    EXPECT_EQ(mgr.RecordCount(), 0);
    EXPECT_EQ(ThrownMessage<EVeltError>([&] { AddStations(mgr, 1); }),
              "Cannot perform this operation on a closed table");
    EXPECT_THROW(mgr.DeleteRecord(1), EVeltError);
    EXPECT_THROW(mgr.EmptyTable(), EVeltError);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);  // a closed manager has no records to list
    EXPECT_TRUE(list.empty());
}

TEST(DbMgr, DurableSwitchReachesTheDatabase) {
    TTempDir tmp;
    TStationDbMgr durable(tmp.File("a.dt"));
    EXPECT_TRUE(durable.Durable());
    EXPECT_TRUE(durable.Database()->Durable());
    TStationDbMgr fast(tmp.File("b.dt"), false);
    EXPECT_FALSE(fast.Database()->Durable());
    // Durable appends store the same as fast ones.
    AddStations(durable, 2);
    EXPECT_EQ(durable.RecordCount(), 2);
}

// A file whose table carries another record size than the manager's: reads
// fill the manager's fields from the bytes there are and never overrun.
TEST(DbMgr, TableOfAnotherRecordSizeIsReadWithinBounds) {
    TTempDir tmp;
    for (const int32_t recordSize : {100, 10}) {
        const std::string file = tmp.File("odd" + std::to_string(recordSize) + ".dt");
        {
            TVeltDatabase db;
            ASSERT_TRUE(db.CreateDatabase(file, false, "Zlib", true, "Blowfish", ""));
            ASSERT_TRUE(db.Open(file, ""));
            db.CreateTable("StationTable", recordSize, 0, 256);
            db.CreateIndex("StationTable", "TmpAddr", 0, ftUInt8);
            TVeltTable table(&db);
            table.Open("StationTable", true);
            std::vector<uint8_t> data(static_cast<size_t>(recordSize), 0x07);
            data[1] = 3;  // a DevName of three bytes 0x07
            table.Append(data.data(), recordSize);
        }
        TStationDbMgr mgr(file, false);
        std::vector<TStationInfo> list;
        mgr.ListStations(list);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].TmpAddr, 7);
        EXPECT_EQ(list[0].DevName.Gbk(), "\x07\x07\x07");
        // Offset 48 lies past a 10-byte record: read as zero.
        EXPECT_EQ(list[0].PortDtrControl, recordSize == 100 ? 7 : 0);
    }
}
