#include "store/ReportText.h"

#include "store/DateTime.h"

namespace {

constexpr uint8_t kRelaySensorFault = 0x01;
constexpr uint8_t kRelayFan = 0x02;
constexpr uint8_t kRelayAlarm = 0x04;
constexpr uint8_t kRelayTrip = 0x08;
constexpr uint16_t kNoIronSensor = 0;

const char* Flag(uint8_t flags, uint8_t bit, const char* set, const char* clear) {
    return (flags & bit) != 0 ? set : clear;
}

}  // namespace

const TReportRow& ReportCaptions() {
    static const TReportRow captions = {
        "时间",     "A相温度",  "B相温度", "C相温度", "铁芯温度", "传感器状态", "风机状态",
        "报警状态", "跳闸状态", "A相报警", "B相报警", "C相报警",  "铁芯报警"};
    return captions;
}

std::string TemperatureText(uint16_t raw) {
    return std::to_string(static_cast<int32_t>(raw) - kTemperatureOffset);
}

std::string SensorAlarmText(uint16_t raw) {
    return raw > kFaultyRawAbove ? "故障" : "正常";
}

TReportRow ReportCells(const TTmpReading& reading) {
    const uint8_t flags = reading.RelayFlags;
    return {
        DateTimeToText(reading.DateTime),
        TemperatureText(reading.APhaseTmp),
        TemperatureText(reading.BPhaseTmp),
        TemperatureText(reading.CPhaseTmp),
        reading.IronTmp == kNoIronSensor ? std::string("未知") : TemperatureText(reading.IronTmp),
        Flag(flags, kRelaySensorFault, "有故障", "无故障"),
        Flag(flags, kRelayFan, "开", "关"),
        Flag(flags, kRelayAlarm, "已报警", "未报警"),
        Flag(flags, kRelayTrip, "已跳闸", "未跳闸"),
        SensorAlarmText(reading.APhaseTmp),
        SensorAlarmText(reading.BPhaseTmp),
        SensorAlarmText(reading.CPhaseTmp),
        SensorAlarmText(reading.IronTmp),
    };
}
