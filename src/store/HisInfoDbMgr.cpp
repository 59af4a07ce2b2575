#include "store/HisInfoDbMgr.h"

#include <array>
#include <optional>

#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"
#include "store/RecordBytes.h"
#include "store/TableWalk.h"

namespace {

constexpr size_t kDateTimeOffset = 0;
constexpr size_t kTmpAddrOffset = 8;
constexpr size_t kAPhaseOffset = 9;
constexpr size_t kBPhaseOffset = 11;
constexpr size_t kCPhaseOffset = 13;
constexpr size_t kIronOffset = 15;
constexpr size_t kRelayFlagsOffset = 17;
static_assert(kRelayFlagsOffset + 1 == kHistoryRecordSize);

}  // namespace

THisInfoDbMgr::THisInfoDbMgr(const std::string& fileName, bool durable) : TDBMgr(durable) {
    Create(fileName);
}

THisInfoDbMgr::THisInfoDbMgr(const std::string& fileName, TSharedRead) : TDBMgr(false) {
    SetSharedReader();
    Create(fileName);
}

int32_t THisInfoDbMgr::AddReading(uint8_t tmpAddr, uint16_t aPhaseTmp, uint16_t bPhaseTmp,
                                  uint16_t cPhaseTmp, uint16_t ironTmp, uint8_t relayFlags,
                                  TDateTime dateTime) {
    std::array<uint8_t, kHistoryRecordSize> record{};
    PutLeDouble(record.data() + kDateTimeOffset, dateTime);
    record[kTmpAddrOffset] = tmpAddr;
    PutLe16(record.data() + kAPhaseOffset, aPhaseTmp);
    PutLe16(record.data() + kBPhaseOffset, bPhaseTmp);
    PutLe16(record.data() + kCPhaseOffset, cPhaseTmp);
    PutLe16(record.data() + kIronOffset, ironTmp);
    record[kRelayFlagsOffset] = relayFlags;
    AppendRecord(record.data(), kHistoryRecordSize);
    return FLastRecordId;
}

int32_t THisInfoDbMgr::QueryReadings(std::vector<TTmpReading>& list, TDateTime beginTime,
                                     TDateTime endTime) {
    TVeltTable* table = Table();
    if (table == nullptr) return 0;
    // The cache may answer the whole walk: the file must still be ours.
    Database()->CheckFileUnchanged();
    if (RecordCount() == 0) return 0;
    // The index is loaded whenever this manager opened the table.
    const std::vector<int32_t>& ids = table->Index(0).Ids();
    TTableWalk walk(table);
    // The sample of `id`; nothing when no record of that id can be read.
    const auto readAt = [&](int32_t id) {
        walk.BeforeId(id);
        std::optional<TTmpReading> item;
        GetRecordById(id, item);
        return item;
    };

    // The first index position whose sample is after EndTime.
    size_t lo = 0;
    size_t hi = ids.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        const std::optional<TTmpReading> probe = readAt(ids[mid]);
        if (probe && probe->DateTime > endTime) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    int32_t read = 0;
    for (size_t position = lo; position-- > 0;) {
        const std::optional<TTmpReading> item = readAt(ids[position]);
        if (!item) continue;
        ++read;
        const TDateTime time = item->DateTime;
        if (beginTime <= time && time <= endTime) list.push_back(*item);
        if (time < beginTime) break;
    }
    walk.Finish();
    return read;
}

bool THisInfoDbMgr::CreateTables(TVeltDatabase& database) {
    return CreateTableWithIndex(database, kHistoryTableName, kHistoryRecordSize, kHistoryIndexName,
                                ftDateTime);
}

void THisInfoDbMgr::OpenTable(TVeltTable& table) {
    table.Open(kHistoryTableName, true);
}

TTmpReading THisInfoDbMgr::MakeRecord(const uint8_t* data, int32_t recordId) const {
    TTmpReading item;
    item.RecordId = recordId;
    item.DateTime = GetLeDouble(data + kDateTimeOffset);
    item.TmpAddr = data[kTmpAddrOffset];
    item.APhaseTmp = GetLe16(data + kAPhaseOffset);
    item.BPhaseTmp = GetLe16(data + kBPhaseOffset);
    item.CPhaseTmp = GetLe16(data + kCPhaseOffset);
    item.IronTmp = GetLe16(data + kIronOffset);
    item.RelayFlags = data[kRelayFlagsOffset];
    return item;
}
