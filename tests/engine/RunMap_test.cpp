#include "engine/RunMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "EngineTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"

using namespace enginetest;

namespace {

void ExpectSameList(const TRunList& list, const std::vector<int32_t>& model, int step) {
    ASSERT_EQ(list.size(), model.size()) << "step " << step;
    ASSERT_TRUE(std::equal(model.begin(), model.end(), list.begin())) << "step " << step;
    // Walking back from the end visits the same values.
    auto it = list.end();
    for (size_t p = model.size(); p-- > 0;) ASSERT_EQ(*--it, model[p]) << "step " << step;
}

void ExpectSameMap(const TRunMap& map, const std::map<int32_t, int32_t>& model, int step) {
    ASSERT_EQ(map.Count(), static_cast<int32_t>(model.size())) << "step " << step;
    int32_t rank = 0;
    for (const auto& [id, slot] : model) {
        int32_t key = 0;
        int32_t value = 0;
        ASSERT_TRUE(map.GetAt(rank, key, value)) << "step " << step;
        ASSERT_EQ(key, id) << "step " << step << " rank " << rank;
        ASSERT_EQ(value, slot) << "step " << step << " rank " << rank;
        ASSERT_EQ(map.IndexOf(id), rank) << "step " << step;
        ++rank;
    }
    int32_t key = 0;
    int32_t value = 0;
    EXPECT_FALSE(map.GetAt(rank, key, value));
    EXPECT_FALSE(map.GetAt(-1, key, value));
    EXPECT_EQ(map.LastKey(), model.empty() ? 0 : model.rbegin()->first);
}

}  // namespace

// Mostly appends that continue the last value, as an index of samples in
// time order sees them, mixed with inserts and erases anywhere and values
// that repeat; every step is checked against a plain vector.
TEST(TRunList, RandomEditsMatchAPlainVector) {
    std::mt19937 random(17);
    TRunList list;
    std::vector<int32_t> model;
    int32_t next = 1;
    for (int step = 0; step < 6000; ++step) {
        const auto size = static_cast<int32_t>(model.size());
        const int32_t what = std::uniform_int_distribution<int32_t>(0, 9)(random);
        const int32_t at = std::uniform_int_distribution<int32_t>(0, std::max(0, size - 1))(random);
        if (what < 4 || size == 0) {
            list.push_back(next);
            model.push_back(next++);
        } else if (what < 6) {
            // A value that may continue, precede or repeat its neighbours.
            const int32_t value =
                size > 0 ? model[at] + std::uniform_int_distribution<int32_t>(-2, 2)(random) : 0;
            const int32_t position = std::uniform_int_distribution<int32_t>(0, size)(random);
            list.Insert(position, value);
            model.insert(model.begin() + position, value);
        } else if (what < 8) {
            list.Erase(at);
            model.erase(model.begin() + at);
        } else if (what == 8) {
            ASSERT_EQ(list[static_cast<size_t>(at)], model[at]) << "step " << step;
        } else {
            const int32_t value = std::uniform_int_distribution<int32_t>(-3, next + 3)(random);
            const auto found = std::find(model.begin(), model.end(), value);
            ASSERT_EQ(list.Find(value),
                      found == model.end() ? -1 : static_cast<int32_t>(found - model.begin()))
                << "step " << step;
        }
        if (step % 50 == 0) ExpectSameList(list, model, step);
    }
    ExpectSameList(list, model, -1);
    EXPECT_TRUE(list == model);
    EXPECT_EQ(static_cast<std::vector<int32_t>>(list), model);
}

