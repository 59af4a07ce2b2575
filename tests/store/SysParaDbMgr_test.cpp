#include "store/SysParaDbMgr.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "StoreTestSupport.h"
#include "store/GbkText.h"
#include "store/StorePaths.h"
#include "store/SysParaChecks.h"

using storetest::ReadRawRecords;
using storetest::TTempDir;

TEST(SysParaDbMgr, RecordLayoutAsStored) {
    TTempDir tmp;
    const std::string file = tmp.File("para.dt");
    {
        TSysParaDbMgr mgr(file, false);
        mgr.AddPara(4, -2, "");
        mgr.AddPara(5, 0x01020304, "D:/备份");
    }
    const auto records = ReadRawRecords(file, "SysparaTable");
    ASSERT_EQ(records.size(), 2u);
    const std::vector<uint8_t>& a = records[0].Data;
    ASSERT_EQ(a.size(), 130u);
    EXPECT_EQ(a[0], 4);
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + 1, a.begin() + 5),
              (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
    for (size_t i = 5; i < 130; ++i) EXPECT_EQ(a[i], 0) << "byte " << i;
    const std::vector<uint8_t>& b = records[1].Data;
    EXPECT_EQ(b[0], 5);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 1, b.begin() + 5),
              (std::vector<uint8_t>{4, 3, 2, 1}));
    const std::string gbk = Utf8ToGbk("D:/备份");
    EXPECT_EQ(b[5], gbk.size());
    EXPECT_EQ(std::string(b.begin() + 6, b.begin() + 6 + static_cast<long>(gbk.size())), gbk);
    EXPECT_EQ(b[6 + gbk.size()], 0);
}

TEST(SysParaDbMgr, TextIsCutTo124BytesAndUpdateRewritesTheWholeRecord) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    std::string longText;
    for (int i = 0; i < 70; ++i) longText += "备";  // 140 GBK bytes
    const int32_t id = mgr.AddPara(5, 7, longText);
    std::vector<TSysParaItem> list;
    mgr.ListParas(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Text.Length, 124);
    EXPECT_EQ(list[0].Value, 7);

    mgr.UpdatePara(id, 3, 0, "2024-3-1");
    list.clear();
    mgr.ListParas(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].RecordId, id);
    EXPECT_EQ(list[0].ParaKey, 3);
    EXPECT_EQ(list[0].Value, 0);
    EXPECT_EQ(list[0].Text.Utf8(), "2024-3-1");
    EXPECT_EQ(list[0].Text.Text[8], 0);  // nothing of the longer text is left
}

TEST(SysParaDbMgr, FirstLoadWritesTheSixDefaults) {
    TTempDir tmp;
    const std::string exeDir = tmp.Dir();
    ASSERT_FALSE(std::filesystem::exists(exeDir + "syspara"));
    TSysParaDbMgr mgr(SysParaFileName(exeDir), false);
    EXPECT_TRUE(std::filesystem::is_directory(exeDir + "syspara"));
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    EXPECT_EQ(LoadSysParas(mgr, list, info, exeDir), 6);
    ASSERT_EQ(list.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(list[i].RecordId, static_cast<int32_t>(i) + 1);
        EXPECT_EQ(list[i].ParaKey, i);
    }
    EXPECT_EQ(list[0].Value, 60000);
    EXPECT_EQ(list[1].Value, 300000);
    EXPECT_EQ(list[2].Value, 0);
    EXPECT_EQ(list[3].Text.Length, 0);
    EXPECT_EQ(list[4].Value, 30);
    EXPECT_EQ(list[5].Value, 0);
    EXPECT_EQ(list[5].Text.Utf8(), exeDir + "backup");

    EXPECT_EQ(info.ScanInterval, 60000);
    EXPECT_EQ(info.MaxOLTimer, 300000);
    EXPECT_FALSE(info.IsBackUp);
    EXPECT_EQ(info.LastBackUpDate.Length, 0);
    EXPECT_EQ(info.BackUpInterval, 30);
    EXPECT_EQ(info.BackUpPath.Utf8(), exeDir + "backup");

    // A second start finds them and writes nothing more.
    std::vector<TSysParaItem> again;
    TSysParaInfo info2;
    EXPECT_EQ(LoadSysParas(mgr, again, info2, "/elsewhere/"), 6);
    EXPECT_EQ(info2.BackUpPath.Utf8(), exeDir + "backup");
}

