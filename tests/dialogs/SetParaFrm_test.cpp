// The settings dialog against a real parameter table: what it shows, the
// enable rule of the backup group, the checks in their order with their
// messages, and the save of every key to the record that holds it.

#include "dialogs/SetParaFrm.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/StationTestSupport.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"

namespace fs = std::filesystem;

namespace {

struct TFields {
    QString Seconds, Minutes;
    bool BackUp;
    QString Path, Days;
};

class SetParaFormTest : public testing::Test {
  protected:
    SetParaFormTest() {
        Mgr = std::make_unique<TSysParaDbMgr>(SysParaFileName(Dir.Path()), false);
        LoadSysParas(*Mgr, Loaded, Settings, Dir.Path());
        Form = std::make_unique<TSetParaForm>(nullptr, Settings, *Mgr, Dir.Path());
        Form->OnParaChange = [this] { ++Changes; };
        Form->show();
    }

    void Fill(const TFields& f) {
        Form->ScanIntervalEdit()->setText(f.Seconds);
        Form->MaxOLTimerEdit()->setText(f.Minutes);
        Form->IsBackUpCheckBox()->setChecked(f.BackUp);
        Form->BackUpPathEdit()->setText(f.Path);
        Form->BackUpIntervalEdit()->setText(f.Days);
    }
    // Fields that pass every check.
    TFields Valid() const {
        return {"60", "5", false, QString::fromStdString(Dir.Path() + "backup"), "30"};
    }

    void ClickOk() { QTest::mouseClick(Form->OKButton(), Qt::LeftButton); }

    std::vector<TSysParaItem> Stored() {
        std::vector<TSysParaItem> items;
        TSysParaDbMgr(SysParaFileName(Dir.Path()), false).ListParas(items);
        return items;
    }
    // The stored value of the first record holding the key; -1 for none.
    int32_t StoredValue(uint8_t key) {
        for (const TSysParaItem& item : Stored()) {
            if (item.ParaKey == key) return item.Value;
        }
        return -1;
    }

    TProgramDir Dir;
    TMessageLog Log;
    std::unique_ptr<TSysParaDbMgr> Mgr;
    std::vector<TSysParaItem> Loaded;
    TSysParaInfo Settings;
    std::unique_ptr<TSetParaForm> Form;
    int Changes = 0;
};

bool SameSettings(const TSysParaInfo& a, const TSysParaInfo& b) {
    return a.ScanInterval == b.ScanInterval && a.MaxOLTimer == b.MaxOLTimer &&
           a.IsBackUp == b.IsBackUp && a.LastBackUpDate == b.LastBackUpDate &&
           a.BackUpInterval == b.BackUpInterval && a.BackUpPath == b.BackUpPath &&
           a.AutoReconnect == b.AutoReconnect && a.ReplyTimeout == b.ReplyTimeout;
}

}  // namespace

TEST(EditValue, TakesDecimalIntegersAndCountsEverythingElseAsZero) {
    EXPECT_EQ(EditValue("60"), 60);
    EXPECT_EQ(EditValue(" 12 "), 12);
    EXPECT_EQ(EditValue("-3"), -3);
    EXPECT_EQ(EditValue("x"), 0);
    EXPECT_EQ(EditValue(""), 0);
    EXPECT_EQ(EditValue("1.5"), 0);
    EXPECT_EQ(EditValue("0x10"), 0);
    EXPECT_EQ(EditValue("99999999999"), 0);
}