TEST(TRunList, ConsecutiveValuesStayOneRunAndJoinAgainWhenTheGapCloses) {
    TRunList list;
    for (int32_t id = 1; id <= 100000; ++id) list.push_back(id);
    EXPECT_EQ(list.RunCount(), 1u);
    EXPECT_EQ(list[99999], 100000);
    list.Erase(500);  // id 501
    EXPECT_EQ(list.RunCount(), 2u);
    EXPECT_EQ(list[500], 502);
    list.Insert(500, 501);
    EXPECT_EQ(list.RunCount(), 1u);
    // A sample from before a clock set back, placed among the older ones.
    list.Insert(10, 100001);
    EXPECT_EQ(list.RunCount(), 3u);
    EXPECT_EQ(list[9], 10);
    EXPECT_EQ(list[10], 100001);
    EXPECT_EQ(list[11], 11);
    EXPECT_EQ(list.Find(100001), 10);
    EXPECT_EQ(list.Find(11), 11);
    list.Erase(10);
    EXPECT_EQ(list.RunCount(), 1u);
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.begin(), list.end());
}

// Ids and slots as a table's map sees them: appends of id + 1 into the
// next slot, explicit ids anywhere, deletes; lookups by id and by rank.
TEST(TRunMap, RandomEditsMatchAPlainMap) {
    std::mt19937 random(23);
    TRunMap map;
    std::map<int32_t, int32_t> model;
    int32_t nextSlot = 0;
    for (int step = 0; step < 8000; ++step) {
        const int32_t what = std::uniform_int_distribution<int32_t>(0, 9)(random);
        const int32_t last = model.empty() ? 0 : model.rbegin()->first;
        const int32_t id = std::uniform_int_distribution<int32_t>(-5, last + 5)(random);
        if (what < 4) {
            ASSERT_TRUE(map.Add(last + 1, nextSlot));
            model.emplace(last + 1, nextSlot++);
        } else if (what < 6) {
            // An explicit id; now and then a slot that continues its
            // neighbour's, so runs join.
            const auto below = model.lower_bound(id);
            const int32_t slot = below != model.begin() && what == 5
                                     ? std::prev(below)->second + (id - std::prev(below)->first)
                                     : nextSlot++;
            const bool added = model.emplace(id, slot).second;
            ASSERT_EQ(map.Add(id, slot), added) << "step " << step;
        } else if (what < 8) {
            ASSERT_EQ(map.Remove(id), model.erase(id) == 1) << "step " << step;
        } else {
            int32_t slot = -7;
            const auto found = model.find(id);
            ASSERT_EQ(map.TryGetValue(id, slot), found != model.end()) << "step " << step;
            if (found != model.end()) {
                ASSERT_EQ(slot, found->second);
            }
            ASSERT_EQ(map.ContainsKey(id), found != model.end());
        }
        if (step % 50 == 0) ExpectSameMap(map, model, step);
    }
    ExpectSameMap(map, model, -1);
}

TEST(TRunMap, AppendsAreOneRunThatADeleteSplitsAndItsIdMendsAgain) {
    TRunMap map;
    for (int32_t id = 1; id <= 100000; ++id) ASSERT_TRUE(map.Add(id, id - 1));
    EXPECT_EQ(map.RunCount(), 1u);
    EXPECT_FALSE(map.Add(777, 0));
    EXPECT_TRUE(map.Remove(777));
    EXPECT_FALSE(map.Remove(777));
    EXPECT_EQ(map.RunCount(), 2u);
    EXPECT_EQ(map.IndexOf(778), 776);
    // The same id back into its old slot mends the run; into another slot
    // it stays a run of its own.
    EXPECT_TRUE(map.Add(777, 776));
    EXPECT_EQ(map.RunCount(), 1u);
    EXPECT_TRUE(map.Remove(1));
    EXPECT_TRUE(map.Remove(100000));
    EXPECT_EQ(map.RunCount(), 1u);
    EXPECT_TRUE(map.Add(100001, 100000));
    EXPECT_EQ(map.RunCount(), 2u);
    int32_t slot = 0;
    EXPECT_TRUE(map.TryGetValue(100001, slot));
    EXPECT_EQ(slot, 100000);
    EXPECT_EQ(map.LastKey(), 100001);
    map.Clear();
    EXPECT_EQ(map.Count(), 0);
    EXPECT_EQ(map.LastKey(), 0);
}

