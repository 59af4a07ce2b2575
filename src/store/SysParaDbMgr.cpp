#include "store/SysParaDbMgr.h"

#include <array>

#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"
#include "store/RecordBytes.h"
#include "store/StorePaths.h"

namespace {

constexpr size_t kParaKeyOffset = 0;
constexpr size_t kValueOffset = 1;
constexpr size_t kTextOffset = 5;
static_assert(kTextOffset + TShortString<124>::kStoredSize == kSysParaRecordSize);

using TParaRecord = std::array<uint8_t, kSysParaRecordSize>;

TParaRecord BuildRecord(uint8_t paraKey, int32_t value, std::string_view text) {
    TParaRecord record{};
    record[kParaKeyOffset] = paraKey;
    PutLeInt32(record.data() + kValueOffset, value);
    TShortString<124> stored;
    stored.AssignUtf8(text);
    stored.Store(record.data() + kTextOffset);
    return record;
}

}  // namespace

TSysParaDbMgr::TSysParaDbMgr(const std::string& fileName, bool durable) : TDBMgr(durable) {
    Create(fileName);
}

int32_t TSysParaDbMgr::AddPara(uint8_t paraKey, int32_t value, std::string_view text) {
    const TParaRecord record = BuildRecord(paraKey, value, text);
    AppendRecord(record.data(), kSysParaRecordSize);
    return FLastRecordId;
}

void TSysParaDbMgr::UpdatePara(int32_t recordId, uint8_t paraKey, int32_t value,
                               std::string_view text) {
    const TParaRecord record = BuildRecord(paraKey, value, text);
    UpdateRecord(recordId, kSysParaRecordSize, record.data());
}

bool TSysParaDbMgr::CreateTables(TVeltDatabase& database) {
    return CreateTableWithIndex(database, kSysParaTableName, kSysParaRecordSize, kSysParaIndexName,
                                ftUInt8);
}

void TSysParaDbMgr::OpenTable(TVeltTable& table) {
    table.Open(kSysParaTableName, true);
}

TSysParaItem TSysParaDbMgr::MakeRecord(const uint8_t* data, int32_t recordId) const {
    TSysParaItem item;
    item.RecordId = recordId;
    item.ParaKey = data[kParaKeyOffset];
    item.Value = GetLeInt32(data + kValueOffset);
    item.Text.Load(data + kTextOffset);
    return item;
}

int32_t LoadSysParas(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, TSysParaInfo& info,
                     const std::string& exeDir) {
    info.ScanInterval = kDefaultScanInterval;
    info.MaxOLTimer = kDefaultMaxOLTimer;
    info.AutoReconnect = kDefaultAutoReconnect;
    info.ReplyTimeout = kDefaultReplyTimeout;
    info.TempLimit = kDefaultTempLimit;
    info.AlarmSound = kDefaultAlarmSound;
    mgr.ListParas(list);
    if (list.empty()) {
        mgr.AddPara(kParaScanInterval, kDefaultScanInterval, "");
        mgr.AddPara(kParaMaxOLTimer, kDefaultMaxOLTimer, "");
        mgr.AddPara(kParaIsBackUp, kDefaultIsBackUp, "");
        mgr.AddPara(kParaLastBackUpDate, 0, "");
        mgr.AddPara(kParaBackUpInterval, kDefaultBackUpInterval, "");
        mgr.AddPara(kParaBackUpPath, 0, WithTrailingSlash(exeDir) + kDefaultBackUpDir);
        mgr.ListParas(list);
    }
    for (const TSysParaItem& item : list) {
        switch (item.ParaKey) {
            case kParaScanInterval:
                info.ScanInterval = item.Value;
                break;
            case kParaMaxOLTimer:
                info.MaxOLTimer = item.Value;
                break;
            case kParaIsBackUp:
                info.IsBackUp = item.Value == kBackUpOn;
                break;
            case kParaLastBackUpDate:
                info.LastBackUpDate.AssignGbk(item.Text.Gbk());
                break;
            case kParaBackUpInterval:
                info.BackUpInterval = item.Value;
                break;
            case kParaBackUpPath:
                info.BackUpPath.AssignGbk(item.Text.Gbk());
                break;
            case kParaAutoReconnect:
                info.AutoReconnect = item.Value != 0;
                break;
            case kParaReplyTimeout:
                // The scan cycle waits this long per request: a wild value
                // would stall the line or flood it.
                info.ReplyTimeout = item.Value >= kMinReplyTimeout && item.Value <= kMaxReplyTimeout
                                        ? item.Value
                                        : kDefaultReplyTimeout;
                break;
            case kParaTempLimit:
                info.TempLimit = item.Value >= kMinTempLimit && item.Value <= kMaxTempLimit
                                     ? item.Value
                                     : kDefaultTempLimit;
                break;
            case kParaAlarmSound:
                info.AlarmSound = item.Value != 0;
                break;
            default:
                break;  // other keys are not ours
        }
    }
    return mgr.RecordCount();
}

int32_t WritePara(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, uint8_t key, int32_t value,
                  std::string_view text) {
    int32_t written = 0;
    for (TSysParaItem& item : list) {
        if (item.ParaKey != key) continue;
        mgr.UpdatePara(item.RecordId, key, value, text);
        item.Value = value;
        item.Text.AssignUtf8(text);
        ++written;
    }
    return written;
}

int32_t WriteOrAddPara(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, uint8_t key,
                       int32_t value, std::string_view text) {
    const int32_t written = WritePara(mgr, list, key, value, text);
    if (written > 0) return written;
    TSysParaItem item;
    item.RecordId = mgr.AddPara(key, value, text);
    item.ParaKey = key;
    item.Value = value;
    item.Text.AssignUtf8(text);
    list.push_back(item);
    return 1;
}

int32_t WriteLaterPara(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, uint8_t key,
                       int32_t value, int32_t defaultValue) {
    return value == defaultValue ? WritePara(mgr, list, key, value, "")
                                 : WriteOrAddPara(mgr, list, key, value, "");
}
