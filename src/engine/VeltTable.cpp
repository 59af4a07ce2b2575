#include "engine/VeltTable.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "algorithms/Stream.h"
#include "engine/SlotReader.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltIndex.h"
#include "engine/VeltLayout.h"

namespace {

// The file's size once a full growth area of `capacity` slots ending at
// `areaEnd` has grown: its `used` bytes move to the end of the file first
// when something follows the area, then the area doubles there.
int64_t SizeAfterGrowth(int64_t fileSize, int64_t areaEnd, int64_t used, int64_t capacity,
                        int64_t stored) {
    return (areaEnd != fileSize ? fileSize + used : fileSize) + capacity * stored;
}

// The most a walk reads ahead at once: ample to make the file's per-read
// cost vanish beside the records', little enough to stay in the cache.
constexpr int32_t kWindowBytes = 1 << 16;

}  // namespace

TVeltTable::TVeltTable(TVeltDatabase* database) : FDatabase(database) {
    if (database == nullptr) RaiseEngineError(velt_msg::kDatabaseNil);
    FCache = std::make_unique<TRecordCache>(this);
    database->RegisterTable(this);
}

TVeltTable::~TVeltTable() {
    Close();
    if (FDatabase != nullptr) FDatabase->UnregisterTable(this);
}

TVeltFileIO& TVeltTable::FileIO() const {
    if (FDatabase == nullptr) RaiseEngineError(velt_msg::kDatabaseNil);
    return FDatabase->FileIO();
}

// ------------------------------------------------------------ open and close

void TVeltTable::Open(const std::string& tableName, bool loadIndexes) {
    Close();
    if (FDatabase == nullptr) RaiseEngineError(velt_msg::kDatabaseNil);
    FDatabase->CheckActive();
    FTableNumber = FDatabase->IndexOfTable(tableName);
    if (FTableNumber < 0) RaiseEngineErrorFmt(velt_msg::kTableNotFound, tableName);
    FActive = true;
    try {
        FTableName = tableName;
        {
            TVeltFileIO definitionIO;
            FDatabase->OpenFileIO(definitionIO);
            definitionIO.ReadTableDef(FDatabase->Directory(), FTableNumber, FDef);
            FDatabase->CheckTableLayout(FTableNumber, FDef, definitionIO.FileSize());
            definitionIO.Close();
        }
        LoadRecords(loadIndexes);
    } catch (...) {
        Close();
        throw;
    }
}

void TVeltTable::ValidateDefinition(int64_t fileSize) const {
    // Everything below is guaranteed by every writer of the format; a file
    // that breaks it is damaged or not ours, and nothing in it is trusted to
    // size an allocation.
    const int32_t indexCount = FDef.IndexCount.Get();
    const int32_t recordSize = FDef.RecordSize.Get();
    const int64_t stored = StoredRecordSizeOf(FDef);
    if (stored < 0 || FDef.Capacity.Get() < 1) RaiseFileCorrupt();

    auto checkArea = [&](int32_t offset, int32_t count) {
        if (count < 0) RaiseFileCorrupt();
        if (count == 0) return;
        const int64_t end = static_cast<int64_t>(offset) + count * stored;
        // Offsets are i32: an area also ends within the first 2 GiB.
        if (offset < kHeaderSize || end > fileSize || end > kMaxFileSize) RaiseFileCorrupt();
    };
    checkArea(FDef.PrimaryOffset.Get(), FDef.PrimaryCount.Get());
    checkArea(FDef.GrowthOffset.Get(), FDef.GrowthCount.Get());
    const int32_t capacity = FDef.GrowthCapacity.Get();
    if (capacity < 0 || FDef.GrowthCount.Get() > capacity) RaiseFileCorrupt();
    if (static_cast<int64_t>(FDef.PrimaryCount.Get()) + FDef.GrowthCount.Get() > INT32_MAX) {
        RaiseFileCorrupt();
    }

    for (int32_t k = 0; k < indexCount; ++k) {
        const TIndexEntry& entry = FDef.Indexes[k];
        const int32_t fieldCount = entry.KeyFieldCount.Get();
        if (fieldCount < 1 || fieldCount > kMaxKeyFields) RaiseFileCorrupt();
        for (int32_t i = 0; i < fieldCount; ++i) {
            const int32_t offset = entry.Fields[i].Offset.Get();
            const int32_t width = FieldTypeWidth(entry.Fields[i].FieldType);
            if (offset < 0 || static_cast<int64_t>(offset) + width > recordSize) {
                RaiseFileCorrupt();
            }
        }
    }
}