namespace {

class HistoryRunsTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");
    std::unique_ptr<TVeltDatabase> Db;
    std::unique_ptr<TVeltTable> Table;
    std::map<int32_t, double> Times;  // the model: id -> sample time

    void SetUp() override { CreateHistoryDatabase(Path); }

    void Reopen() {
        Table.reset();
        Db = std::make_unique<TVeltDatabase>();
        ASSERT_TRUE(Db->Open(Path, ""));
        Table = std::make_unique<TVeltTable>(Db.get());
        Table->Open(kHisTable);
    }

    void Append(double time) {
        const TSample sample = MakeSample(time, static_cast<int32_t>(time));
        Times[Table->Append(sample.Bytes, kHisRecordSize)] = time;
    }

    // Every way of reading the table agrees with the model.
    void ExpectModel(const char* when) {
        SCOPED_TRACE(when);
        std::vector<std::pair<double, int32_t>> byTime;
        for (const auto& [id, time] : Times) byTime.emplace_back(time, id);
        std::sort(byTime.begin(), byTime.end());
        std::vector<int32_t> order;
        for (const auto& entry : byTime) order.push_back(entry.second);
        EXPECT_EQ(Table->Index(0).Ids(), order);

        ASSERT_EQ(Table->RecordCount(), static_cast<int32_t>(Times.size()));
        uint8_t data[kHisRecordSize];
        int32_t position = 0;
        for (const auto& [id, time] : Times) {
            int32_t read = 0;
            ASSERT_TRUE(Table->ReadRecord(position++, read, data));
            ASSERT_EQ(read, id);
            ASSERT_EQ(SampleTime(data), time);
            ASSERT_TRUE(Table->ReadRecordById(id, data));
            ASSERT_EQ(SampleTime(data), time);
        }
        int32_t read = 0;
        EXPECT_FALSE(Table->ReadRecord(position, read, data));
    }
};

}  // namespace

// Samples in time order, the clock set back twice, deletes and an update
// that moves a sample: the order, the positions and the ids read the same
// before and after reopening, and the runs stay few.
TEST_F(HistoryRunsTest, ClockSetBackAndDeletesReadTheSameAfterReopen) {
    Reopen();
    for (int32_t t = 1; t <= 1500; ++t) Append(t);
    for (int32_t t = 0; t < 200; ++t) Append(700.5 + t * 0.001);  // set back
    for (int32_t t = 1501; t <= 1800; ++t) Append(t);
    for (int32_t t = 0; t < 50; ++t) Append(100.25 + t * 0.001);  // and again
    ExpectModel("appended");
    EXPECT_EQ(Table->IdMap().RunCount(), 1u);
    // 1..100, 2001..2050, 101..700, 1501..1700, 701..1500, 1701..2000.
    EXPECT_EQ(Table->Index(0).Ids().RunCount(), 6u);

    for (const int32_t id : {1, 2, 300, 1500, 1501, 1650, 2050}) {
        Table->Delete(id);
        Times.erase(id);
    }
    const TSample moved = MakeSample(1799.5, 1);
    Table->Update(1000, moved.Bytes, kHisRecordSize);
    Times[1000] = 1799.5;
    ExpectModel("edited");
    Reopen();
    ExpectModel("reopened");
    EXPECT_LE(Table->IdMap().RunCount(), 7u);
    EXPECT_LE(Table->Index(0).Ids().RunCount(), 20u);

    Append(1800.5);
    Append(1801);
    ExpectModel("appended after reopen");
    Reopen();
    ExpectModel("reopened again");
}

namespace {

// A table of kSlots records written straight into its growth area (ids and
// chain given, data left zero): more slots than one read window of the open.
class LargeTableTest : public ::testing::Test {
  protected:
    static constexpr int32_t kSlots = 80000;
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");