TEST_F(SetParaFormTest, IsAFixedWindowOfItsCaptionAndSize) {
    EXPECT_EQ(Form->windowTitle(), "SetParaForm");
    EXPECT_EQ(Form->size(), QSize(389, 335));
    EXPECT_EQ(Form->ReplyTimeoutLabel()->text(), "应答超时(毫秒)：");
    EXPECT_EQ(Form->ReplyTimeoutEdit()->objectName(), "ReplyTimeoutEdit");
    EXPECT_EQ(Form->AutoReconnectCheckBox()->text(), "自动重连离线设备");
    EXPECT_EQ(Form->minimumSize(), Form->maximumSize());
    EXPECT_TRUE(Form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(Form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(Form->IsBackUpCheckBox()->text(), "系统自动备份");
    EXPECT_EQ(Form->BackUpPathLabel()->text(), "备份目录：");
    EXPECT_EQ(Form->BackUpIntervalLabel()->text(), "备份时间间隔(天)：");
    EXPECT_EQ(Form->BrowseButton()->text(), "...");
    EXPECT_EQ(Form->OKButton()->text(), "确定");
    EXPECT_EQ(Form->CancelButton()->text(), "取消");
    // The scan interval comes first in the tab order.
    EXPECT_EQ(Form->ScanIntervalEdit()->nextInFocusChain(), Form->MaxOLTimerEdit());
    EXPECT_EQ(Form->MaxOLTimerEdit()->nextInFocusChain(), Form->ReplyTimeoutEdit());
}

TEST_F(SetParaFormTest, ShowsTheDefaultsInSecondsMinutesAndDays) {
    EXPECT_EQ(Form->ScanIntervalEdit()->text(), "60");
    EXPECT_EQ(Form->MaxOLTimerEdit()->text(), "5");
    EXPECT_EQ(Form->ReplyTimeoutEdit()->text(), "1000");
    EXPECT_FALSE(Form->IsBackUpCheckBox()->isChecked());
    EXPECT_EQ(Form->BackUpPathEdit()->text().toStdString(), Dir.Path() + "backup");
    EXPECT_EQ(Form->BackUpIntervalEdit()->text(), "30");
}

TEST_F(SetParaFormTest, AnUnchangedConfirmRoundsMillisecondsDownToWholeSeconds) {
    Settings.ScanInterval = 1500;
    Settings.MaxOLTimer = 90000;
    Form->FormShow();
    EXPECT_EQ(Form->ScanIntervalEdit()->text(), "1");
    EXPECT_EQ(Form->MaxOLTimerEdit()->text(), "1");
    ClickOk();
    EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
    EXPECT_EQ(Settings.ScanInterval, 1000);
    EXPECT_EQ(Settings.MaxOLTimer, 60000);
    EXPECT_EQ(StoredValue(kParaScanInterval), 1000);
    EXPECT_EQ(StoredValue(kParaMaxOLTimer), 60000);
}

TEST_F(SetParaFormTest, ARelativeBackUpDirectoryIsMadeInTheProgramDirectoryAndStoredAsTyped) {
    TFields fields = Valid();
    fields.Path = QStringLiteral("备份/本站");
    Fill(fields);
    const fs::path before = fs::current_path();
    fs::current_path("/");
    ClickOk();
    fs::current_path(before);
    EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
    EXPECT_TRUE(fs::is_directory(Dir.Path() + "备份/本站"));
    EXPECT_FALSE(fs::exists("/备份"));
    EXPECT_EQ(Settings.BackUpPath.Utf8(), "备份/本站");
}

TEST_F(SetParaFormTest, AutoReconnectShowsItsSettingAndOnlyOffAddsItsRecord) {
    EXPECT_TRUE(Form->AutoReconnectCheckBox()->isChecked());
    Fill(Valid());
    ClickOk();
    EXPECT_TRUE(Settings.AutoReconnect);
    EXPECT_EQ(Stored().size(), 6u);  // on is what a missing record means

    Form->show();
    Fill(Valid());
    Form->AutoReconnectCheckBox()->setChecked(false);
    ClickOk();
    EXPECT_FALSE(Settings.AutoReconnect);
    EXPECT_EQ(StoredValue(kParaAutoReconnect), 0);
    EXPECT_EQ(Stored().size(), 7u);

    Form->show();
    EXPECT_FALSE(Form->AutoReconnectCheckBox()->isChecked());
    Fill(Valid());
    Form->AutoReconnectCheckBox()->setChecked(true);
    ClickOk();
    EXPECT_TRUE(Settings.AutoReconnect);
    EXPECT_EQ(StoredValue(kParaAutoReconnect), 1);
    EXPECT_EQ(Stored().size(), 7u);
    EXPECT_EQ(Changes, 3);
}

// A value other than the default adds key 7's record once, after the
// records of keys 0 to 5 that keep their values; the next load and the next
// show read it back.
TEST_F(SetParaFormTest, TheReplyTimeoutRoundTripsThroughKey7) {
    const std::vector<TSysParaItem> before = Stored();
    for (const char* typed : {"250", "20", "5000", " 1000 "}) {
        Form->show();
        Fill(Valid());
        Form->ReplyTimeoutEdit()->setText(typed);
        ClickOk();
        ASSERT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
        const int32_t ms = QString(typed).trimmed().toInt();
        EXPECT_EQ(Settings.ReplyTimeout, ms);
        EXPECT_EQ(StoredValue(kParaReplyTimeout), ms);

        std::vector<TSysParaItem> list;
        TSysParaInfo loaded;
        LoadSysParas(*Mgr, list, loaded, Dir.Path());
        EXPECT_EQ(loaded.ReplyTimeout, ms);
        Form->show();
        EXPECT_EQ(Form->ReplyTimeoutEdit()->text(), QString::number(ms));
    }
    const std::vector<TSysParaItem> after = Stored();
    ASSERT_EQ(after.size(), 7u);
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].ParaKey, before[i].ParaKey);
        EXPECT_EQ(after[i].Value, before[i].Value);
        EXPECT_EQ(after[i].Text, before[i].Text);
    }
    EXPECT_EQ(after[6].RecordId, 7);
    EXPECT_EQ(after[6].ParaKey, kParaReplyTimeout);
    EXPECT_EQ(Changes, 4);
}

