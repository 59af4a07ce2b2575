#pragma once
// The alarm and event log of the whole station (data/event.dt): one record
// per change of an alarm condition (raised, cleared, acknowledged) and per
// event that is no alarm (a fan started or stopped). Appended in time order
// by the running station alone (the engine's file lock, as for the history
// files), never updated or deleted one by one.
//
//   Stored record, 57 bytes, little-endian (zero-filled before it is filled)
//   +--------+------+----------------+------------------------------------------+
//   | offset | size | field          | meaning                                  |
//   +--------+------+----------------+------------------------------------------+
//   |      0 |    8 | DateTime       | IEEE double, days since 1899-12-30,      |
//   |        |      |                | local wall clock; key of index "DateTime"|
//   |      8 |    1 | TmpAddr        | Modbus address of the station            |
//   |      9 |   21 | StationPosName | length 0..20, then 20 GBK text bytes     |
//   |     30 |    1 | Kind           | TEventKind                               |
//   |     31 |    1 | Action         | TEventAction                             |
//   |     32 |    4 | Value          | signed 32-bit: the raw register, degrees |
//   |        |      |                | or relay byte that caused the change     |
//   |     36 |   21 | Detail         | length 0..20, then 20 GBK text bytes     |
//   |        |      |                | (e.g. the phase: "A相")                  |
//   +--------+------+----------------+------------------------------------------+
// Kind and action bytes outside their enums (a damaged or newer file) are
// kept as read; their texts are then empty.
//
// The station opens it as the history files, recovering a damaged one:
//   OpenRecovering<TEventDbMgr>(EventFileName(dir), kEventKind, Now(), true, recovery)
// (store/TableRecovery.h); readers beside the station use TSharedRead.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/DbMgr.h"
#include "store/Items.h"

inline constexpr const char* kEventTableName = "EventTable";
inline constexpr const char* kEventIndexName = "DateTime";
inline constexpr int32_t kEventRecordSize = 57;

// What happened; the stored byte. Never renumber: files keep these values.
enum TEventKind : uint8_t {
    kEventCommLost = 0,     // "通讯中断": the station went 3, 5 or 6
    kEventSensorFault = 1,  // "传感器故障": relay bit 0 or a register above 240
    kEventOverTemp = 2,     // "超温报警": relay bit 2, the controller's own alarm
    kEventTrip = 3,         // "跳闸": relay bit 3
    kEventTempLimit = 4,    // "温度越限": at or above the operator's limit
    kEventFanStarted = 5,   // "风机启动": relay bit 1 set (an event, no alarm)
    kEventFanStopped = 6,   // "风机停止": relay bit 1 cleared (an event, no alarm)
};
inline constexpr int kEventKindCount = 7;

// The change; the stored byte. Never renumber.
enum TEventAction : uint8_t {
    kActionRaised = 0,
    kActionCleared = 1,
    kActionAcknowledged = 2,
    kActionEvent = 3,  // a kind that is no alarm
};

// Display texts (UTF-8); empty for a byte outside the enum.
const char* EventKindText(uint8_t kind);
const char* EventActionText(uint8_t action);
// True for the kinds that are alarms (have raise, clear, acknowledge).
bool IsAlarmKind(uint8_t kind);

// One stored event ("EventTable").
struct TEventInfo {
    int32_t RecordId = 0;
    TDateTime DateTime = 0;
    uint8_t TmpAddr = 0;
    TShortString<20> StationPosName;
    uint8_t Kind = 0;    // TEventKind
    uint8_t Action = 0;  // TEventAction
    int32_t Value = 0;
    TShortString<20> Detail;
};

class TEventDbMgr final : public TDBMgr<TEventInfo> {
  public:
    // Opens FileName, creating it with its directories, table and index
    // when missing.
    explicit TEventDbMgr(const std::string& fileName, bool durable = true);
    // Opens an existing FileName to read it beside other readers while the
    // station may be writing it (TDBMgrBase::SetSharedReader).
    struct TSharedRead {};
    TEventDbMgr(const std::string& fileName, TSharedRead);

    // Texts are UTF-8, stored as GBK cut to 20 bytes. Returns the new id.
    int32_t AddEvent(TDateTime dateTime, uint8_t tmpAddr, std::string_view posName, uint8_t kind,
                     uint8_t action, int32_t value, std::string_view detail);

    // Appends to List, newest first, every event with BeginTime <= time <=
    // EndTime, walking the "DateTime" index from the newest event not after
    // EndTime (found by a binary search) back to the first one older than
    // BeginTime; events of the same time come newest id first. Returns the
    // number of records the walk read.
    int32_t QueryEvents(std::vector<TEventInfo>& list, TDateTime beginTime, TDateTime endTime);

    int32_t GetRecordSize() const override { return kEventRecordSize; }

  protected:
    void SetLastRecordId(int32_t recordId) override { FLastRecordId = recordId; }
    bool CreateTables(TVeltDatabase& database) override;
    void OpenTable(TVeltTable& table) override;
    TEventInfo MakeRecord(const uint8_t* data, int32_t recordId) const override;
};
