#pragma once
// The system parameters: one record per key, each with an integer and a
// text of which the key uses one, and the settings block loaded from them.
//
//   Stored record, 130 bytes, little-endian (zero-filled; always written whole)
//   +--------+------+---------+-------------------------------------------------+
//   | offset | size | field   | meaning                                         |
//   +--------+------+---------+-------------------------------------------------+
//   |      0 |    1 | ParaKey | key 0..9 (others ignored); index "ParaKey"      |
//   |      1 |    4 | value   | signed 32-bit                                   |
//   |      5 |  125 | text    | length 0..124, then 124 GBK text bytes          |
//   +--------+------+---------+-------------------------------------------------+

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/DbMgr.h"
#include "store/Items.h"

inline constexpr const char* kSysParaTableName = "SysparaTable";
inline constexpr const char* kSysParaIndexName = "ParaKey";
inline constexpr int32_t kSysParaRecordSize = 130;

// Defaults: what loading starts from, and what an empty table is given.
inline constexpr int32_t kDefaultScanInterval = 60000;  // ms
inline constexpr int32_t kDefaultMaxOLTimer = 300000;   // ms
// The reply time-out, for files without key 7 and for a stored value outside
// its range, which only a damaged or hand-made file can hold.
inline constexpr int32_t kDefaultReplyTimeout = 1000;  // ms
inline constexpr int32_t kMinReplyTimeout = 20;        // ms
inline constexpr int32_t kMaxReplyTimeout = 5000;      // ms
inline constexpr int32_t kDefaultIsBackUp = 0;
inline constexpr int32_t kDefaultBackUpInterval = 30;  // days
// Appended to the program directory for the default backup directory.
inline constexpr const char* kDefaultBackUpDir = "backup";
// IsBackUp is on only for exactly this stored value.
inline constexpr int32_t kBackUpOn = 1;
// Automatic reconnection of absent stations, for files without key 6.
inline constexpr bool kDefaultAutoReconnect = true;
// The alarm settings, for files without keys 8 and 9. A stored limit outside
// its range (only a damaged or hand-made file holds one) loads as 0, off:
// a wild limit would raise or hide "温度越限" on every station.
inline constexpr int32_t kDefaultTempLimit = 0;  // degrees; 0 = off
inline constexpr int32_t kMinTempLimit = 0;
// The highest temperature a valid register shows (raw 240 - 40).
inline constexpr int32_t kMaxTempLimit = 200;
inline constexpr bool kDefaultAlarmSound = true;

class TSysParaDbMgr final : public TDBMgr<TSysParaItem> {
  public:
    // Opens FileName, creating it with its directories, table and index
    // when missing.
    explicit TSysParaDbMgr(const std::string& fileName, bool durable = true);

    // Text is UTF-8, stored as GBK cut to 124 bytes. Returns the new id.
    int32_t AddPara(uint8_t paraKey, int32_t value, std::string_view text);
    // Rewrites the whole record of RecordId, key included.
    void UpdatePara(int32_t recordId, uint8_t paraKey, int32_t value, std::string_view text);
    // One item per record in ascending record id order, after what List holds.
    void ListParas(std::vector<TSysParaItem>& list) { ListRecords(list, 0); }

    int32_t GetRecordSize() const override { return kSysParaRecordSize; }

  protected:
    void SetLastRecordId(int32_t recordId) override { FLastRecordId = recordId; }
    bool CreateTables(TVeltDatabase& database) override;
    void OpenTable(TVeltTable& table) override;
    TSysParaItem MakeRecord(const uint8_t* data, int32_t recordId) const override;
};

// Loads the settings at start-up: scan interval, offline time, automatic
// reconnection, reply time-out, temperature limit and alarm sound start at
// their defaults, the other fields
// keep theirs; the parameters are listed
// into List (not cleared first). A completely empty table first gets the six
// defaults (keys 0 to 5, ids 1 to 6; key 5 is ExeDir + "backup"). Every item
// of List then sets its field in list order, so a later duplicate key wins;
// a reply time-out or temperature limit outside its range sets the default
// instead.
// Returns the number of records.
int32_t LoadSysParas(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, TSysParaInfo& info,
                     const std::string& exeDir);

// Writes Key to every record of List that holds it (the items in List
// follow), as (Key, Value, Text); a key that no record holds is not written.
// Returns the number of records written.
int32_t WritePara(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, uint8_t key, int32_t value,
                  std::string_view text);
// The same, but a key that no record holds (one added after the file was
// made) gets a new record, listed in List too. Returns the records written.
int32_t WriteOrAddPara(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, uint8_t key,
                       int32_t value, std::string_view text);
// For a key added after the first files, whose missing record means
// DefaultValue: written to the records that hold it, and a record is added
// only for another value. Returns the records written.
int32_t WriteLaterPara(TSysParaDbMgr& mgr, std::vector<TSysParaItem>& list, uint8_t key,
                       int32_t value, int32_t defaultValue);