// A refused reply time-out: its message only, the focus back on its field,
// nothing stored; it is checked after the offline time and before the days.
TEST_F(SetParaFormTest, AReplyTimeoutOutsideItsRangeIsRefusedWithItsMessage) {
    const QString reply = QString::fromUtf8(kReplyTimeoutMessage);
    EXPECT_EQ(reply, "应答超时必须是20到5000之间的整数！");
    const TFields v = Valid();
    const struct {
        const char* Typed;
        TFields Fields;
        QString Message;
    } cases[] = {
        {"19", v, reply},
        {"5001", v, reply},
        {"abc", v, reply},
        {"", v, reply},
        {"250.5", v, reply},
        {"19", {v.Seconds, "0", false, v.Path, v.Days}, QString::fromUtf8(kScanIntervalMessage)},
        {"19", {v.Seconds, v.Minutes, false, v.Path, "0"}, reply},
    };
    const std::vector<TSysParaItem> storedBefore = Stored();
    const TSysParaInfo settingsBefore = Settings;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Typed);
        Log.Clear();
        Form->show();
        Fill(c.Fields);
        Form->ReplyTimeoutEdit()->setText(c.Typed);
        Form->ScanIntervalEdit()->setFocus();
        ClickOk();
        EXPECT_EQ(Log.Messages(), QStringList{c.Message});
        if (c.Message == reply) {
            EXPECT_EQ(Form->focusWidget(), Form->ReplyTimeoutEdit());
        }
        EXPECT_TRUE(SameSettings(Settings, settingsBefore));
    }
    EXPECT_EQ(Changes, 0);
    EXPECT_EQ(Stored().size(), storedBefore.size());
    EXPECT_EQ(StoredValue(kParaReplyTimeout), -1);
}

TEST_F(SetParaFormTest, TheBackUpGroupFollowsTheCheckBoxOnShowClickAndSpace) {
    const auto groupEnabled = [this] {
        const bool on = Form->BackUpPathEdit()->isEnabled();
        EXPECT_EQ(Form->BackUpIntervalEdit()->isEnabled(), on);
        EXPECT_EQ(Form->BackUpPathLabel()->isEnabled(), on);
        EXPECT_EQ(Form->BackUpIntervalLabel()->isEnabled(), on);
        EXPECT_EQ(Form->BrowseButton()->isEnabled(), on);
        return on;
    };
    EXPECT_FALSE(groupEnabled());

    Form->hide();
    Settings.IsBackUp = true;
    Form->show();
    EXPECT_TRUE(Form->IsBackUpCheckBox()->isChecked());
    EXPECT_TRUE(groupEnabled());

    // On the box itself (the widget reaches past its text).
    QTest::mouseClick(Form->IsBackUpCheckBox(), Qt::LeftButton, {},
                      QPoint(4, Form->IsBackUpCheckBox()->height() / 2));
    EXPECT_FALSE(Form->IsBackUpCheckBox()->isChecked());
    EXPECT_FALSE(groupEnabled());

    Form->IsBackUpCheckBox()->setFocus();
    QTest::keyClick(Form->IsBackUpCheckBox(), Qt::Key_Space);
    EXPECT_TRUE(Form->IsBackUpCheckBox()->isChecked());
    EXPECT_TRUE(groupEnabled());
    EXPECT_TRUE(Form->IsBackUpCheckBox()->isEnabled());
}