namespace {

// Runs of the id map below which a chain is checked against the map itself.
constexpr size_t kFewRuns = 4096;

}  // namespace

void TVeltTable::LoadRecords(bool loadIndexes) {
    TVeltFileIO& io = FileIO();
    FDatabase->OpenFileIO(io);
    try {
        ValidateDefinition(io.FileSize());
        FHeaderSize =
            static_cast<int32_t>(::HeaderSize(FDef.IndexCount.Get(), FDef.HeaderBlockCount.Get()));
        FStoredRecordSize = FHeaderSize + FDef.RecordSize.Get();
        FIdMap.Clear();

        // The id map from every slot, then each index's chain, over the
        // stored records read a window at a time.
        TSlotReader reader(io, FDef, FStoredRecordSize);
        TSlotOrderChains chains;
        chains.Count = loadIndexes ? FDef.IndexCount.Get() : 0;
        MapRecords(reader, chains);
        // Ids given out of slot order leave a run per record or so; the
        // chains are then checked against a bit per slot, not a search.
        if (chains.InSlotOrder != (1u << chains.Count) - 1 && FIdMap.RunCount() > kFewRuns) {
            FIdMap.ForEachRun([&](int32_t, int32_t firstSlot, int32_t length) {
                reader.MarkMapped(firstSlot, length);
            });
        }

        FIndexes.clear();
        FIndexesLoaded = loadIndexes;
        if (loadIndexes) {
            const TRecordSlots slots{&reader, reader.SlotCount(), &FIdMap};
            for (int32_t k = 0; k < FDef.IndexCount.Get(); ++k) {
                if ((chains.InSlotOrder >> k & 1u) == 0) {
                    FIndexes.push_back(std::make_unique<TVeltIndex>(this, &io, k, slots));
                    continue;
                }
                // Checked on the way: the order is the ids' order.
                TRunList ids;
                FIdMap.ForEachRun([&](int32_t firstId, int32_t, int32_t length) {
                    ids.AppendRun(firstId, length);
                });
                FIndexes.push_back(std::make_unique<TVeltIndex>(this, &io, k, std::move(ids)));
            }
        }
    } catch (...) {
        io.Close();
        throw;
    }
    io.Close();
}

