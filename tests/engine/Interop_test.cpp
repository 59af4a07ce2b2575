// Round trips against a writer and a reader that share no code with the
// engine: plain byte assembly from the published layout, with only the
// algorithms library for the cipher and the password digest.

#include <gtest/gtest.h>

#include <map>

#include "EngineTestSupport.h"
#include "algorithms/VeltAlgoMgr.h"
#include "algorithms/VeltCipher.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"

using namespace enginetest;

namespace {

using TBytes = std::vector<uint8_t>;

void Put32(TBytes& b, size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}
int32_t Get32(const TBytes& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | b[at + i];
    return static_cast<int32_t>(v);
}
void PutText(TBytes& b, size_t at, const std::string& text) {
    std::memcpy(&b[at], text.data(), text.size());
}
std::string GetText(const TBytes& b, size_t at, size_t size) {
    std::string text;
    for (size_t i = 0; i < size && b[at + i] != 0; ++i) text += static_cast<char>(b[at + i]);
    return text;
}

void Cipher(uint8_t* data, int32_t size, const std::string& password, bool encrypt) {
    TEncryptMgr manager;
    manager.SelectAlgorithm("Blowfish");
    manager.SetMode(0);
    manager.InitKey(password);
    if (encrypt) {
        manager.EncryptBuffer(data, data, size);
    } else {
        manager.DecryptBuffer(data, data, size);
    }
}

struct TPlainRecord {
    int32_t Id;
    double Time;
    bool Deleted;
    int32_t Next;
};

// 0 signature | 10 zeros | 2058 key check | 2315 algorithms | 2391 key |
// 2732 directory | 3764 copy | 4796 definition x2 | 6246 areas.
TBytes WriteIndependently(const std::string& password, int32_t primaryCount,
                          const std::vector<TPlainRecord>& records, int32_t head,
                          int32_t growthCapacity) {
    constexpr size_t kStored = 28;
    const size_t areas = 6246;
    const int32_t growthCount = static_cast<int32_t>(records.size()) - primaryCount;
    TBytes file(areas + (primaryCount + growthCapacity) * kStored, 0);
    PutText(file, 0, "VELT");
    PutText(file, 5, "1.0");
    Cipher(&file[2058], 257, password, true);
    PutText(file, 2315 + 1, "Zlib");
    file[2315 + 34] = 1;
    PutText(file, 2315 + 35, "Blowfish");
    PutText(file, 2391 + 1, HashString(CreateHash<THash_SHA>, password));
    Cipher(&file[2391], 341, "", true);
    for (size_t copy : {2732u, 3764u}) {
        Put32(file, copy, 1);
        Put32(file, copy + 8, 4796);
    }
    TBytes def(725, 0);
    PutText(def, 0, "HisDataTable");
    Put32(def, 33, primaryCount ? static_cast<int32_t>(areas) : 0);
    Put32(def, 37, primaryCount);
    Put32(def, 41, static_cast<int32_t>(areas + primaryCount * kStored));
    Put32(def, 45, growthCount);
    Put32(def, 49, growthCapacity);
    Put32(def, 53, growthCapacity);
    Put32(def, 57, 18);
    Put32(def, 65, 1);
    PutText(def, 69, "DateTime");
    Put32(def, 69 + 33, head);
    Put32(def, 69 + 37, 1);
    for (int k = 0; k < 8; ++k) {
        Put32(def, 69 + 41 + 5 * k, k == 0 ? 0 : -1);
        def[69 + 41 + 5 * k + 4] = k == 0 ? 10 : 0;
    }
    std::memcpy(&file[4796], def.data(), 725);
    std::memcpy(&file[4796 + 725], def.data(), 725);
    for (size_t slot = 0; slot < records.size(); ++slot) {
        const TPlainRecord& r = records[slot];
        uint8_t* at = &file[areas + slot * kStored];
        at[0] = 0xAA;
        at[1] = r.Deleted ? 1 : 0;
        TBytes header(10);
        Put32(header, 2, r.Id);
        Put32(header, 6, r.Next);
        std::memcpy(at + 2, &header[2], 8);
        const TSample sample = MakeSample(r.Time, r.Id);
        std::memcpy(at + 10, sample.Bytes, 18);
        Cipher(at + 10, 18, password, true);
    }
    return file;
}

// Reads the first table of a file written by anyone: the chain order of
// index 0 as (id, time) pairs, every live record by id, and the name.
struct TReadBack {
    std::string TableName;
    std::vector<std::pair<int32_t, double>> Chain;
    std::map<int32_t, TBytes> Live;
};

TReadBack ReadIndependently(const TBytes& file, const std::string& password) {
    TReadBack out;
    EXPECT_EQ(GetText(file, 0, 5), "VELT");
    EXPECT_EQ(GetText(file, 5, 5), "1.0");
    EXPECT_EQ(file[2315 + 34], 1);
    EXPECT_EQ(GetText(file, 2315 + 35, 33), "Blowfish");
    TBytes key(file.begin() + 2391, file.begin() + 2732);
    Cipher(key.data(), 341, "", false);
    EXPECT_EQ(GetText(key, 1, 129), HashString(CreateHash<THash_SHA>, password));
    EXPECT_EQ(TBytes(file.begin() + 2732, file.begin() + 3764),
              TBytes(file.begin() + 3764, file.begin() + 4796));
    EXPECT_GE(Get32(file, 2732), 1);
    const size_t def = static_cast<size_t>(Get32(file, 2732 + 8));
    EXPECT_EQ(TBytes(file.begin() + def, file.begin() + def + 725),
              TBytes(file.begin() + def + 725, file.begin() + def + 1450));
    out.TableName = GetText(file, def, 33);
    const int32_t primaryOffset = Get32(file, def + 33), primaryCount = Get32(file, def + 37);
    const int32_t growthOffset = Get32(file, def + 41), growthCount = Get32(file, def + 45);
    const int32_t indexCount = Get32(file, def + 65);
    const int32_t recordSize = Get32(file, def + 57);
    const size_t stored = 6 + 4 * indexCount + 20 * Get32(file, def + 61) + recordSize;
    auto slotAt = [&](int32_t slot) {
        return slot < primaryCount ? primaryOffset + slot * stored
                                   : growthOffset + (slot - primaryCount) * stored;
    };
    for (int32_t slot = 0; slot < primaryCount + growthCount; ++slot) {
        const size_t at = slotAt(slot);
        EXPECT_EQ(file[at], 0xAA);
        if (file[at + 1] != 0) continue;
        TBytes data(file.begin() + at + stored - recordSize, file.begin() + at + stored);
        Cipher(data.data(), recordSize, password, false);
        out.Live[Get32(file, at + 2)] = data;
    }
    for (int32_t slot = Get32(file, def + 69 + 33); slot != -1;) {
        const size_t at = slotAt(slot);
        const int32_t id = Get32(file, at + 2);
        out.Chain.emplace_back(id, SampleTime(out.Live.at(id).data()));
        slot = Get32(file, at + 6);
        if (out.Chain.size() > out.Live.size()) break;
    }
    return out;
}

}  // namespace

