#include "store/EventDbMgr.h"

#include <array>

#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"
#include "store/RecordBytes.h"

namespace {

constexpr size_t kDateTimeOffset = 0;
constexpr size_t kTmpAddrOffset = 8;
constexpr size_t kPosNameOffset = 9;
constexpr size_t kKindOffset = kPosNameOffset + TShortString<20>::kStoredSize;
constexpr size_t kActionOffset = kKindOffset + 1;
constexpr size_t kValueOffset = kActionOffset + 1;
constexpr size_t kDetailOffset = kValueOffset + 4;
static_assert(kKindOffset == 30 && kDetailOffset == 36);
static_assert(kDetailOffset + TShortString<20>::kStoredSize == kEventRecordSize);

constexpr std::array<const char*, kEventKindCount> kKindTexts = {
    "通讯中断", "传感器故障", "超温报警", "跳闸", "温度越限", "风机启动", "风机停止",
};
constexpr std::array<const char*, 4> kActionTexts = {"产生", "恢复", "确认", "事件"};

}  // namespace

const char* EventKindText(uint8_t kind) {
    return kind < kKindTexts.size() ? kKindTexts[kind] : "";
}

const char* EventActionText(uint8_t action) {
    return action < kActionTexts.size() ? kActionTexts[action] : "";
}

bool IsAlarmKind(uint8_t kind) {
    return kind <= kEventTempLimit;
}

TEventDbMgr::TEventDbMgr(const std::string& fileName, bool durable) : TDBMgr(durable) {
    Create(fileName);
}

TEventDbMgr::TEventDbMgr(const std::string& fileName, TSharedRead) : TDBMgr(false) {
    SetSharedReader();
    Create(fileName);
}

int32_t TEventDbMgr::AddEvent(TDateTime dateTime, uint8_t tmpAddr, std::string_view posName,
                              uint8_t kind, uint8_t action, int32_t value,
                              std::string_view detail) {
    std::array<uint8_t, kEventRecordSize> record{};
    PutLeDouble(record.data() + kDateTimeOffset, dateTime);
    record[kTmpAddrOffset] = tmpAddr;
    TShortString<20> text;
    text.AssignUtf8(posName);
    text.Store(record.data() + kPosNameOffset);
    record[kKindOffset] = kind;
    record[kActionOffset] = action;
    PutLeInt32(record.data() + kValueOffset, value);
    text.AssignUtf8(detail);
    text.Store(record.data() + kDetailOffset);
    AppendRecord(record.data(), kEventRecordSize);
    return FLastRecordId;
}

int32_t TEventDbMgr::QueryEvents(std::vector<TEventInfo>& list, TDateTime beginTime,
                                 TDateTime endTime) {
    return ListByDateTime(list, beginTime, endTime);
}

bool TEventDbMgr::CreateTables(TVeltDatabase& database) {
    return CreateTableWithIndex(database, kEventTableName, kEventRecordSize, kEventIndexName,
                                ftDateTime);
}

void TEventDbMgr::OpenTable(TVeltTable& table) {
    table.Open(kEventTableName, true);
}

TEventInfo TEventDbMgr::MakeRecord(const uint8_t* data, int32_t recordId) const {
    TEventInfo item;
    item.RecordId = recordId;
    item.DateTime = GetLeDouble(data + kDateTimeOffset);
    item.TmpAddr = data[kTmpAddrOffset];
    item.StationPosName.Load(data + kPosNameOffset);
    item.Kind = data[kKindOffset];
    item.Action = data[kActionOffset];
    item.Value = GetLeInt32(data + kValueOffset);
    item.Detail.Load(data + kDetailOffset);
    return item;
}
