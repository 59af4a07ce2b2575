#include "engine/VeltIndex.h"

#include <algorithm>
#include <cstring>

#include "engine/SlotReader.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltTable.h"

namespace {

// Little-endian field values, whatever the host's byte order.
uint64_t LoadLe(const uint8_t* p, int32_t width) {
    uint64_t value = 0;
    for (int32_t i = width - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

template <class T>
int32_t Order(T a, T b) {
    if (a < b) return -1;
    if (b < a) return 1;
    return 0;  // equal, or unordered (NaN)
}

double LoadDouble(const uint8_t* p) {
    const uint64_t bits = LoadLe(p, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float LoadSingle(const uint8_t* p) {
    const auto bits = static_cast<uint32_t>(LoadLe(p, 4));
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

int32_t CompareStrings(const uint8_t* a, const uint8_t* b, int32_t limit) {
    for (int32_t i = 0; i < limit; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0) return 0;
    }
    return 0;  // the record's end ends both strings
}

}  // namespace

int32_t CompareKeyField(uint8_t fieldType, const uint8_t* a, const uint8_t* b, int32_t limit) {
    switch (fieldType) {
        case ftUInt8:
        case ftBoolean:
            return Order(a[0], b[0]);
        case ftUInt16:
            return Order(LoadLe(a, 2), LoadLe(b, 2));
        case ftUInt32:
            return Order(LoadLe(a, 4), LoadLe(b, 4));
        case ftInt8:
            return Order(static_cast<int8_t>(a[0]), static_cast<int8_t>(b[0]));
        case ftInt16:
            return Order(static_cast<int16_t>(LoadLe(a, 2)), static_cast<int16_t>(LoadLe(b, 2)));
        case ftInt32:
            return Order(static_cast<int32_t>(LoadLe(a, 4)), static_cast<int32_t>(LoadLe(b, 4)));
        case ftDouble:
        case ftDateTime:
            return Order(LoadDouble(a), LoadDouble(b));
        case ftSingle:
        case ftSingle2:
            return Order(LoadSingle(a), LoadSingle(b));
        case ftString:
            return CompareStrings(a, b, limit);
        default:
            return 0;  // codes above 11 compare equal
    }
}

TVeltIndex::TVeltIndex(TVeltTable* table, TVeltFileIO* fileIO, int32_t indexNumber,
                       const TRecordSlots& slots)
    : FTable(table), FFileIO(fileIO), FIndexNumber(indexNumber) {
    if (table == nullptr) RaiseEngineError(velt_msg::kTableNil);
    FIndexName = Definition().Name.Get();
    Load(slots);
}

TVeltIndex::TVeltIndex(TVeltTable* table, TVeltFileIO* fileIO, int32_t indexNumber, TRunList ids)
    : FTable(table), FFileIO(fileIO), FIndexNumber(indexNumber), FIds(std::move(ids)) {
    if (table == nullptr) RaiseEngineError(velt_msg::kTableNil);
    FIndexName = Definition().Name.Get();
}

const TIndexEntry& TVeltIndex::Definition() const {
    return FTable->Definition().Indexes[FIndexNumber];
}

TIndexEntry& TVeltIndex::Definition() {
    return FTable->Definition().Indexes[FIndexNumber];
}

int32_t TVeltIndex::SlotOf(int32_t recordId) const {
    return std::max(FTable->SlotOf(recordId), 0);
}

void TVeltIndex::Load(const TRecordSlots& slots) {
    FIds.clear();
    const auto recordCount = static_cast<size_t>(FTable->RecordCount());
    slots.Reader->BeginWalk();
    // The run of consecutive ids being gathered for Ids.
    TRunMap::TCursor mapped(*slots.Map);
    int32_t first = 0;
    int32_t length = 0;
    size_t walked = 0;
    int32_t c = Definition().Head.Get();
    while (c != kNoSlot) {
        if (c < 0 || c >= slots.SlotCount) RaiseFileCorrupt();
        // A chain longer than the live records loops; stop one past them.
        if (recordCount < walked) break;
        // A chain runs through live records only, each where the id map
        // has it; anything else cannot be a chain this engine wrote.
        const uint8_t* record = slots.Reader->Record(c);
        const int32_t id = StoredRecordId(record);
        if (slots.Reader->KnowsMappedSlots()) {
            if (!slots.Reader->SlotMapped(c)) RaiseFileCorrupt();
        } else {
            int32_t slot = kNoSlot;
            if (!mapped.TryGetValue(id, slot) || slot != c) RaiseFileCorrupt();
        }
        if (length > 0 && static_cast<int64_t>(first) + length == id) {
            ++length;
        } else {
            FIds.AppendRun(first, length);
            first = id;
            length = 1;
        }
        ++walked;
        c = StoredLink(record, FIndexNumber);
    }
    FIds.AppendRun(first, length);
    if (walked != recordCount) RaiseFileCorrupt();
    FIds.ShrinkToFit();
}

int32_t TVeltIndex::Compare(int32_t recordId, const uint8_t* key, int32_t position) {
    const int32_t recordSize = FTable->RecordSize();
    const int32_t other = FIds[position];
    FWork.assign(static_cast<size_t>(recordSize), 0);
    FTable->ReadRecordById(other, FWork.data());
    const TIndexEntry& entry = Definition();
    const int32_t fieldCount = entry.KeyFieldCount.Get();
    for (int32_t i = 0; i < fieldCount; ++i) {
        // Offsets were checked against RecordSize when the table opened.
        const int32_t offset = entry.Fields[i].Offset.Get();
        const int32_t c = CompareKeyField(entry.Fields[i].FieldType, key + offset,
                                          FWork.data() + offset, recordSize - offset);
        if (c != 0) return c;
    }
    if (recordId != 0) return Order(recordId, other);
    return 0;
}

int32_t TVeltIndex::Search(int32_t recordId, const uint8_t* key, int32_t& result) {
    if (FIds.empty()) {
        result = -2;
        return -1;
    }
    int32_t lo = 0;
    auto hi = static_cast<int32_t>(FIds.size()) - 1;
    int32_t mid = 0;
    result = 0;
    while (lo <= hi) {
        mid = lo + (hi - lo) / 2;
        const int32_t c = Compare(recordId, key, mid);
        if (c > 0) {
            result = 1;
            lo = mid + 1;
        } else if (c < 0) {
            result = -1;
            hi = mid - 1;
        } else {
            result = 0;
            break;
        }
    }
    return mid;
}

int32_t TVeltIndex::FindInsertPosition(int32_t recordId, const uint8_t* key, bool& found) {
    int32_t result;
    const int32_t position = Search(recordId, key, result);
    found = result == 0;
    if (result == 0 || result == 1) return position + 1;
    if (result == -2) return 0;
    return position;
}

int32_t TVeltIndex::ReadLink(int64_t position) {
    uint8_t bytes[kLinkSize];
    FFileIO->ReadExact(position, bytes, kLinkSize);
    return GetLe32(bytes);
}

void TVeltIndex::WriteLink(int64_t position, int32_t link) {
    uint8_t bytes[kLinkSize];
    PutLe32(bytes, link);
    FFileIO->WriteAt(position, bytes, kLinkSize);
}

void TVeltIndex::SetHead(int32_t slot) {
    Definition().Head.Set(slot);
    FTable->WriteDefinition();
}

void TVeltIndex::Insert(int32_t recordId, int32_t filePosition, const uint8_t* key) {
    bool found;
    const int32_t k = FindInsertPosition(recordId, key, found);
    const int32_t link = LinkOffset(FIndexNumber);
    if (k > 0) {
        const int64_t predecessor = FTable->RecordPosition(FIds[k - 1]);
        WriteLink(static_cast<int64_t>(filePosition) + link, ReadLink(predecessor + link));
        WriteLink(predecessor + link, SlotOf(recordId));
    } else {
        Definition().Head.Set(SlotOf(recordId));
        WriteLink(static_cast<int64_t>(FTable->RecordPosition(recordId)) + link,
                  FIds.empty() ? kNoSlot : SlotOf(FIds[0]));
        FTable->WriteDefinition();
    }
    FIds.Insert(k, recordId);
}

TVeltIndex::TInsertPlan TVeltIndex::PlanInsert(int32_t recordId, const uint8_t* key) {
    bool found;
    TInsertPlan plan;
    plan.Position = FindInsertPosition(recordId, key, found);
    if (static_cast<size_t>(plan.Position) < FIds.size()) plan.Next = SlotOf(FIds[plan.Position]);
    return plan;
}

void TVeltIndex::LinkPlanned(int32_t recordId, const TInsertPlan& plan) {
    if (plan.Position > 0) {
        const int64_t predecessor = FTable->RecordPosition(FIds[plan.Position - 1]);
        WriteLink(predecessor + LinkOffset(FIndexNumber), SlotOf(recordId));
    }
    FIds.Insert(plan.Position, recordId);
}

void TVeltIndex::Update(int32_t recordId, int32_t filePosition, const uint8_t* key) {
    const int32_t k = FIds.Find(recordId);
    if (k >= 0) {
        // Where the new key puts the record among the others: the same
        // position means the same neighbours, so the chain is already right.
        // (The record's own data is not compared: it is out of Ids here.)
        FIds.Erase(k);
        bool found;
        int32_t target = k;
        try {
            target = FindInsertPosition(recordId, key, found);
        } catch (...) {
            FIds.Insert(k, recordId);
            throw;
        }
        FIds.Insert(k, recordId);
        if (target == k) return;
    }
    Remove(recordId, filePosition);
    Insert(recordId, filePosition, key);
}

void TVeltIndex::Remove(int32_t recordId, int32_t filePosition) {
    const int32_t k = FIds.Find(recordId);
    if (k < 0) return;
    FIds.Erase(k);
    const int32_t link = LinkOffset(FIndexNumber);
    if (k > 0) {
        const int32_t next = ReadLink(static_cast<int64_t>(filePosition) + link);
        WriteLink(static_cast<int64_t>(FTable->RecordPosition(FIds[k - 1])) + link, next);
    } else {
        SetHead(FIds.empty() ? kNoSlot : SlotOf(FIds[0]));
    }
}

void TVeltIndex::Clear() {
    FIds.clear();
    SetHead(kNoSlot);
}