    // SlotIds[s] is the id of slot s; Chain lists the slots in index order.
    void Write(const std::vector<int32_t>& slotIds, const std::vector<int32_t>& chain) {
        std::filesystem::remove(Path);
        CreateHistoryDatabase(Path, kSlots);
        {
            TVeltDatabase db;
            ASSERT_TRUE(db.Open(Path, ""));
            TVeltTable table(&db);
            table.Open(kHisTable);
            const TSample sample = MakeSample(1, 1);
            table.Append(sample.Bytes, kHisRecordSize);
            table.Definition().GrowthCount.Set(kSlots);
            table.Definition().Indexes[0].Head.Set(chain.front());
            table.BeginAccess();
            table.WriteDefinition();
            table.EndAccess();
        }
        std::vector<uint8_t> bytes = ReadBytes(Path);
        const int32_t growth = Le32At(bytes, DefinitionOffset(bytes) + 41);
        ASSERT_GE(bytes.size(), static_cast<size_t>(growth) + size_t{kSlots} * kHisStoredSize);
        for (int32_t s = 0; s < kSlots; ++s) {
            const size_t at = growth + static_cast<size_t>(s) * kHisStoredSize;
            bytes[at] = kRecordMarker;
            bytes[at + 1] = 0;
            PutLe32At(bytes, at + 2, slotIds[s]);
        }
        for (size_t k = 0; k < chain.size(); ++k) {
            const size_t at = growth + static_cast<size_t>(chain[k]) * kHisStoredSize;
            PutLe32At(bytes, at + 6, k + 1 < chain.size() ? chain[k + 1] : kNoSlot);
        }
        WriteBytes(Path, bytes);
    }

    void ExpectOpens(const std::vector<int32_t>& slotIds, const std::vector<int32_t>& chain) {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Path, ""));
        TVeltTable table(&db);
        table.Open(kHisTable);
        ASSERT_EQ(table.RecordCount(), kSlots);
        std::vector<int32_t> order;
        for (const int32_t slot : chain) order.push_back(slotIds[slot]);
        EXPECT_EQ(table.Index(0).Ids(), order);
        for (int32_t s = 0; s < kSlots; s += 997) EXPECT_EQ(table.SlotOf(slotIds[s]), s);
        int32_t id = 0;
        int32_t slot = 0;
        ASSERT_TRUE(table.IdMap().GetAt(kSlots - 1, id, slot));
        EXPECT_EQ(id, *std::max_element(slotIds.begin(), slotIds.end()));
    }
};

}  // namespace

// The chain in slot order, against it, and jumping about; ids ascending or
// shuffled across the slots. A chain through a slot the map does not hold
// is still refused.
TEST_F(LargeTableTest, OpensWhateverOrderTheSlotsAndTheChainTake) {
    std::vector<int32_t> ids(kSlots);
    std::vector<int32_t> chain(kSlots);
    for (int32_t s = 0; s < kSlots; ++s) ids[s] = s + 1;
    std::iota(chain.begin(), chain.end(), 0);
    std::mt19937 random(5);
    {
        SCOPED_TRACE("in slot order");
        Write(ids, chain);
        ExpectOpens(ids, chain);
    }
    {
        SCOPED_TRACE("chain against the slots");
        std::reverse(chain.begin(), chain.end());
        Write(ids, chain);
        ExpectOpens(ids, chain);
    }
    {
        SCOPED_TRACE("chain jumping about, ids shuffled");
        std::shuffle(chain.begin(), chain.end(), random);
        std::shuffle(ids.begin(), ids.end(), random);
        Write(ids, chain);
        ExpectOpens(ids, chain);
    }
    {
        SCOPED_TRACE("a slot repeats an id");
        ids[kSlots - 1] = ids[0];
        Write(ids, chain);
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Path, ""));
        TVeltTable table(&db);
        EXPECT_THROW(table.Open(kHisTable), EVeltFileCorrupt);
    }
}
