// The alarm settings dialog against a real parameter table: what it shows,
// the enable rule of the limit's field, the refused limits, and keys 8 and 9
// read back by the next load.

#include "dialogs/AlarmSetFrm.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "app/StationTestSupport.h"
#include "store/StorePaths.h"
#include "store/SysParaChecks.h"
#include "store/SysParaDbMgr.h"

namespace {

class AlarmSetFormTest : public testing::Test {
  protected:
    AlarmSetFormTest() {
        Mgr = std::make_unique<TSysParaDbMgr>(SysParaFileName(Dir.Path()), false);
        LoadSysParas(*Mgr, List, Settings, Dir.Path());
        Form =
            std::make_unique<TAlarmSetForm>(nullptr, Settings, *Mgr, List, [this] { ++Changes; });
        Form->show();
    }

    // Ticks the limit's box (typing the limit) or unticks it, sets the
    // sound and clicks "确定".
    void Confirm(bool limitOn, const QString& limit, bool sound) {
        Form->TempLimitCheckBox()->setChecked(limitOn);
        Form->TempLimitEdit()->setText(limit);
        Form->AlarmSoundCheckBox()->setChecked(sound);
        QTest::mouseClick(Form->OKButton(), Qt::LeftButton);
    }

    std::vector<TSysParaItem> Stored() {
        std::vector<TSysParaItem> items;
        TSysParaDbMgr(SysParaFileName(Dir.Path()), false).ListParas(items);
        return items;
    }
    // The settings a restart loads.
    TSysParaInfo Reloaded() {
        std::vector<TSysParaItem> list;
        TSysParaInfo info;
        LoadSysParas(*Mgr, list, info, Dir.Path());
        return info;
    }

    TProgramDir Dir;
    TMessageLog Log;
    std::unique_ptr<TSysParaDbMgr> Mgr;
    std::vector<TSysParaItem> List;
    TSysParaInfo Settings;
    std::unique_ptr<TAlarmSetForm> Form;
    int Changes = 0;
};

}  // namespace

TEST_F(AlarmSetFormTest, ShowsItsControlsWithTheSettingsAndEnablesTheLimitWithItsBox) {
    EXPECT_EQ(Form->objectName(), "AlarmSetForm");
    EXPECT_EQ(Form->windowTitle(), "报警设置");
    EXPECT_EQ(Form->TempLimitCheckBox()->text(), "启用温度越限报警");
    EXPECT_EQ(Form->TempLimitLabel()->text(), "越限温度(C)：");
    EXPECT_EQ(Form->TempLimitEdit()->objectName(), "TempLimitEdit");
    EXPECT_EQ(Form->AlarmSoundCheckBox()->text(), "报警声音");
    EXPECT_EQ(Form->AlarmSoundCheckBox()->objectName(), "AlarmSoundCheckBox");
    EXPECT_EQ(Form->OKButton()->text(), "确定");
    EXPECT_EQ(Form->CancelButton()->text(), "取消");

    // A new file: no limit, sound on.
    EXPECT_FALSE(Form->TempLimitCheckBox()->isChecked());
    EXPECT_FALSE(Form->TempLimitEdit()->isEnabled());
    EXPECT_TRUE(Form->AlarmSoundCheckBox()->isChecked());
    QTest::mouseClick(Form->TempLimitCheckBox(), Qt::LeftButton);
    EXPECT_TRUE(Form->TempLimitEdit()->isEnabled());
    EXPECT_TRUE(Form->TempLimitLabel()->isEnabled());

    Form->hide();
    Settings.TempLimit = 85;
    Settings.AlarmSound = false;
    Form->show();
    EXPECT_TRUE(Form->TempLimitCheckBox()->isChecked());
    EXPECT_TRUE(Form->TempLimitEdit()->isEnabled());
    EXPECT_EQ(Form->TempLimitEdit()->text(), "85");
    EXPECT_FALSE(Form->AlarmSoundCheckBox()->isChecked());
    QTest::mouseClick(Form->TempLimitCheckBox(), Qt::LeftButton);
    EXPECT_FALSE(Form->TempLimitEdit()->isEnabled());
    EXPECT_FALSE(Form->TempLimitLabel()->isEnabled());
}