void TVeltTable::MapRecords(TSlotReader& reader, TSlotOrderChains& chains) {
    // Live records in slot order. Ids written by appends ascend with the
    // slots: they are gathered as runs of (consecutive id, consecutive
    // slot) straight into the map. At the first id out of that order the
    // (id, slot) pairs are gathered and sorted once instead, so opening
    // costs O(n log n) whatever the ids.
    const int32_t slotCount = reader.SlotCount();
    std::vector<std::pair<int32_t, int32_t>> pairs;
    bool ascending = true;
    // The run being gathered: Length ids from FirstId at slots from FirstSlot.
    int32_t firstId = 0;
    int32_t firstSlot = 0;
    int32_t length = 0;
    // Where each chain must go next for it to run in slot order: its head
    // first, then the link of the live record before.
    std::array<int32_t, kMaxIndexes> expected{};
    for (int32_t k = 0; k < chains.Count; ++k) expected[k] = FDef.Indexes[k].Head.Get();
    uint32_t inOrder = (1u << chains.Count) - 1;
    reader.BeginWalk();
    for (int32_t slot = 0; slot < slotCount; ++slot) {
        const uint8_t* stored = reader.Record(slot);
        if (ascending && length > 0 && chains.Count <= 1 && firstSlot + length == slot) {
            // A table of appends is one long run: the records of the window
            // that go on with it are taken in a tight loop.
            const int64_t next = static_cast<int64_t>(firstId) + length;
            const auto held = static_cast<int32_t>(
                std::min<int64_t>(reader.HeldFrom(slot), INT32_MAX - next + 1));
            const auto size = static_cast<size_t>(FStoredRecordSize);
            int32_t taken = 0;
            if (chains.Count == 0) {
                for (; taken < held; ++taken) {
                    const uint8_t* record = stored + taken * size;
                    if (RecordDeleted(record) || StoredRecordId(record) != next + taken) break;
                }
            } else {
                int32_t link = expected[0];
                bool linked = true;
                for (; taken < held; ++taken) {
                    const uint8_t* record = stored + taken * size;
                    if (RecordDeleted(record) || StoredRecordId(record) != next + taken) break;
                    linked &= link == slot + taken;
                    link = StoredLink(record, 0);
                }
                expected[0] = link;
                if (!linked) inOrder &= ~1u;
            }
            length += taken;
            if (taken > 0) {
                slot += taken - 1;
                continue;
            }
        }
        if (RecordDeleted(stored)) continue;
        const int32_t id = StoredRecordId(stored);
        if (inOrder != 0) {
            for (int32_t k = 0; k < chains.Count; ++k) {
                if (expected[k] != slot) inOrder &= ~(1u << k);
                expected[k] = StoredLink(stored, k);
            }
        }
        if (ascending) {
            if (length > 0 && static_cast<int64_t>(firstId) + length == id &&
                firstSlot + length == slot) {
                ++length;
                continue;
            }
            FIdMap.AppendRun(firstId, firstSlot, length);
            length = 0;
            if (FIdMap.Count() == 0 || id > FIdMap.LastKey()) {
                firstId = id;
                firstSlot = slot;
                length = 1;
                continue;
            }
            ascending = false;
            pairs.reserve(static_cast<size_t>(slotCount - slot) +
                          static_cast<size_t>(FIdMap.Count()));
            int32_t key = 0;
            int32_t value = 0;
            for (int32_t i = 0; FIdMap.GetAt(i, key, value); ++i) pairs.emplace_back(key, value);
            FIdMap.Clear();
        }
        pairs.emplace_back(id, slot);
    }
    FIdMap.AppendRun(firstId, firstSlot, length);
    if (!ascending) {
        std::sort(pairs.begin(), pairs.end());
        // A second live record under an id already present is not mapped:
        // the first in slot order keeps the id.
        for (size_t i = 0; i < pairs.size(); ++i) {
            if (i > 0 && pairs[i].first == pairs[i - 1].first) continue;
            FIdMap.Add(pairs[i].first, pairs[i].second);
        }
    }
    FIdMap.ShrinkToFit();
    // With ids ascending in slot order every live record is mapped where it
    // lies, so a chain through them all in slot order is exactly what the
    // chain walk accepts.
    chains.InSlotOrder = 0;
    if (!ascending) return;
    for (int32_t k = 0; k < chains.Count; ++k) {
        if ((inOrder >> k & 1u) != 0 && expected[k] == kNoSlot) chains.InSlotOrder |= 1u << k;
    }
}

void TVeltTable::Close() {
    FActive = false;
    if (FDatabase != nullptr) FDatabase->FileIO().Close();
    FIdMap.Clear();
    FCache->Clear();
    FIndexes.clear();
}

int32_t TVeltTable::RecordCount() const {
    return FActive ? FIdMap.Count() : 0;
}

TTableRoom TVeltTable::Room(int64_t fileSizeLimit) const {
    TTableRoom room;
    if (!FActive) return room;
    const int64_t stored = FStoredRecordSize;
    const int64_t primary = FDef.PrimaryCount.Get();
    int64_t capacity = FDef.GrowthCapacity.Get();
    room.Used = primary + FDef.GrowthCount.Get();
    room.Total = primary + capacity;
    // The size the last access left (an in-memory file leaves none: its
    // growth area is then taken to end the file, as it does unless another
    // table grew after it).
    const TVeltFileIO& io = FileIO();
    int64_t areaEnd = FDef.GrowthOffset.Get() + capacity * stored;
    int64_t fileSize = std::max(io.LastClosed().Size, capacity > 0 ? areaEnd : kHeaderSize);
    if (capacity == 0) {
        capacity = FDef.Capacity.Get();
        fileSize += capacity * stored;
        if (capacity <= 0 || fileSize > fileSizeLimit) return room;
        areaEnd = fileSize;
    }
    // A growth happens when the area is full: every slot is in use then.
    for (;;) {
        const int64_t grown =
            SizeAfterGrowth(fileSize, areaEnd, capacity * stored, capacity, stored);
        if (grown > fileSizeLimit) break;
        fileSize = areaEnd = grown;
        capacity *= 2;
    }
    room.Total = primary + capacity;
    return room;
}

