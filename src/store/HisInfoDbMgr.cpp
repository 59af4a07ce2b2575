#include "store/HisInfoDbMgr.h"

#include <array>

#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"
#include "store/RecordBytes.h"

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
    return ListByDateTime(list, beginTime, endTime);
}

bool THisInfoDbMgr::QueryReadings(std::vector<TTmpReading>& list, TDateTime beginTime,
                                  TDateTime endTime, const TWalkProgress& progress) {
    bool stopped = false;
    ListByDateTime(list, beginTime, endTime, progress, &stopped);
    return !stopped;
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