TEST(SysParaDbMgr, TableWithOnlyKeyFourKeepsTheOtherFieldsAtTheirStart) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    const int32_t id = mgr.AddPara(4, 7, "");
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    EXPECT_EQ(LoadSysParas(mgr, list, info, tmp.Dir()), 1);
    EXPECT_EQ(info.BackUpInterval, 7);
    EXPECT_EQ(info.ScanInterval, 60000);
    EXPECT_EQ(info.MaxOLTimer, 300000);
    EXPECT_FALSE(info.IsBackUp);
    EXPECT_EQ(info.LastBackUpDate.Length, 0);
    EXPECT_EQ(info.BackUpPath.Length, 0);

    // Saving writes only the record that exists.
    EXPECT_EQ(WritePara(mgr, list, 4, 9, ""), 1);
    EXPECT_EQ(WritePara(mgr, list, 0, 1000, ""), 0);
    EXPECT_EQ(mgr.RecordCount(), 1);
    std::vector<TSysParaItem> stored;
    mgr.ListParas(stored);
    EXPECT_EQ(stored[0].RecordId, id);
    EXPECT_EQ(stored[0].Value, 9);
    EXPECT_EQ(list[0].Value, 9);
}

// Key 6 came after the first files were written: a file without it loads
// "on" and keeps its six records; storing "off" adds the record once and
// later writes reuse it.
TEST(SysParaDbMgr, AutoReconnectIsOnWithoutItsKeyAndItsRecordIsAddedOnce) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    EXPECT_EQ(LoadSysParas(mgr, list, info, tmp.Dir()), 6);
    EXPECT_TRUE(info.AutoReconnect);
    EXPECT_EQ(WritePara(mgr, list, kParaAutoReconnect, 0, ""), 0);
    EXPECT_EQ(mgr.RecordCount(), 6);

    EXPECT_EQ(WriteOrAddPara(mgr, list, kParaAutoReconnect, 0, ""), 1);
    EXPECT_EQ(WriteOrAddPara(mgr, list, kParaAutoReconnect, 0, ""), 1);
    EXPECT_EQ(mgr.RecordCount(), 7);
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[6].ParaKey, kParaAutoReconnect);
    EXPECT_EQ(list[6].RecordId, 7);

    std::vector<TSysParaItem> again;
    TSysParaInfo loaded;
    LoadSysParas(mgr, again, loaded, tmp.Dir());
    EXPECT_FALSE(loaded.AutoReconnect);
    EXPECT_EQ(loaded.ScanInterval, 60000);
    // Keys 0 to 5 are where they were.
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(again[i].ParaKey, i);
    EXPECT_EQ(WriteOrAddPara(mgr, again, kParaAutoReconnect, 1, ""), 1);
    EXPECT_EQ(mgr.RecordCount(), 7);
    again.clear();
    LoadSysParas(mgr, again, loaded, tmp.Dir());
    EXPECT_TRUE(loaded.AutoReconnect);
}

// Key 7 came later too: a file without it, or one whose stored value the
// settings could never have written, loads the default; the keys before it
// load as they always did.
TEST(SysParaDbMgr, ReplyTimeoutLoadsItsDefaultWhenMissingOrOutOfRange) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    EXPECT_EQ(LoadSysParas(mgr, list, info, tmp.Dir()), 6);
    EXPECT_EQ(info.ReplyTimeout, 1000);
    mgr.AddPara(kParaAutoReconnect, 0, "");
    const int32_t id = mgr.AddPara(kParaReplyTimeout, 0, "");

    const struct {
        int32_t Stored, Loaded;
    } cases[] = {{19, 1000},   {20, 20},    {250, 250},        {5000, 5000},
                 {5001, 1000}, {-20, 1000}, {INT32_MIN, 1000}, {INT32_MAX, 1000}};
    for (const auto& c : cases) {
        mgr.UpdatePara(id, kParaReplyTimeout, c.Stored, "");
        list.clear();
        info = TSysParaInfo{};
        info.ReplyTimeout = 77;  // loading must not keep what the block held
        EXPECT_EQ(LoadSysParas(mgr, list, info, tmp.Dir()), 8);
        EXPECT_EQ(info.ReplyTimeout, c.Loaded) << c.Stored;
    }
    EXPECT_EQ(info.ScanInterval, 60000);
    EXPECT_EQ(info.MaxOLTimer, 300000);
    EXPECT_EQ(info.BackUpInterval, 30);
    EXPECT_EQ(info.BackUpPath.Utf8(), tmp.Dir() + "backup");
    EXPECT_FALSE(info.AutoReconnect);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(list[i].ParaKey, i);
}