// ------------------------------------------------------------ access

void TVeltTable::CheckActive() const {
    // Every record read passes here: the usable case stays small enough to
    // inline, the raising one is out of line.
    if (FDatabase != nullptr && FActive && FDatabase->Active()) [[likely]]
        return;
    RaiseInactive();
}

void TVeltTable::RaiseInactive() const {
    if (FDatabase == nullptr) RaiseEngineError(velt_msg::kDatabaseNil);
    FDatabase->CheckActive();
    if (!FActive) RaiseEngineError(velt_msg::kTableClosed);
}

void TVeltTable::BeginAccess() {
    CheckActive();
    FDatabase->BeginAccess();
}

void TVeltTable::EndAccess() {
    CheckActive();
    FDatabase->EndAccess();
}

template <class Body>
void TVeltTable::WithAccess(Body&& body) {
    BeginAccess();
    try {
        body();
    } catch (...) {
        FDatabase->EndAccessAfterFailure();
        throw;
    }
    EndAccess();
}

void TVeltTable::WriteDefinition() {
    FileIO().WriteTableDef(FDatabase->Directory(), FTableNumber, FDef);
}

void TVeltTable::CheckModifiable() const {
    if (!FIndexesLoaded && FDef.IndexCount.Get() > 0) {
        RaiseEngineError(velt_msg::kTableWithoutIndexes);
    }
}

// ------------------------------------------------------------ positions

int64_t TVeltTable::SlotPosition(int32_t slot) const {
    const int32_t primaryCount = FDef.PrimaryCount.Get();
    if (slot < primaryCount) {
        return FDef.PrimaryOffset.Get() + static_cast<int64_t>(slot) * FStoredRecordSize;
    }
    return FDef.GrowthOffset.Get() + static_cast<int64_t>(slot - primaryCount) * FStoredRecordSize;
}

int32_t TVeltTable::SlotOf(int32_t recordId) const {
    int32_t slot = 0;
    if (!FIdMap.TryGetValue(recordId, slot)) {
        RaiseEngineErrorFmt(velt_msg::kRecordNotFound, recordId);
    }
    return slot;
}

int32_t TVeltTable::RecordPosition(int32_t recordId) const {
    return static_cast<int32_t>(SlotPosition(SlotOf(recordId)));
}

TReadBatch TVeltTable::ReadBatch(int32_t recordId, bool backward, std::vector<uint8_t>& out) {
    CheckActive();
    return ReadBatchAt(SlotOf(recordId), backward, out);
}

TReadBatch TVeltTable::ReadBatchAt(int32_t slot, bool backward, std::vector<uint8_t>& out) {
    TReadBatch batch;
    BeginAccess();
    try {
        const int32_t primaryCount = FDef.PrimaryCount.Get();
        const int32_t slotCount = primaryCount + FDef.GrowthCount.Get();
        if (slot < 0 || slot >= slotCount) RaiseFileCorrupt();
        const bool primary = SlotInPrimaryArea(slot);
        const int32_t areaFirst = primary ? 0 : primaryCount;
        const int32_t areaEnd = primary ? primaryCount : slotCount;
        int32_t first = backward ? std::max(areaFirst, slot - (kBatchRecords - 1)) : slot;
        int32_t end = std::min(areaEnd, first + kBatchRecords);
        if (end - first < kBatchRecords) first = std::max(areaFirst, end - kBatchRecords);
        batch.FirstSlot = first;
        batch.Count = std::max(0, end - first);
        batch.AskedIndex = slot - first;
        const size_t bytes = static_cast<size_t>(batch.Count) * FStoredRecordSize;
        out.resize(bytes);
        if (bytes > static_cast<size_t>(kWindowBytes)) {
            // Records too large to read ahead: the batch alone, straight in.
            ReadSlots(first, out.data(), bytes);
        } else {
            if (!WindowHolds(first, batch.Count)) {
                ReadWindow(first, end, areaFirst, areaEnd, backward);
            }
            std::memcpy(out.data(),
                        FWindow.Bytes.data() +
                            static_cast<size_t>(first - FWindow.First) * FStoredRecordSize,
                        bytes);
        }
    } catch (...) {
        FDatabase->EndAccessAfterFailure();
        throw;
    }
    EndAccess();
    return batch;
}