TEST(Interop, EngineReadsAnIndependentlyWrittenFile) {
    TTempDir dir;
    const std::string path = dir.File("foreign.dt");
    // Slots 0-1 in a primary area, 2-4 in the growth area; slot 2 deleted.
    const std::vector<TPlainRecord> records = {{3, 30, false, 4},
                                               {1, 10, false, 0},
                                               {2, 20, true, -1},
                                               {5, 5, false, 1},
                                               {4, 40, false, -1}};
    WriteBytes(path, WriteIndependently("pass", 2, records, 3, 4));

    TVeltDatabase db;
    EXPECT_FALSE(db.Open(path, "wrong"));
    ASSERT_TRUE(db.Open(path, "pass"));
    TVeltTable table(&db);
    table.Open(kHisTable);
    ASSERT_EQ(table.RecordCount(), 4);
    EXPECT_EQ(table.Index(0).Ids(), (std::vector<int32_t>{5, 1, 3, 4}));
    uint8_t data[kHisRecordSize];
    int32_t id;
    const std::vector<int32_t> expectedIds = {1, 3, 4, 5};
    for (int32_t p = 0; p < 4; ++p) {
        ASSERT_TRUE(table.ReadRecord(p, id, data));
        EXPECT_EQ(id, expectedIds[p]);
        const double time = id == 1 ? 10 : id == 3 ? 30 : id == 4 ? 40 : 5;
        EXPECT_EQ(std::memcmp(data, MakeSample(time, id).Bytes, kHisRecordSize), 0) << id;
    }
    EXPECT_EQ(table.RecordPosition(3), 6246);
    EXPECT_EQ(table.RecordPosition(5), 6246 + 2 * 28 + 28);

    // The engine appends into the foreign file, between 30 and 40.
    EXPECT_EQ(table.Append(MakeSample(35, 6).Bytes, kHisRecordSize), 6);
    const TReadBack back = ReadIndependently(ReadBytes(path), "pass");
    const std::vector<std::pair<int32_t, double>> chain = {
        {5, 5}, {1, 10}, {3, 30}, {6, 35}, {4, 40}};
    EXPECT_EQ(back.Chain, chain);
    EXPECT_EQ(back.Live.size(), 5u);
}

TEST(Interop, IndependentReaderChecksAFileTheEngineWrote) {
    TTempDir dir;
    const std::string path = dir.File("ours.dt");
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.CreateDatabase(path, false, "Zlib", true, "Blowfish", "pw"));
        ASSERT_TRUE(db.Open(path, "pw"));
        ASSERT_TRUE(db.CreateTable(kHisTable, 18, 0, 4));
        ASSERT_TRUE(db.CreateIndex(kHisTable, kHisIndex, 0, ftDateTime));
        TVeltTable table(&db);
        table.Open(kHisTable);
        const double times[] = {50, 20, 70, 20, 10, 60, 30, 80, 40};
        for (int32_t i = 0; i < 9; ++i) table.Append(MakeSample(times[i], i + 1).Bytes, 18);
        table.Delete(3);
        table.Update(1, MakeSample(65, 1).Bytes, 18);
    }
    const TReadBack back = ReadIndependently(ReadBytes(path), "pw");
    EXPECT_EQ(back.TableName, kHisTable);
    const std::vector<std::pair<int32_t, double>> chain = {{5, 10}, {2, 20}, {4, 20}, {7, 30},
                                                           {9, 40}, {6, 60}, {1, 65}, {8, 80}};
    EXPECT_EQ(back.Chain, chain);
    ASSERT_EQ(back.Live.size(), 8u);
    EXPECT_EQ(std::memcmp(back.Live.at(1).data(), MakeSample(65, 1).Bytes, 18), 0);
    EXPECT_EQ(std::memcmp(back.Live.at(8).data(), MakeSample(80, 8).Bytes, 18), 0);
    EXPECT_EQ(back.Live.count(3), 0u);
}
