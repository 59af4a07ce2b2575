#include "store/ReportText.h"

#include <gtest/gtest.h>

#include "store/DateTime.h"

namespace {

TTmpReading Sample(uint16_t a, uint16_t b, uint16_t c, uint16_t iron, uint8_t relay) {
    TTmpReading r;
    r.RecordId = 1;
    r.DateTime = EncodeDateTime(2006, 2, 24, 19, 51, 47);
    r.TmpAddr = 1;
    r.APhaseTmp = a;
    r.BPhaseTmp = b;
    r.CPhaseTmp = c;
    r.IronTmp = iron;
    r.RelayFlags = relay;
    return r;
}

}  // namespace

TEST(ReportText, CaptionsInColumnOrder) {
    const TReportRow expected = {"时间",       "A相温度",  "B相温度",  "C相温度",  "铁芯温度",
                                 "传感器状态", "风机状态", "报警状态", "跳闸状态", "A相报警",
                                 "B相报警",    "C相报警",  "铁芯报警"};
    EXPECT_EQ(ReportCaptions(), expected);
}

TEST(ReportText, NormalSampleWithoutIronSensor) {
    const TReportRow expected = {"2006-2-24 19:51:47",
                                 "25",
                                 "26",
                                 "27",
                                 "未知",
                                 "无故障",
                                 "开",
                                 "未报警",
                                 "未跳闸",
                                 "正常",
                                 "正常",
                                 "正常",
                                 "正常"};
    EXPECT_EQ(ReportCells(Sample(65, 66, 67, 0, 0x02)), expected);
}

TEST(ReportText, FaultyRawValuesShowAsNumbersAndAlarms) {
    const TReportRow cells = ReportCells(Sample(300, 240, 65535, 241, 0x0D));
    EXPECT_EQ(cells[1], "260");
    EXPECT_EQ(cells[2], "200");
    EXPECT_EQ(cells[3], "65495");
    EXPECT_EQ(cells[4], "201");
    EXPECT_EQ(cells[5], "有故障");
    EXPECT_EQ(cells[6], "关");
    EXPECT_EQ(cells[7], "已报警");
    EXPECT_EQ(cells[8], "已跳闸");
    EXPECT_EQ(cells[9], "故障");
    EXPECT_EQ(cells[10], "正常");  // 240 itself is still a reading
    EXPECT_EQ(cells[11], "故障");
    EXPECT_EQ(cells[12], "故障");
}

TEST(ReportText, BelowFortyIsNegativeAndMidnightShowsTheDateAlone) {
    TTmpReading r = Sample(0, 39, 40, 1, 0xF0);  // high relay bits mean nothing here
    r.DateTime = EncodeDateTime(2024, 3, 1);
    const TReportRow cells = ReportCells(r);
    EXPECT_EQ(cells[0], "2024-3-1");
    EXPECT_EQ(cells[1], "-40");
    EXPECT_EQ(cells[2], "-1");
    EXPECT_EQ(cells[3], "0");
    EXPECT_EQ(cells[4], "-39");
    EXPECT_EQ(cells[5], "无故障");
    EXPECT_EQ(cells[8], "未跳闸");
}