void TVeltTable::ReadSlots(int32_t first, uint8_t* out, size_t bytes) {
    // A file cut short since the open leaves zeros, which fail the marker
    // check.
    const auto got = static_cast<size_t>(
        std::max(0, FileIO().ReadAt(SlotPosition(first), out, static_cast<int32_t>(bytes))));
    if (got < bytes) std::fill(out + got, out + bytes, 0);
}

bool TVeltTable::WindowHolds(int32_t first, int32_t count) const {
    return FWindow.Serial == FDatabase->AccessSerial() &&
           FWindow.Generation == FileIO().Generation() && first >= FWindow.First &&
           static_cast<int64_t>(first) + count <=
               static_cast<int64_t>(FWindow.First) + FWindow.Count;
}

void TVeltTable::ReadWindow(int32_t first, int32_t end, int32_t areaFirst, int32_t areaEnd,
                            bool backward) {
    // A walk that goes on from where the last read of the same access
    // stopped reads twice as far ahead each time, up to kWindowBytes; any
    // other read takes just its batch. Outside a caller's access the file
    // closes after this batch, and reading ahead would be wasted.
    const bool sameAccess = FWindow.Serial == FDatabase->AccessSerial() &&
                            FWindow.Generation == FileIO().Generation() && FWindow.Count > 0;
    const bool goesOn =
        sameAccess && (backward ? end == FWindow.First : first == FWindow.First + FWindow.Count);
    // Whole batches, so that a walk's batches end where a window ends.
    const int32_t most = std::max(kBatchRecords, kWindowBytes / std::max(1, FStoredRecordSize) /
                                                     kBatchRecords * kBatchRecords);
    int32_t slots = end - first;
    if (goesOn && FDatabase->AccessDepth() > 1) {
        slots = std::clamp(2 * FWindow.Count, end - first, most);
    }
    const int32_t aheadFirst = backward ? std::max(areaFirst, end - slots) : first;
    const int32_t aheadEnd = backward ? end : std::min(areaEnd, first + slots);
    FWindow.Count = 0;
    FWindow.Bytes.resize(static_cast<size_t>(aheadEnd - aheadFirst) * FStoredRecordSize);
    ReadSlots(aheadFirst, FWindow.Bytes.data(), FWindow.Bytes.size());
    FWindow.First = aheadFirst;
    FWindow.Count = aheadEnd - aheadFirst;
    FWindow.Serial = FDatabase->AccessSerial();
    FWindow.Generation = FileIO().Generation();
}

int32_t TVeltTable::ReadAhead(int32_t recordId, TMemoryStream& stream) {
    int32_t count = 0;
    WithAccess([&] {
        const int32_t slot = SlotOf(recordId);
        const int32_t primaryCount = FDef.PrimaryCount.Get();
        const int32_t areaEnd =
            SlotInPrimaryArea(slot) ? primaryCount : primaryCount + FDef.GrowthCount.Get();
        count = std::clamp(areaEnd - slot, 0, kBatchRecords);
        // Both areas lie inside the file's 2 GiB, so the bytes of one batch
        // fit an i32.
        const auto bytes = static_cast<int32_t>(static_cast<int64_t>(count) * FStoredRecordSize);
        stream.Clear();
        stream.SetSize(bytes);
        FileIO().ReadAt(SlotPosition(slot), stream.Memory(), bytes);
        stream.SetPosition(0);
    });
    return count;
}

// ------------------------------------------------------------ records

