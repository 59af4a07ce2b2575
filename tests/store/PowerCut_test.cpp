// A power cut after any write of a station add, a station delete or a
// parameter update: the next start, which opens both tables through their
// managers and recovers a file the engine refuses, comes up with everything
// committed before the cut.
//
// The operation runs once through its manager on a copy of the file, which
// gives the state after it, and once more on the table over a stream that
// keeps every write; the two must leave the same bytes. Each prefix of the
// writes, applied to the file as it was, is then the file a cut leaves.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

#include "StoreTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"
#include "engine/WriteLog.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"
#include "store/TableRecovery.h"

using storetest::FileBytes;
using storetest::WriteFileBytes;
using writelog::AfterWrites;
using writelog::TWrite;
using writelog::TWriteLogStream;

namespace {

constexpr TDateTime kWhen = 46364.1354166667;  // 2026-12-08 03:15:00

// Record id and plain data of every record, in ascending id order.
using TState = std::vector<std::pair<int32_t, std::vector<uint8_t>>>;

TState StateOf(TVeltTable& table) {
    TState state;
    for (int32_t p = 0; p < table.RecordCount(); ++p) {
        std::vector<uint8_t> data(static_cast<size_t>(table.RecordSize()));
        int32_t id = 0;
        EXPECT_TRUE(table.ReadRecord(p, id, data.data()));
        state.emplace_back(id, std::move(data));
    }
    return state;
}

struct TStart {
    TState Stations;
    TState Paras;
    int Recovered = 0;
};

class PowerCutTest : public ::testing::Test {
  protected:
    storetest::TTempDir Dir;
    std::string StationFile = StationFileName(Dir.Dir());
    std::string ParaFile = SysParaFileName(Dir.Dir());
    std::vector<TSysParaItem> Paras;

    // Three stations and the six default parameters, the date of the last
    // backup written once.
    void SetUp() override {
        TStationDbMgr stations(StationFile, false);
        for (int addr : {3, 9, 5}) {
            stations.AddStation("温控器", "主变" + std::to_string(addr), addr, addr, 5, 3, 0, 0, 0);
        }
        TSysParaDbMgr paras(ParaFile, false);
        TSysParaInfo info;
        LoadSysParas(paras, Paras, info, Dir.Dir());
        WritePara(paras, Paras, kParaLastBackUpDate, 0, "2026-12-07");
    }

    // The station's start as far as the tables go.
    TStart Start() {
        TStart start;
        std::optional<TTableRecovery> stationRecovery;
        std::optional<TTableRecovery> paraRecovery;
        const auto stations =
            OpenRecovering<TStationDbMgr>(StationFile, kStationKind, kWhen, false, stationRecovery);
        const auto paras =
            OpenRecovering<TSysParaDbMgr>(ParaFile, kSysParaKind, kWhen, false, paraRecovery);
        start.Stations = StateOf(*stations->Table());
        start.Paras = StateOf(*paras->Table());
        start.Recovered = (stationRecovery ? 1 : 0) + (paraRecovery ? 1 : 0);
        return start;
    }