// Values other than the defaults add their records once; the defaults
// rewrite them; a file that never held them gets none for the defaults.
TEST_F(AlarmSetFormTest, TheSettingsRoundTripThroughKeys8And9) {
    const size_t fresh = Stored().size();
    Confirm(false, "", true);
    EXPECT_EQ(Stored().size(), fresh);
    EXPECT_EQ(Form->result(), QDialog::Accepted);

    struct TCase {
        bool On;
        const char* Typed;
        bool Sound;
        int32_t Limit;
    };
    for (const TCase& c : {TCase{true, "120", false, 120}, TCase{true, " 1 ", true, 1},
                           TCase{true, "200", false, 200}, TCase{false, "150", true, 0}}) {
        Form->show();
        Confirm(c.On, c.Typed, c.Sound);
        ASSERT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
        EXPECT_FALSE(Form->isVisible());
        EXPECT_EQ(Settings.TempLimit, c.Limit);
        EXPECT_EQ(Settings.AlarmSound, c.Sound);
        const TSysParaInfo loaded = Reloaded();
        EXPECT_EQ(loaded.TempLimit, c.Limit) << c.Typed;
        EXPECT_EQ(loaded.AlarmSound, c.Sound) << c.Typed;
        EXPECT_EQ(Stored().size(), fresh + 2);  // one record per key, ever
    }
    EXPECT_EQ(Changes, 5);
}

// A refused limit: its message, the focus on the field, the dialog open
// with what was typed, nothing stored and no handler called.
TEST_F(AlarmSetFormTest, ATickedBoxRefusesLimitsOutsideOneTo200) {
    const size_t before = Stored().size();
    for (const char* typed : {"0", "201", "abc", "", "-5"}) {
        Log.Clear();
        Form->AlarmSoundCheckBox()->setFocus();
        Confirm(true, typed, false);
        EXPECT_EQ(Log.Messages(), QStringList{QString::fromUtf8(kTempLimitMessage)}) << typed;
        EXPECT_TRUE(Form->isVisible());
        EXPECT_EQ(Form->focusWidget(), Form->TempLimitEdit());
        EXPECT_EQ(Form->TempLimitEdit()->text(), typed);
        EXPECT_FALSE(Form->AlarmSoundCheckBox()->isChecked());
    }
    EXPECT_EQ(Changes, 0);
    EXPECT_EQ(Settings.TempLimit, 0);
    EXPECT_TRUE(Settings.AlarmSound);
    EXPECT_EQ(Stored().size(), before);
}

TEST_F(AlarmSetFormTest, AnUntickedBoxStoresNoLimitWhateverItsFieldHolds) {
    Settings.TempLimit = 90;
    Form->FormShow();
    Confirm(true, "90", true);  // stored first, then switched off
    ASSERT_EQ(Reloaded().TempLimit, 90);
    Form->show();
    Confirm(false, "abc", true);
    EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join("|").toStdString();
    EXPECT_EQ(Settings.TempLimit, 0);
    EXPECT_EQ(Reloaded().TempLimit, 0);
}

TEST_F(AlarmSetFormTest, CancelStoresNothingAndCallsNoHandler) {
    const size_t before = Stored().size();
    Form->TempLimitCheckBox()->setChecked(true);
    Form->TempLimitEdit()->setText("100");
    Form->AlarmSoundCheckBox()->setChecked(false);
    QTest::mouseClick(Form->CancelButton(), Qt::LeftButton);
    EXPECT_EQ(Form->result(), QDialog::Rejected);
    EXPECT_EQ(Changes, 0);
    EXPECT_EQ(Settings.TempLimit, 0);
    EXPECT_TRUE(Settings.AlarmSound);
    EXPECT_EQ(Stored().size(), before);
}