TEST(SysParaDbMgr, OnlyOneTurnsBackUpOn) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    const int32_t id = mgr.AddPara(2, 2, "");
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    LoadSysParas(mgr, list, info, tmp.Dir());
    EXPECT_FALSE(info.IsBackUp);
    mgr.UpdatePara(id, 2, 1, "");
    list.clear();
    LoadSysParas(mgr, list, info, tmp.Dir());
    EXPECT_TRUE(info.IsBackUp);
}

TEST(SysParaDbMgr, LaterDuplicateWinsOtherKeysAreIgnoredAndTextsAreCut) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    mgr.AddPara(0, 1000, "");
    mgr.AddPara(9, 5, "not ours");
    mgr.AddPara(0, 2000, "");
    mgr.AddPara(3, 0, "2024-3-1 and a good deal more");  // 29 bytes into a field of 20
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    LoadSysParas(mgr, list, info, tmp.Dir());
    EXPECT_EQ(info.ScanInterval, 2000);
    EXPECT_EQ(info.LastBackUpDate.Utf8(), "2024-3-1 and a good ");

    // A writer reaches every record of the key, so the next load agrees.
    EXPECT_EQ(WritePara(mgr, list, 0, 3000, ""), 2);
    std::vector<TSysParaItem> reloaded;
    LoadSysParas(mgr, reloaded, info, tmp.Dir());
    EXPECT_EQ(info.ScanInterval, 3000);
}

TEST(SysParaDbMgr, WritingTheLastBackUpDateLeavesTheOtherRecords) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    LoadSysParas(mgr, list, info, tmp.Dir());
    std::vector<TSysParaItem> before;
    mgr.ListParas(before);

    EXPECT_EQ(WritePara(mgr, list, kParaLastBackUpDate, 0, "2024-3-1"), 1);
    std::vector<TSysParaItem> after;
    TSysParaInfo info2;
    LoadSysParas(mgr, after, info2, tmp.Dir());
    EXPECT_EQ(info2.LastBackUpDate.Utf8(), "2024-3-1");
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i].ParaKey == kParaLastBackUpDate) continue;
        EXPECT_EQ(after[i].Value, before[i].Value) << "key " << int(after[i].ParaKey);
        EXPECT_EQ(after[i].Text, before[i].Text) << "key " << int(after[i].ParaKey);
    }
}

// The alarm settings, keys 8 and 9: missing, they load a limit of 0 (off)
// and the sound on; a limit the settings could not have written loads off.
TEST(SysParaDbMgr, AlarmSettingsLoadTheirDefaultsWhenMissingOrOutOfRange) {
    TTempDir tmp;
    TSysParaDbMgr mgr(tmp.File("para.dt"), false);
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    info.TempLimit = 77;
    EXPECT_EQ(LoadSysParas(mgr, list, info, tmp.Dir()), 6);
    EXPECT_EQ(info.TempLimit, 0);
    EXPECT_TRUE(info.AlarmSound);
    const int32_t limitId = mgr.AddPara(kParaTempLimit, 0, "");
    mgr.AddPara(kParaAlarmSound, 0, "");
    const struct {
        int32_t Stored, Loaded;
    } cases[] = {{0, 0}, {1, 1}, {85, 85}, {200, 200}, {201, 0}, {-1, 0}, {INT32_MAX, 0}};
    for (const auto& c : cases) {
        mgr.UpdatePara(limitId, kParaTempLimit, c.Stored, "");
        list.clear();
        info = TSysParaInfo{};
        info.AlarmSound = true;
        EXPECT_EQ(LoadSysParas(mgr, list, info, tmp.Dir()), 8);
        EXPECT_EQ(info.TempLimit, c.Loaded) << c.Stored;
        EXPECT_FALSE(info.AlarmSound);
        EXPECT_EQ(CheckParaValue(tmp.Dir(), kParaTempLimit, c.Stored, "").has_value(),
                  c.Loaded != c.Stored)
            << c.Stored;
    }
    EXPECT_EQ(CheckParaValue(tmp.Dir(), kParaAlarmSound, 2, ""), kAlarmSoundMessage);
    EXPECT_FALSE(CheckParaValue(tmp.Dir(), kParaAlarmSound, 1, "").has_value());
}