// Each failing check: its message only, nothing stored, the settings block
// as it was, no change handler, and the dialog still open with what was typed.
TEST_F(SetParaFormTest, EachCheckRejectsItsValuesWithItsMessageInOrder) {
    const QString scan = QString::fromUtf8(kScanIntervalMessage);
    const QString days = QString::fromUtf8(kBackUpIntervalMessage);
    const QString dir = QString::fromUtf8(kBackUpDirMessage);
    { std::ofstream(Dir.File("occupied")) << "x"; }
    const QString underFile = QString::fromStdString(Dir.File("occupied") + "/backup");

    struct TCase {
        const char* What;
        TFields Fields;
        QString Message;
    };
    const TFields v = Valid();
    const std::vector<TCase> cases = {
        {"seconds 0", {"0", v.Minutes, false, v.Path, v.Days}, scan},
        {"seconds 60000", {"60000", v.Minutes, false, v.Path, v.Days}, scan},
        {"seconds x", {"x", v.Minutes, false, v.Path, v.Days}, scan},
        {"minutes 0", {v.Seconds, "0", false, v.Path, v.Days}, scan},
        {"minutes 300000", {v.Seconds, "300000", false, v.Path, v.Days}, scan},
        {"minutes 35792 would wrap", {v.Seconds, "35792", false, v.Path, v.Days}, scan},
        {"days 0", {v.Seconds, v.Minutes, true, v.Path, "0"}, days},
        {"days 365", {v.Seconds, v.Minutes, true, v.Path, "365"}, days},
        {"days 0 with backup off", {v.Seconds, v.Minutes, false, v.Path, "0"}, days},
        {"empty directory with backup off", {v.Seconds, v.Minutes, false, "", v.Days}, dir},
        {"directory under a file", {v.Seconds, v.Minutes, true, underFile, v.Days}, dir},
        {"first failure wins", {"0", "0", false, "", "0"}, scan},
        {"minutes before days", {v.Seconds, "0", false, v.Path, "0"}, scan},
        {"days before directory", {v.Seconds, v.Minutes, false, "", "400"}, days},
    };
    const std::vector<TSysParaItem> storedBefore = Stored();
    const TSysParaInfo settingsBefore = Settings;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        Log.Clear();
        Form->show();
        Fill(c.Fields);
        ClickOk();
        EXPECT_EQ(Log.Messages(), QStringList{c.Message});
        // Still open, with every field as the operator typed it.
        EXPECT_TRUE(Form->isVisible());
        EXPECT_EQ(Form->ScanIntervalEdit()->text(), c.Fields.Seconds);
        EXPECT_EQ(Form->MaxOLTimerEdit()->text(), c.Fields.Minutes);
        EXPECT_EQ(Form->IsBackUpCheckBox()->isChecked(), c.Fields.BackUp);
        EXPECT_EQ(Form->BackUpPathEdit()->text(), c.Fields.Path);
        EXPECT_EQ(Form->BackUpIntervalEdit()->text(), c.Fields.Days);
        EXPECT_TRUE(SameSettings(Settings, settingsBefore));
        EXPECT_EQ(Changes, 0);
    }
    const std::vector<TSysParaItem> storedAfter = Stored();
    ASSERT_EQ(storedAfter.size(), storedBefore.size());
    for (size_t i = 0; i < storedAfter.size(); ++i) {
        EXPECT_EQ(storedAfter[i].Value, storedBefore[i].Value);
        EXPECT_EQ(storedAfter[i].Text, storedBefore[i].Text);
    }
}

TEST_F(SetParaFormTest, TheBoundsOfEveryRangeAreAccepted) {
    struct TCase {
        TFields Fields;
        int32_t ScanMs, OfflineMs, Days;
    };
    const TFields v = Valid();
    const std::vector<TCase> cases = {
        {{"1", "1", true, v.Path, "1"}, 1000, 60000, 1},
        {{"59999", "35791", false, v.Path, "364"}, 59999000, 2147460000, 364},
    };
    for (const TCase& c : cases) {
        Log.Clear();
        Form->show();
        Fill(c.Fields);
        ClickOk();
        EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
        EXPECT_EQ(Settings.ScanInterval, c.ScanMs);
        EXPECT_EQ(Settings.MaxOLTimer, c.OfflineMs);
        EXPECT_EQ(Settings.BackUpInterval, c.Days);
        EXPECT_EQ(Settings.IsBackUp, c.Fields.BackUp);
    }
    EXPECT_EQ(Changes, 2);
    EXPECT_EQ(StoredValue(kParaMaxOLTimer), 2147460000);
    EXPECT_EQ(StoredValue(kParaIsBackUp), 0);
}

