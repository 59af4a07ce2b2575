#include "store/ReportText.h"

#include "store/DateTime.h"

namespace {

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
    return std::to_string(TemperatureCelsius(raw));
}

std::string SensorAlarmText(uint16_t raw) {
    return IsSensorFault(raw) ? "故障" : "正常";
}

std::string ReportCell(const TTmpReading& reading, size_t column) {
    const uint8_t flags = reading.RelayFlags;
    switch (column) {
        case 0:
            return DateTimeToText(reading.DateTime);
        case 1:
            return TemperatureText(reading.APhaseTmp);
        case 2:
            return TemperatureText(reading.BPhaseTmp);
        case 3:
            return TemperatureText(reading.CPhaseTmp);
        case 4:
            return reading.IronTmp == kIronCoreNoReading ? "未知"
                                                         : TemperatureText(reading.IronTmp);
        case 5:
            return Flag(flags, kRelaySensorFault, "有故障", "无故障");
        case 6:
            return Flag(flags, kRelayFan, "开", "关");
        case 7:
            return Flag(flags, kRelayAlarm, "已报警", "未报警");
        case 8:
            return Flag(flags, kRelayTrip, "已跳闸", "未跳闸");
        case 9:
            return SensorAlarmText(reading.APhaseTmp);
        case 10:
            return SensorAlarmText(reading.BPhaseTmp);
        case 11:
            return SensorAlarmText(reading.CPhaseTmp);
        case 12:
            // 0 is "no iron-core sensor", not a fault: only > 240 is faulty.
            return SensorAlarmText(reading.IronTmp);
        default:
            return std::string();
    }
}

TReportRow ReportCells(const TTmpReading& reading) {
    TReportRow row;
    for (size_t column = 0; column < kReportColumnCount; ++column) {
        row[column] = ReportCell(reading, column);
    }
    return row;
}
