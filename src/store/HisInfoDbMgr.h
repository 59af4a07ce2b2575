#pragma once
// The history table of one station: one sample per valid temperature reply,
// appended in time order and never updated or deleted one by one.
//
//   Stored record, 18 bytes, little-endian (zero-filled before it is filled)
//   +--------+------+------------+---------------------------------------------+
//   | offset | size | field      | meaning                                     |
//   +--------+------+------------+---------------------------------------------+
//   |      0 |    8 | DateTime   | IEEE double, days since 1899-12-30 local;   |
//   |        |      |            | key of index "DateTime"                     |
//   |      8 |    1 | TmpAddr    | Modbus address of the station               |
//   |      9 |    2 | APhaseTmp  | raw register, degrees = raw - 40            |
//   |     11 |    2 | BPhaseTmp  | raw register                                |
//   |     13 |    2 | CPhaseTmp  | raw register                                |
//   |     15 |    2 | IronTmp    | raw register, 0 = no iron core sensor       |
//   |     17 |    1 | RelayFlags | bit 0 fault, 1 fan, 2 alarm, 3 trip         |
//   +--------+------+------------+---------------------------------------------+

#include <cstdint>
#include <string>
#include <vector>

#include "store/DbMgr.h"
#include "store/Items.h"

inline constexpr const char* kHistoryTableName = "HisDataTable";
inline constexpr const char* kHistoryIndexName = "DateTime";
inline constexpr int32_t kHistoryRecordSize = 18;
// The record cache of a history file the station only appends to. Every
// append puts its record in the cache; the engine's default bound (5,000
// records) would have each of 255 recording files hold 5,000 records it
// never reads again, some 40 MB between them, reached only hours after
// start. The reads (queries, exports) go through readers of their own.
inline constexpr int32_t kHistoryAppendCacheRecords = 64;

class THisInfoDbMgr final : public TDBMgr<TTmpReading> {
  public:
    // Opens FileName, creating it with its directories, table and index
    // when missing (also where the caller only meant to read it).
    explicit THisInfoDbMgr(const std::string& fileName, bool durable = true);
    // Opens an existing FileName to read it beside other readers while the
    // station may be writing it (TDBMgrBase::SetSharedReader).
    struct TSharedRead {};
    THisInfoDbMgr(const std::string& fileName, TSharedRead);

    // Returns the new record id.
    int32_t AddReading(uint8_t tmpAddr, uint16_t aPhaseTmp, uint16_t bPhaseTmp, uint16_t cPhaseTmp,
                       uint16_t ironTmp, uint8_t relayFlags, TDateTime dateTime);

    // Appends to List, newest first, every sample with BeginTime <= time <=
    // EndTime. The walk follows the "DateTime" index (ties newest id first):
    // it starts at the newest sample not after EndTime, found by a binary
    // search, and ends at the first one older than BeginTime. Samples are
    // appended in time order, so the index order is the id order and a recent
    // range costs only the samples since its start; a clock that was once
    // set back leaves samples out of id order, and they are still found.
    // Returns the number of samples the walk read (not the search).
    int32_t QueryReadings(std::vector<TTmpReading>& list, TDateTime beginTime, TDateTime endTime);
    // The same walk, telling Progress every kWalkProgressStride samples read
    // how many it read of about how many the range holds. Progress returning
    // false stops it, List keeping what it found until then; returns false
    // when it was stopped so.
    bool QueryReadings(std::vector<TTmpReading>& list, TDateTime beginTime, TDateTime endTime,
                       const TWalkProgress& progress);

    int32_t GetRecordSize() const override { return kHistoryRecordSize; }

  protected:
    void SetLastRecordId(int32_t recordId) override { FLastRecordId = recordId; }
    bool CreateTables(TVeltDatabase& database) override;
    void OpenTable(TVeltTable& table) override;
    TTmpReading MakeRecord(const uint8_t* data, int32_t recordId) const override;
};