TEST_F(SetParaFormTest, SavesEveryKeyToItsOwnRecordAndLeavesTheLastBackUpDateAlone) {
    // A table whose records hold the keys in reverse order, with the last
    // backup date set and a key of someone else's.
    Mgr.reset();
    fs::remove(SysParaFileName(Dir.Path()));
    Mgr = std::make_unique<TSysParaDbMgr>(SysParaFileName(Dir.Path()), false);
    Mgr->AddPara(9, 77, "other");
    Mgr->AddPara(kParaBackUpPath, 0, "/old");
    Mgr->AddPara(kParaBackUpInterval, 30, "");
    Mgr->AddPara(kParaLastBackUpDate, 0, "2006-3-1");
    Mgr->AddPara(kParaIsBackUp, 0, "");
    Mgr->AddPara(kParaMaxOLTimer, 300000, "");
    Mgr->AddPara(kParaScanInterval, 60000, "");
    Form = std::make_unique<TSetParaForm>(nullptr, Settings, *Mgr, Dir.Path());
    Form->OnParaChange = [this] { ++Changes; };
    Form->show();

    const std::string dir = Dir.Path() + "new/backup/dir";
    Fill({"15", "20", true, QString::fromStdString(dir), "7"});
    ClickOk();
    ASSERT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(Changes, 1);

    const std::vector<TSysParaItem> stored = Stored();
    ASSERT_EQ(stored.size(), 7u);
    const auto at = [&](int recordId) { return stored[static_cast<size_t>(recordId - 1)]; };
    EXPECT_EQ(at(1).ParaKey, 9);
    EXPECT_EQ(at(1).Value, 77);
    EXPECT_EQ(at(1).Text.Utf8(), "other");
    EXPECT_EQ(at(2).ParaKey, kParaBackUpPath);
    EXPECT_EQ(at(2).Text.Utf8(), dir);
    EXPECT_EQ(at(3).Value, 7);
    EXPECT_EQ(at(4).ParaKey, kParaLastBackUpDate);
    EXPECT_EQ(at(4).Text.Utf8(), "2006-3-1");
    EXPECT_EQ(at(5).Value, 1);
    EXPECT_EQ(at(6).Value, 1200000);
    EXPECT_EQ(at(7).Value, 15000);

    EXPECT_EQ(Settings.ScanInterval, 15000);
    EXPECT_EQ(Settings.MaxOLTimer, 1200000);
    EXPECT_TRUE(Settings.IsBackUp);
    EXPECT_EQ(Settings.BackUpInterval, 7);
    EXPECT_EQ(Settings.BackUpPath.Utf8(), dir);
}

TEST_F(SetParaFormTest, ATableWithOnlyKey4GetsOnlyThatRecordRewritten) {
    Mgr.reset();
    fs::remove(SysParaFileName(Dir.Path()));
    Mgr = std::make_unique<TSysParaDbMgr>(SysParaFileName(Dir.Path()), false);
    Mgr->AddPara(kParaBackUpInterval, 12, "");
    Settings = TSysParaInfo{};
    Loaded.clear();
    LoadSysParas(*Mgr, Loaded, Settings, Dir.Path());
    EXPECT_EQ(Settings.BackUpInterval, 12);
    EXPECT_EQ(Settings.BackUpPath.Utf8(), "");
    Form = std::make_unique<TSetParaForm>(nullptr, Settings, *Mgr, Dir.Path());
    Form->show();
    EXPECT_EQ(Form->BackUpIntervalEdit()->text(), "12");

    // The empty directory it loads with fails the save until one is given.
    ClickOk();
    EXPECT_EQ(Log.Messages(), QStringList{QString::fromUtf8(kBackUpDirMessage)});
    Log.Clear();
    Form->show();
    Form->BackUpPathEdit()->setText(QString::fromStdString(Dir.Path() + "b"));
    Form->BackUpIntervalEdit()->setText("40");
    ClickOk();
    EXPECT_TRUE(Log.Messages().isEmpty());

    const std::vector<TSysParaItem> stored = Stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].RecordId, 1);
    EXPECT_EQ(stored[0].ParaKey, kParaBackUpInterval);
    EXPECT_EQ(stored[0].Value, 40);
    // The block holds every value all the same.
    EXPECT_EQ(Settings.ScanInterval, 60000);
    EXPECT_EQ(Settings.BackUpPath.Utf8(), Dir.Path() + "b");
}