int32_t TVeltTable::BuildRecord(int32_t recordId, const void* data, int32_t size) {
    const int32_t recordSize = RecordSize();
    const int32_t n = std::clamp(size, 0, recordSize);
    FKey.assign(static_cast<size_t>(recordSize), 0);
    if (n > 0 && data != nullptr) std::memcpy(FKey.data(), data, static_cast<size_t>(n));
    FWork.assign(static_cast<size_t>(FStoredRecordSize), 0);
    FWork[0] = kRecordMarker;
    FWork[1] = 0;
    PutLe32(FWork.data() + 2, recordId);
    if (n > 0) std::memcpy(FWork.data() + FHeaderSize, FKey.data(), static_cast<size_t>(n));
    FDatabase->EncryptData(FWork.data() + FHeaderSize, n);
    return n;
}

const uint8_t* TVeltTable::CacheForm(int32_t taken) {
    FPlain.assign(FWork.begin(), FWork.end());
    const int32_t recordSize = RecordSize();
    if (recordSize <= 0) return FPlain.data();
    if (taken == recordSize) {
        // Deciphering the whole data part gives back what was enciphered.
        std::memcpy(FPlain.data() + FHeaderSize, FKey.data(), static_cast<size_t>(recordSize));
    } else {
        // Fewer bytes were enciphered than a read deciphers; the copy holds
        // what such a read returns.
        FDatabase->DecryptData(FPlain.data() + FHeaderSize, recordSize);
    }
    return FPlain.data();
}

void TVeltTable::GrowForAppend() {
    TVeltFileIO& io = FileIO();
    const int64_t stored = FStoredRecordSize;
    const int32_t capacity = FDef.GrowthCapacity.Get();
    if (capacity == 0) {
        const int64_t bytes = FDef.Capacity.Get() * stored;
        if (io.FileSize() + bytes > kMaxFileSize) RaiseEngineError(velt_msg::kFileTooLarge);
        FDef.GrowthOffset.Set(io.AppendZeros(static_cast<int32_t>(bytes)));
        FDef.GrowthCapacity.Set(FDef.Capacity.Get());
        return;
    }
    const int32_t count = FDef.GrowthCount.Get();
    if (count < capacity) return;
    const int64_t fileSize = io.FileSize();
    const int64_t areaEnd = FDef.GrowthOffset.Get() + capacity * stored;
    const int64_t used = count * stored;
    const bool move = areaEnd != fileSize;
    if (SizeAfterGrowth(fileSize, areaEnd, used, capacity, stored) > kMaxFileSize) {
        RaiseEngineError(velt_msg::kFileTooLarge);
    }
    if (move) {
        // The area is followed by something else: its used part moves to
        // the end of the file and the old bytes are abandoned.
        io.CopyData(FDef.GrowthOffset.Get(), static_cast<int32_t>(fileSize),
                    static_cast<int32_t>(used));
        FDef.GrowthOffset.Set(static_cast<int32_t>(fileSize));
    }
    io.AppendZeros(static_cast<int32_t>(capacity * stored));
    FDef.GrowthCapacity.Set(capacity * 2);
}

int32_t TVeltTable::Append(const void* data, int32_t size, int32_t recordId) {
    CheckActive();
    CheckModifiable();
    WithAccess([&] {
        if (recordId < 1) {
            const int32_t last = FIdMap.LastKey();
            if (last == INT32_MAX) RaiseEngineErrorFmt(velt_msg::kNoRecordIdLeft, last);
            recordId = last + 1;
        } else if (FIdMap.ContainsKey(recordId)) {
            RaiseEngineErrorFmt(velt_msg::kRecordExists, recordId);
        }
        // Write order 1 of the header: the record goes into its slot with
        // its own links, before the definition counts it (and takes it as
        // the head of an index it starts); the predecessors' links follow.
        const TTableDef before = FDef;
        const int32_t taken = BuildRecord(recordId, data, size);
        // At most kMaxIndexes: the open checked the definition's count.
        std::array<TVeltIndex::TInsertPlan, kMaxIndexes> plans{};
        const size_t indexCount = FIndexes.size();
        for (size_t k = 0; k < indexCount; ++k) {
            plans[k] = FIndexes[k]->PlanInsert(recordId, FKey.data());
        }
        int32_t slot = 0;
        try {
            GrowForAppend();
            slot = FDef.PrimaryCount.Get() + FDef.GrowthCount.Get();
            const int64_t position = SlotPosition(slot);
            // Every writer zero-fills the growth area before it counts it,
            // so a free slot beyond the end of the file means a damaged
            // definition; writing there would stretch the file up to 2 GiB.
            if (position + FStoredRecordSize > FileIO().FileSize()) RaiseFileCorrupt();
            for (size_t k = 0; k < indexCount; ++k) {
                const int32_t number = FIndexes[k]->IndexNumber();
                PutLe32(FWork.data() + LinkOffset(number), plans[k].Next);
                if (plans[k].Position == 0) FDef.Indexes[number].Head.Set(slot);
            }
            FileIO().WriteAt(position, FWork.data(), FStoredRecordSize);
            FDef.GrowthCount.Set(FDef.GrowthCount.Get() + 1);
            WriteDefinition();
        } catch (...) {
            FDef = before;
            throw;
        }
        FIdMap.Add(recordId, slot);
        FCache->PutAt(recordId, slot, CacheForm(taken));
        for (size_t k = 0; k < indexCount; ++k) FIndexes[k]->LinkPlanned(recordId, plans[k]);
    });
    return recordId;
}

