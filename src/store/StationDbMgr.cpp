#include "store/StationDbMgr.h"

#include <array>

#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {

constexpr size_t kTmpAddrOffset = 0;
constexpr size_t kDevNameOffset = 1;
constexpr size_t kStationPosNameOffset = 22;
constexpr size_t kPortNoOffset = 43;
constexpr size_t kPortBaudOffset = 44;
constexpr size_t kPortBitSizeOffset = 45;
constexpr size_t kPortParityOffset = 46;
constexpr size_t kPortStopBitsOffset = 47;
constexpr size_t kPortDtrControlOffset = 48;

static_assert(kDevNameOffset + TShortString<20>::kStoredSize == kStationPosNameOffset);
static_assert(kStationPosNameOffset + TShortString<20>::kStoredSize == kPortNoOffset);
static_assert(kPortDtrControlOffset + 1 == kStationRecordSize);

using TStationRecord = std::array<uint8_t, kStationRecordSize>;

uint8_t LowByte(int32_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

TStationRecord BuildRecord(std::string_view devName, std::string_view stationPosName,
                           int32_t tmpAddr, int32_t portNo, int32_t portBaud, int32_t portBitSize,
                           int32_t portParity, int32_t portStopBits, int32_t portDtrControl) {
    TStationRecord record{};
    record[kTmpAddrOffset] = LowByte(tmpAddr);
    TShortString<20> name;
    name.AssignUtf8(devName);
    name.Store(record.data() + kDevNameOffset);
    name.AssignUtf8(stationPosName);
    name.Store(record.data() + kStationPosNameOffset);
    record[kPortNoOffset] = LowByte(portNo);
    record[kPortBaudOffset] = LowByte(portBaud);
    record[kPortBitSizeOffset] = LowByte(portBitSize);
    record[kPortParityOffset] = LowByte(portParity);
    record[kPortStopBitsOffset] = LowByte(portStopBits);
    record[kPortDtrControlOffset] = LowByte(portDtrControl);
    return record;
}

TStationInfo DecodeRecord(const uint8_t* data, int32_t recordId) {
    TStationInfo item;
    item.RecordId = recordId;
    item.DevName.Load(data + kDevNameOffset);
    item.StationPosName.Load(data + kStationPosNameOffset);
    item.TmpAddr = data[kTmpAddrOffset];
    item.PortNo = data[kPortNoOffset];
    item.PortBaud = data[kPortBaudOffset];
    item.PortBitSize = data[kPortBitSizeOffset];
    item.PortParity = data[kPortParityOffset];
    item.PortStopBits = data[kPortStopBitsOffset];
    item.PortDtrControl = data[kPortDtrControlOffset];
    return item;
}

}  // namespace

TStationDbMgr::TStationDbMgr(const std::string& fileName, bool durable) : TDBMgr(durable) {
    Create(fileName);
}

int32_t TStationDbMgr::AddStation(std::string_view devName, std::string_view stationPosName,
                                  int32_t tmpAddr, int32_t portNo, int32_t portBaud,
                                  int32_t portBitSize, int32_t portParity, int32_t portStopBits,
                                  int32_t portDtrControl) {
    const TStationRecord record =
        BuildRecord(devName, stationPosName, tmpAddr, portNo, portBaud, portBitSize, portParity,
                    portStopBits, portDtrControl);
    AppendRecord(record.data(), kStationRecordSize);
    return FLastRecordId;
}

void TStationDbMgr::UpdateStation(int32_t recordId, std::string_view devName,
                                  std::string_view stationPosName, int32_t tmpAddr, int32_t portNo,
                                  int32_t portBaud, int32_t portBitSize, int32_t portParity,
                                  int32_t portStopBits, int32_t portDtrControl) {
    const TStationRecord record =
        BuildRecord(devName, stationPosName, tmpAddr, portNo, portBaud, portBitSize, portParity,
                    portStopBits, portDtrControl);
    UpdateRecord(recordId, kStationRecordSize, record.data());
}

TStationInfo TStationDbMgr::MakeStationInfo(int32_t recordId, std::string_view devName,
                                            std::string_view stationPosName, int32_t tmpAddr,
                                            int32_t portNo, int32_t portBaud, int32_t portBitSize,
                                            int32_t portParity, int32_t portStopBits,
                                            int32_t portDtrControl) {
    const TStationRecord record =
        BuildRecord(devName, stationPosName, tmpAddr, portNo, portBaud, portBitSize, portParity,
                    portStopBits, portDtrControl);
    return DecodeRecord(record.data(), recordId);
}

bool TStationDbMgr::CreateTables(TVeltDatabase& database) {
    return CreateTableWithIndex(database, kStationTableName, kStationRecordSize, kStationIndexName,
                                ftUInt8);
}

void TStationDbMgr::OpenTable(TVeltTable& table) {
    table.Open(kStationTableName, true);
}

TStationInfo TStationDbMgr::MakeRecord(const uint8_t* data, int32_t recordId) const {
    return DecodeRecord(data, recordId);
}
