#pragma once
// The texts of the history report: one row of 13 cells per sample, shared
// by the history view, the backup viewer and exports.
//
//   #  caption      cell
//   0  时间         DateTimeToText(DateTime)
//   1  A相温度      raw - 40, signed decimal (also for a faulty sensor)
//   2  B相温度      raw - 40
//   3  C相温度      raw - 40
//   4  铁芯温度     "未知" for raw 0, else raw - 40
//   5  传感器状态   relay bit 0: "有故障" / "无故障"
//   6  风机状态     relay bit 1: "开" / "关"
//   7  报警状态     relay bit 2: "已报警" / "未报警"
//   8  跳闸状态     relay bit 3: "已跳闸" / "未跳闸"
//   9  A相报警      "故障" when raw > 240, else "正常"
//  10  B相报警      the same
//  11  C相报警      the same
//  12  铁芯报警     the same (raw 0 is "正常")

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "store/Items.h"
#include "store/RawValues.h"

inline constexpr size_t kReportColumnCount = 13;

using TReportRow = std::array<std::string, kReportColumnCount>;

// The column captions, in order.
const TReportRow& ReportCaptions();
// Raw - 40 as a signed decimal: 65 -> "25", 65535 -> "65495".
std::string TemperatureText(uint16_t raw);
// "故障" above 240, else "正常".
std::string SensorAlarmText(uint16_t raw);
// The text of one cell (column 0..12; another column gives an empty text).
std::string ReportCell(const TTmpReading& reading, size_t column);
// The 13 cells of one sample.
TReportRow ReportCells(const TTmpReading& reading);
