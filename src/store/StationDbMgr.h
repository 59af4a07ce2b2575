#pragma once
// The station table: one record per registered controller, never updated
// once added.
//
//   Stored record, 49 bytes (zero-filled before it is filled)
//   +--------+------+----------------+-----------------------------------------+
//   | offset | size | field          | meaning                                 |
//   +--------+------+----------------+-----------------------------------------+
//   |      0 |    1 | TmpAddr        | Modbus address; key of index "TmpAddr"  |
//   |      1 |   21 | DevName        | length 0..20, then 20 GBK text bytes    |
//   |     22 |   21 | StationPosName | the same form                           |
//   |     43 |    1 | PortNo         | n of "COMn"                             |
//   |     44 |    1 | PortBaud       | baud rate list index 0..12              |
//   |     45 |    1 | PortBitSize    | data bits list index 0..3               |
//   |     46 |    1 | PortParity     | parity list index 0..2                  |
//   |     47 |    1 | PortStopBits   | stop bits list index 0..2               |
//   |     48 |    1 | PortDtrControl | flow control list index 0..2            |
//   +--------+------+----------------+-----------------------------------------+

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/DbMgr.h"
#include "store/Items.h"

inline constexpr const char* kStationTableName = "StationTable";
inline constexpr const char* kStationIndexName = "TmpAddr";
inline constexpr int32_t kStationRecordSize = 49;

class TStationDbMgr final : public TDBMgr<TStationInfo> {
  public:
    // Opens FileName, creating it with its directories, table and index
    // when missing; engine errors and "Fail to create database" pass on.
    explicit TStationDbMgr(const std::string& fileName, bool durable = true);

    // Names are UTF-8 and stored as GBK cut to 20 bytes; the numbers are
    // stored as their low bytes. Returns the new record id.
    int32_t AddStation(std::string_view devName, std::string_view stationPosName, int32_t tmpAddr,
                       int32_t portNo, int32_t portBaud, int32_t portBitSize, int32_t portParity,
                       int32_t portStopBits, int32_t portDtrControl);
    // Rewrites the stored record of RecordId with these fields, the same
    // way AddStation writes a new one (the index key, the address, may be
    // changed too, though the window keeps it).
    void UpdateStation(int32_t recordId, std::string_view devName, std::string_view stationPosName,
                       int32_t tmpAddr, int32_t portNo, int32_t portBaud, int32_t portBitSize,
                       int32_t portParity, int32_t portStopBits, int32_t portDtrControl);
    // One item per station, in the order the stations were added, after
    // what List holds.
    void ListStations(std::vector<TStationInfo>& list) { ListRecords(list, 0); }

    // The item AddStation's record reads back as, for a caller that keeps
    // the station it has just added.
    static TStationInfo MakeStationInfo(int32_t recordId, std::string_view devName,
                                        std::string_view stationPosName, int32_t tmpAddr,
                                        int32_t portNo, int32_t portBaud, int32_t portBitSize,
                                        int32_t portParity, int32_t portStopBits,
                                        int32_t portDtrControl);

    int32_t GetRecordSize() const override { return kStationRecordSize; }

  protected:
    void SetLastRecordId(int32_t recordId) override { FLastRecordId = recordId; }
    bool CreateTables(TVeltDatabase& database) override;
    void OpenTable(TVeltTable& table) override;
    TStationInfo MakeRecord(const uint8_t* data, int32_t recordId) const override;
};
