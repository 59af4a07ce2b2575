#include "store/StationChecks.h"

#include <gtest/gtest.h>

namespace {

TStationEntry ValidEntry() {
    TStationEntry entry;
    entry.DevName = "温控器";
    entry.StationPosName = "1号主变";
    entry.TmpAddr = "7";
    entry.PortName = "COM3";
    return entry;
}

std::optional<std::string> Check(const TStationEntry& entry,
                                 const std::vector<int32_t>& used = {}) {
    TStationFields fields;
    return CheckStationEntry(entry, used, fields);
}

}  // namespace

TEST(StationChecks, ValidEntryPassesAndFillsEveryField) {
    TStationFields fields;
    EXPECT_EQ(CheckStationEntry(ValidEntry(), {1, 2}, fields), std::nullopt);
    EXPECT_EQ(fields.DevName, "温控器");
    EXPECT_EQ(fields.StationPosName, "1号主变");
    EXPECT_EQ(fields.TmpAddr, 7);
    EXPECT_EQ(fields.PortNo, 3);
    EXPECT_EQ(fields.PortBaud, 5);
    EXPECT_EQ(fields.PortBitSize, 3);
    EXPECT_EQ(fields.PortParity, 0);
    EXPECT_EQ(fields.PortStopBits, 0);
    EXPECT_EQ(fields.PortDtrControl, 0);
}

TEST(StationChecks, NamesAreMeasuredInGbkBytes) {
    TStationEntry entry = ValidEntry();
    entry.DevName = std::string(20, 'a');
    EXPECT_EQ(Check(entry), std::nullopt);
    entry.DevName = std::string(21, 'a');
    EXPECT_EQ(Check(entry), kMsgDevNameLength);
    entry.DevName = "一二三四五六七八九十";
    EXPECT_EQ(Check(entry), std::nullopt);
    entry.DevName += "一";
    EXPECT_EQ(Check(entry), kMsgDevNameLength);
    entry.DevName = "";
    EXPECT_EQ(Check(entry), kMsgDevNameLength);

    entry = ValidEntry();
    entry.StationPosName = "";
    EXPECT_EQ(Check(entry), kMsgPosNameLength);
    entry.StationPosName = "一二三四五六七八九十a";
    EXPECT_EQ(Check(entry), kMsgPosNameLength);
}

TEST(StationChecks, AddressMustBeADecimalFrom1To255NotInUse) {
    TStationEntry entry = ValidEntry();
    for (const char* bad : {"0", "256", "-1", "abc", "", " 7", "7 ", "0x7", "+-7", "99999999999"}) {
        entry.TmpAddr = bad;
        EXPECT_EQ(Check(entry), kMsgTmpAddr) << "'" << bad << "'";
    }
    for (const char* good : {"1", "255", "+8", "007"}) {
        entry.TmpAddr = good;
        EXPECT_EQ(Check(entry), std::nullopt) << "'" << good << "'";
    }
    entry.TmpAddr = "255";
    EXPECT_EQ(Check(entry, {3, 255}), kMsgTmpAddr);
}

TEST(StationChecks, PortIsTheNumberAfterCom) {
    EXPECT_EQ(PortNumberOf("COM1"), 1);
    EXPECT_EQ(PortNumberOf("COM255"), 255);
    EXPECT_EQ(PortNumberOf("xCOM12"), 12);
    EXPECT_EQ(PortNumberOf("COM"), -1);
    EXPECT_EQ(PortNumberOf("COM3a"), -1);
    EXPECT_EQ(PortNumberOf("ttyS0"), -1);

    TStationEntry entry = ValidEntry();
    for (const char* bad : {"COM0", "COM256", "ttyS0", "", "COM-1"}) {
        entry.PortName = bad;
        EXPECT_EQ(Check(entry), kMsgPortName) << bad;
    }
    entry.PortName = "COM255";
    EXPECT_EQ(Check(entry), std::nullopt);
}

TEST(StationChecks, ListIndexesMustLieInTheirLists) {
    struct TCase {
        int32_t TStationEntry::*Field;
        int32_t Count;
        const char* Message;
    };
    const TCase cases[] = {
        {&TStationEntry::PortBaud, 13, kMsgPortBaud},
        {&TStationEntry::PortBitSize, 4, kMsgPortBitSize},
        {&TStationEntry::PortParity, 3, kMsgPortParity},
        {&TStationEntry::PortStopBits, 3, kMsgPortStopBits},
        {&TStationEntry::PortDtrControl, 3, kMsgPortDtrControl},
    };
    for (const TCase& c : cases) {
        TStationEntry entry = ValidEntry();
        entry.*c.Field = c.Count - 1;
        EXPECT_EQ(Check(entry), std::nullopt) << c.Message;
        entry.*c.Field = c.Count;
        EXPECT_EQ(Check(entry), c.Message);
        entry.*c.Field = -1;
        EXPECT_EQ(Check(entry), c.Message);
    }
}

TEST(StationChecks, FirstFailingCheckInOrderWins) {
    TStationEntry entry;
    entry.TmpAddr = "0";
    entry.PortName = "x";
    entry.PortBaud = 99;
    EXPECT_EQ(Check(entry), kMsgDevNameLength);
    entry.DevName = "d";
    EXPECT_EQ(Check(entry), kMsgPosNameLength);
    entry.StationPosName = "p";
    EXPECT_EQ(Check(entry), kMsgTmpAddr);
    entry.TmpAddr = "1";
    EXPECT_EQ(Check(entry), kMsgPortName);
    entry.PortName = "COM1";
    EXPECT_EQ(Check(entry), kMsgPortBaud);
}
