#include "store/StationDbMgr.h"

#include <gtest/gtest.h>

#include "StoreTestSupport.h"
#include "store/GbkText.h"

using storetest::ReadRawRecords;
using storetest::TTempDir;

namespace {

const std::string kTenChinese = "一二三四五六七八九十";  // 20 GBK bytes

}  // namespace

TEST(StationDbMgr, RecordLayoutAsStored) {
    TTempDir tmp;
    const std::string file = tmp.File("station.dt");
    {
        TStationDbMgr mgr(file, false);
        // Numbers are stored as their low bytes.
        EXPECT_EQ(mgr.AddStation("温控A", "1号主变", 0x107, 0x203, 12, 3, 2, 1, 2), 1);
    }
    const auto records = ReadRawRecords(file, "StationTable");
    ASSERT_EQ(records.size(), 1u);
    const std::vector<uint8_t>& d = records[0].Data;
    ASSERT_EQ(d.size(), 49u);
    EXPECT_EQ(d[0], 0x07);                           // TmpAddr
    const std::string devName = Utf8ToGbk("温控A");  // 5 bytes
    EXPECT_EQ(d[1], devName.size());
    EXPECT_EQ(std::string(d.begin() + 2, d.begin() + 2 + 5), devName);
    for (size_t i = 2 + 5; i < 22; ++i) EXPECT_EQ(d[i], 0) << "DevName byte " << i;
    const std::string posName = Utf8ToGbk("1号主变");  // 7 bytes
    EXPECT_EQ(d[22], posName.size());
    EXPECT_EQ(std::string(d.begin() + 23, d.begin() + 23 + 7), posName);
    for (size_t i = 23 + 7; i < 43; ++i) EXPECT_EQ(d[i], 0) << "StationPosName byte " << i;
    EXPECT_EQ(d[43], 0x03);  // PortNo
    EXPECT_EQ(d[44], 12);    // PortBaud
    EXPECT_EQ(d[45], 3);     // PortBitSize
    EXPECT_EQ(d[46], 2);     // PortParity
    EXPECT_EQ(d[47], 1);     // PortStopBits
    EXPECT_EQ(d[48], 2);     // PortDtrControl
}

TEST(StationDbMgr, ItemReadsBackEveryField) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    mgr.AddStation("温控A", "1号主变", 9, 4, 5, 3, 1, 2, 1);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);
    ASSERT_EQ(list.size(), 1u);
    const TStationInfo& s = list[0];
    EXPECT_EQ(s.RecordId, 1);
    EXPECT_EQ(s.DevName.Utf8(), "温控A");
    EXPECT_EQ(s.StationPosName.Utf8(), "1号主变");
    EXPECT_EQ(s.TmpAddr, 9);
    EXPECT_EQ(s.PortNo, 4);
    EXPECT_EQ(s.PortBaud, 5);
    EXPECT_EQ(s.PortBitSize, 3);
    EXPECT_EQ(s.PortParity, 1);
    EXPECT_EQ(s.PortStopBits, 2);
    EXPECT_EQ(s.PortDtrControl, 1);

    // The item a caller builds for the station it just added is the same.
    const TStationInfo built =
        TStationDbMgr::MakeStationInfo(1, "温控A", "1号主变", 9, 4, 5, 3, 1, 2, 1);
    EXPECT_EQ(built.DevName, s.DevName);
    EXPECT_EQ(built.StationPosName, s.StationPosName);
    EXPECT_EQ(std::make_tuple(built.RecordId, built.TmpAddr, built.PortNo, built.PortBaud,
                              built.PortBitSize, built.PortParity, built.PortStopBits,
                              built.PortDtrControl),
              std::make_tuple(s.RecordId, s.TmpAddr, s.PortNo, s.PortBaud, s.PortBitSize,
                              s.PortParity, s.PortStopBits, s.PortDtrControl));
}

TEST(StationDbMgr, NamesFillTwentyGbkBytesAndLongerOnesAreCutOnCharacters) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    const std::string twenty(20, 'n');
    mgr.AddStation(twenty, kTenChinese, 1, 1, 5, 3, 0, 0, 0);
    mgr.AddStation(twenty + "x", kTenChinese + "一", 2, 1, 5, 3, 0, 0, 0);
    // 21 bytes whose cut at 20 would split the tenth character: it goes whole.
    mgr.AddStation("a" + kTenChinese, "b" + kTenChinese, 3, 1, 5, 3, 0, 0, 0);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].DevName.Utf8(), twenty);
    EXPECT_EQ(list[0].StationPosName.Length, 20);
    EXPECT_EQ(list[0].StationPosName.Utf8(), kTenChinese);
    EXPECT_EQ(list[1].DevName.Utf8(), twenty);
    EXPECT_EQ(list[1].StationPosName.Utf8(), kTenChinese);
    EXPECT_EQ(list[2].DevName.Length, 19);
    EXPECT_EQ(list[2].DevName.Utf8(), "a一二三四五六七八九");
    EXPECT_EQ(list[2].StationPosName.Utf8(), "b一二三四五六七八九");
}

TEST(StationDbMgr, DamagedLengthBytesNeverReadPastTheField) {
    TTempDir tmp;
    const std::string file = tmp.File("station.dt");
    {
        // A record written by hand: length byte 200, and a lead byte as the
        // field's last text byte.
        TStationDbMgr mgr(file, false);
        std::vector<uint8_t> record(49, 0);
        record[0] = 5;
        record[1] = 200;
        for (size_t i = 2; i < 21; ++i) record[i] = 'x';
        record[21] = 0xCE;  // the first byte of a character cut off
        record[22] = 2;
        record[23] = 'o';
        record[24] = 'k';
        mgr.AppendRecord(record.data(), 49);
    }
    TStationDbMgr mgr(file, false);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].DevName.Length, 19);
    EXPECT_EQ(list[0].DevName.Utf8(), std::string(19, 'x'));
    EXPECT_EQ(list[0].StationPosName.Utf8(), "ok");
}

TEST(StationDbMgr, DeletedStationLeavesTheOthersInOrderAndIdsGoOn) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);
    EXPECT_TRUE(list.empty());
    for (int addr = 1; addr <= 3; ++addr) {
        EXPECT_EQ(mgr.AddStation("d" + std::to_string(addr), "p", addr, 1, 5, 3, 0, 0, 0), addr);
    }
    mgr.DeleteRecord(2);
    mgr.ListStations(list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].RecordId, 1);
    EXPECT_EQ(list[1].RecordId, 3);
    EXPECT_EQ(list[1].DevName.Utf8(), "d3");
    EXPECT_EQ(mgr.AddStation("d4", "p", 4, 1, 5, 3, 0, 0, 0), 4);
}

TEST(StationDbMgr, TableStoresWhatItIsGivenUnchecked) {
    TTempDir tmp;
    TStationDbMgr mgr(tmp.File("station.dt"), false);
    mgr.AddStation("a", "p", 7, 1, 5, 3, 0, 0, 0);
    mgr.AddStation("b", "p", 7, 1, 99, 3, 0, 0, 0);  // duplicate address, baud beyond its list
    mgr.AddStation("", "", 0, 0, 0, 0, 0, 0, 0);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].TmpAddr, 7);
    EXPECT_EQ(list[1].PortBaud, 99);
    EXPECT_EQ(list[2].DevName.Length, 0);
}