    // Runs ThroughManager on a copy of File and ThroughTable on the table
    // over a write log of it; then starts after every prefix of the writes.
    // Returns how many of the starts had to recover a file.
    int CutAfterEveryWrite(const std::string& file, const char* tableName,
                           const std::function<void(const std::string&)>& throughManager,
                           const std::function<void(TVeltTable&)>& throughTable) {
        const std::vector<uint8_t> before = FileBytes(file);
        const std::string copy = file + ".copy";
        std::filesystem::copy_file(file, copy);
        throughManager(copy);
        const std::vector<uint8_t> after = FileBytes(copy);
        std::filesystem::remove(copy);

        std::vector<TWrite> writes;
        {
            TWriteLogStream stream(before);
            TVeltDatabase db;
            EXPECT_TRUE(db.OpenStream(&stream, ""));
            TVeltTable table(&db);
            table.Open(tableName);
            throughTable(table);
            writes = stream.Writes();
            EXPECT_EQ(stream.Resizes(), 0);
        }
        EXPECT_EQ(AfterWrites(before, writes, writes.size()), after)
            << "the replay differs from the manager's operation";

        const TStart old = Start();
        WriteFileBytes(file, after);
        const TStart done = Start();
        EXPECT_EQ(old.Recovered + done.Recovered, 0);
        EXPECT_FALSE(old.Stations == done.Stations && old.Paras == done.Paras);

        int recovered = 0;
        for (size_t n = 0; n <= writes.size(); ++n) {
            // Only the live file: what a recovery kept aside goes too.
            for (const auto& entry :
                 std::filesystem::directory_iterator(std::filesystem::path(file).parent_path())) {
                if (entry.path() != file) std::filesystem::remove(entry.path());
            }
            WriteFileBytes(file, AfterWrites(before, writes, n));
            TStart start;
            try {
                start = Start();
            } catch (const std::exception& error) {
                ADD_FAILURE() << "no start after " << n << " of " << writes.size()
                              << " writes: " << error.what();
                continue;
            }
            recovered += start.Recovered;
            const bool asBefore = start.Stations == old.Stations && start.Paras == old.Paras;
            const bool asAfter = start.Stations == done.Stations && start.Paras == done.Paras;
            if (n == 0) {
                EXPECT_TRUE(asBefore);
            } else if (n == writes.size()) {
                EXPECT_TRUE(asAfter);
            } else {
                EXPECT_TRUE(asBefore || asAfter) << "after " << n << " of " << writes.size();
            }
            // The start left a file that opens as it is.
            EXPECT_EQ(Start().Recovered, 0) << "after " << n << " of " << writes.size();
        }
        WriteFileBytes(file, after);
        return recovered;
    }
};

TEST_F(PowerCutTest, AddingAStation) {
    // Address 7 lies between 5 and 9 in the "TmpAddr" chain.
    const int recovered = CutAfterEveryWrite(
        StationFile, kStationTableName,
        [](const std::string& copy) {
            TStationDbMgr(copy, false).AddStation("温控器", "新站", 7, 7, 5, 3, 0, 0, 0);
        },
        [&](TVeltTable& table) {
            TStationDbMgr scratch(Dir.File("scratch.dt"), false);
            scratch.AddStation("温控器", "新站", 7, 7, 5, 3, 0, 0, 0);
            std::vector<uint8_t> data(kStationRecordSize);
            ASSERT_TRUE(scratch.Table()->ReadRecordById(1, data.data()));
            table.Append(data.data(), kStationRecordSize);
        });
    EXPECT_EQ(recovered, 1);
}

TEST_F(PowerCutTest, DeletingAStation) {
    const int recovered = CutAfterEveryWrite(
        StationFile, kStationTableName,
        [](const std::string& copy) { TStationDbMgr(copy, false).DeleteRecord(3); },
        [](TVeltTable& table) { table.Delete(3); });
    EXPECT_EQ(recovered, 1);
}

TEST_F(PowerCutTest, WritingTheDateOfTheLastBackupNeedsNoRecovery) {
    // The update keeps its key: the file opens as it is after every write.
    const int recovered = CutAfterEveryWrite(
        ParaFile, kSysParaTableName,
        [&](const std::string& copy) {
            TSysParaDbMgr paras(copy, false);
            std::vector<TSysParaItem> list = Paras;
            ASSERT_EQ(WritePara(paras, list, kParaLastBackUpDate, 0, "2026-12-08"), 1);
        },
        [&](TVeltTable& table) {
            TSysParaDbMgr scratch(Dir.File("scratch.dt"), false);
            const int32_t id = scratch.AddPara(kParaLastBackUpDate, 0, "2026-12-08");
            std::vector<uint8_t> data(kSysParaRecordSize);
            ASSERT_TRUE(scratch.Table()->ReadRecordById(id, data.data()));
            int32_t target = 0;
            for (const TSysParaItem& item : Paras) {
                if (item.ParaKey == kParaLastBackUpDate) target = item.RecordId;
            }
            table.Update(target, data.data(), kSysParaRecordSize);
        });
    EXPECT_EQ(recovered, 0);
}

TEST_F(PowerCutTest, ChangingTheKeyOfAParameter) {
    // Key 1 becomes key 4: the record moves in the "ParaKey" chain.
    const int recovered = CutAfterEveryWrite(
        ParaFile, kSysParaTableName,
        [&](const std::string& copy) {
            TSysParaDbMgr(copy, false).UpdatePara(Paras[1].RecordId, 4, 12, "");
        },
        [&](TVeltTable& table) {
            TSysParaDbMgr scratch(Dir.File("scratch.dt"), false);
            const int32_t id = scratch.AddPara(4, 12, "");
            std::vector<uint8_t> data(kSysParaRecordSize);
            ASSERT_TRUE(scratch.Table()->ReadRecordById(id, data.data()));
            table.Update(Paras[1].RecordId, data.data(), kSysParaRecordSize);
        });
    EXPECT_GE(recovered, 1);
}

}  // namespace