TEST_F(SetParaFormTest, CancelStoresNothingAndCallsNoHandler) {
    Fill({"10", "10", true, QString::fromStdString(Dir.Path() + "elsewhere"), "10"});
    QTest::mouseClick(Form->CancelButton(), Qt::LeftButton);
    EXPECT_EQ(Form->result(), QDialog::Rejected);
    EXPECT_EQ(Settings.ScanInterval, 60000);
    EXPECT_FALSE(Settings.IsBackUp);
    EXPECT_EQ(Changes, 0);
    EXPECT_FALSE(fs::exists(Dir.Path() + "elsewhere"));
    EXPECT_EQ(StoredValue(kParaScanInterval), 60000);
}

TEST_F(SetParaFormTest, ADirectoryThatCannotBeStoredWholeIsRefused) {
    // 125 GBK bytes, or a character GBK cannot hold: backups would go to a
    // directory other than the one shown.
    const std::string tooLong = Dir.Path() + std::string(125 - Dir.Path().size(), 'd');
    const std::string notGbk = Dir.Path() + "备份\xF0\x9F\x98\x80";
    const std::string fits = Dir.Path() + std::string(124 - Dir.Path().size(), 'd');
    for (const std::string& path : {tooLong, notGbk}) {
        Log.Clear();
        Form->show();
        Fill({"60", "5", false, QString::fromStdString(path), "30"});
        ClickOk();
        EXPECT_EQ(Log.Messages(), QStringList{QString::fromUtf8(kBackUpDirMessage)}) << path;
        EXPECT_FALSE(fs::exists(path));
    }
    Log.Clear();
    Form->show();
    Fill({"60", "5", false, QString::fromStdString(fits), "30"});
    ClickOk();
    EXPECT_TRUE(Log.Messages().isEmpty());
    EXPECT_EQ(Settings.BackUpPath.Utf8(), fits);
}

TEST_F(SetParaFormTest, AnEngineErrorOfTheSaveStillClosesTheDialog) {
    // The table's file cannot be opened any more.
    fs::remove(SysParaFileName(Dir.Path()));
    fs::create_directory(SysParaFileName(Dir.Path()));
    Fill(Valid());
    EXPECT_ANY_THROW(Form->OKButtonClick());
    EXPECT_FALSE(Form->isVisible());
    EXPECT_EQ(Form->result(), QDialog::Accepted);
    EXPECT_EQ(Changes, 0);
}

TEST_F(SetParaFormTest, AfterAFailedCheckTheOperatorMendsOneFieldAndKeepsTheOtherEdits) {
    Form->show();
    TFields typed = Valid();
    typed.Seconds = "7";
    typed.Minutes = "9";
    typed.BackUp = true;
    typed.Days = "400";
    Fill(typed);
    ClickOk();
    EXPECT_EQ(Log.Messages(), QStringList{QString::fromUtf8(kBackUpIntervalMessage)});
    ASSERT_TRUE(Form->isVisible());
    EXPECT_EQ(StoredValue(kParaScanInterval), 60000);
    EXPECT_EQ(Changes, 0);

    Log.Clear();
    Form->BackUpIntervalEdit()->setText("12");
    ClickOk();
    EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_EQ(Form->result(), QDialog::Accepted);
    EXPECT_EQ(Settings.ScanInterval, 7000);
    EXPECT_EQ(Settings.MaxOLTimer, 9 * 60000);
    EXPECT_TRUE(Settings.IsBackUp);
    EXPECT_EQ(Settings.BackUpInterval, 12);
    EXPECT_EQ(StoredValue(kParaScanInterval), 7000);
    EXPECT_EQ(Changes, 1);
}