void TVeltTable::Update(int32_t recordId, const void* data, int32_t size) {
    CheckActive();
    CheckModifiable();
    WithAccess([&] {
        const int32_t slot = SlotOf(recordId);
        const auto position = static_cast<int32_t>(SlotPosition(slot));
        const int32_t taken = BuildRecord(recordId, data, size);
        // Write order 2 of the header. Only the data part: marker, flag, id
        // and links stay as they are.
        FileIO().WriteAt(static_cast<int64_t>(position) + FHeaderSize, FWork.data() + FHeaderSize,
                         FStoredRecordSize - FHeaderSize);
        FCache->PutAt(recordId, slot, CacheForm(taken));
        for (auto& index : FIndexes) index->Update(recordId, position, FKey.data());
    });
}

void TVeltTable::Delete(int32_t recordId) {
    CheckActive();
    CheckModifiable();
    WithAccess([&] {
        const int32_t slot = SlotOf(recordId);
        const auto position = static_cast<int32_t>(SlotPosition(slot));
        // Write order 3 of the header: the flag first, then the unlinking.
        const uint8_t deleted = 1;
        FileIO().WriteAt(static_cast<int64_t>(position) + 1, &deleted, 1);
        FIdMap.Remove(recordId);
        FCache->RemoveAt(recordId, slot);
        for (auto& index : FIndexes) index->Remove(recordId, position);
    });
}

[[gnu::always_inline]] inline void TVeltTable::ReadData(int32_t recordId, int32_t slot,
                                                        void* data) {
    // The cache keeps records deciphered.
    const uint8_t* record = FCache->RecordAt(recordId, slot, FStoredRecordSize);
    const int32_t recordSize = RecordSize();
    if (recordSize > 0) {
        CopyRecordBytes(data, record + FHeaderSize, static_cast<size_t>(recordSize));
    }
}

bool TVeltTable::ReadRecord(int32_t position, int32_t& recordId, void* data) {
    CheckActive();
    if (position < 0 || position >= RecordCount()) return false;
    int32_t slot = 0;
    if (!FIdMap.GetAt(position, recordId, slot)) return false;
    ReadData(recordId, slot, data);
    return true;
}

bool TVeltTable::ReadRecordById(int32_t recordId, void* data) {
    CheckActive();
    int32_t slot = 0;
    if (!FIdMap.TryGetValue(recordId, slot)) return false;
    ReadData(recordId, slot, data);
    return true;
}

void TVeltTable::EmptyTable() {
    CheckActive();
    WithAccess([&] {
        FDef.PrimaryOffset.Set(0);
        FDef.PrimaryCount.Set(0);
        FDef.GrowthCount.Set(0);
        // Every head goes to -1 here, so that a table opened without its
        // index objects is emptied consistently too.
        for (int32_t k = 0; k < FDef.IndexCount.Get(); ++k) FDef.Indexes[k].Head.Set(kNoSlot);
        WriteDefinition();
        FIdMap.Clear();
        FCache->Clear();
        for (auto& index : FIndexes) index->Clear();
    });
}
