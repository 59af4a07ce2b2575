// Alarms in the window: raised by any station's replies and states, shown on
// its node and overview row, heard until acknowledged, and logged in
// data/event.dt across restarts.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>

#include "app/AlarmSound.h"
#include "app/AlarmView.h"
#include "app/MainForm.h"
#include "app/OverviewView.h"
#include "app/StationNode.h"
#include "app/WindowTestSupport.h"
#include "dialogs/AlarmSetFrm.h"
#include "dialogs/Prompts.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "serial/PtyPair.h"
#include "store/EventDbMgr.h"

namespace {

std::vector<TEventInfo> StoredEvents(const std::string& programDir) {
    TEventDbMgr events(programDir + "data/event.dt", TEventDbMgr::TSharedRead{});
    std::vector<TEventInfo> list;
    events.QueryEvents(list, 0, Now() + 1);
    return list;
}

class AlarmsTest : public ::testing::Test {
  protected:
    AlarmsTest() {
        Dir.LinkPort(1, Pty1.SlavePath());
        Dir.LinkPort(2, Pty2.SlavePath());
        RegisterStations(Dir, {{1, 1, "1号主变", "温控器A"}, {2, 2, "2号主变", "温控器B"}});
        Window = StartWindow(Dir);
        Window->SetAlarmSoundPlayer([this](bool on) { Sound.push_back(on); });
    }

    TProgramDir Dir;
    TPtyPair Pty1;
    TPtyPair Pty2;
    TMessageLog Log;
    std::unique_ptr<TMainForm> Window;
    std::vector<bool> Sound;
};

}  // namespace

TEST_F(AlarmsTest, ATripOnAnUnselectedStationIsRaisedOnceShownHeardAndAcknowledged) {
    Select(*Window, 0);
    TStationState& second = StationAt(*Window, 1);
    Deliver(*Window, second, RelayReply(2, 0x08));
    Deliver(*Window, second, RelayReply(2, 0x08));  // still tripped: nothing new

    const std::vector<TAlarm> active = Window->Alarms().Active();
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].Kind, kEventTrip);
    EXPECT_EQ(active[0].Address, 2);
    EXPECT_EQ(NodeAt(*Window, 1).AlarmLevel(), TStationAlarmLevel::ActiveUnacknowledged);
    EXPECT_EQ(NodeAt(*Window, 0).AlarmLevel(), TStationAlarmLevel::Normal);
    EXPECT_TRUE(NodeAt(*Window, 1).font(0).bold());
    EXPECT_EQ(Sound, std::vector<bool>({true}));
    Window->Pages()->setCurrentWidget(Window->Overview());
    EXPECT_EQ(Window->Overview()->Table()->item(1, 0)->background().color(), QColor(255, 150, 150));

    // Acknowledged while active: the sound stops, the node keeps no mark.
    Window->AlarmEvents(Window->Alarms().AcknowledgeAll(Now()));
    EXPECT_EQ(Sound, std::vector<bool>({true, false}));
    EXPECT_EQ(NodeAt(*Window, 1).AlarmLevel(), TStationAlarmLevel::ActiveAcknowledged);
    EXPECT_FALSE(NodeAt(*Window, 1).font(0).bold());

    // The trip clears: the alarm leaves the list (it was acknowledged).
    Deliver(*Window, second, RelayReply(2, 0x00));
    EXPECT_TRUE(Window->Alarms().Active().empty());

    const std::vector<TEventInfo> events = StoredEvents(Dir.Path());
    ASSERT_EQ(events.size(), 3u);  // newest first
    EXPECT_EQ(events[2].Action, kActionRaised);
    EXPECT_EQ(events[1].Action, kActionAcknowledged);
    EXPECT_EQ(events[0].Action, kActionCleared);
    for (const TEventInfo& event : events) {
        EXPECT_EQ(event.Kind, kEventTrip);
        EXPECT_EQ(event.TmpAddr, 2);
        EXPECT_EQ(event.StationPosName.Utf8(), "2号主变");
    }
    EXPECT_TRUE(Log.Messages().isEmpty());
}

// Without a player of its own the window plays its tone while an alarm
// waits, and stops it at the acknowledgement.
TEST(AlarmSoundInTheWindow, TheDefaultToneRunsUntilTheAlarmIsAcknowledged) {
    TProgramDir dir;
    TPtyPair pty;
    dir.LinkPort(1, pty.SlavePath());
    RegisterStations(dir, {{1, 1, "1号主变", "温控器A"}});
    TMessageLog log;
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    auto* sound = window->findChild<TAlarmSound*>();
    ASSERT_NE(sound, nullptr);
    EXPECT_FALSE(sound->On());
    Deliver(*window, StationAt(*window, 0), RelayReply(1, 0x08));
    EXPECT_TRUE(window->AlarmSounding());
    EXPECT_TRUE(sound->On());
    window->AlarmEvents(window->Alarms().AcknowledgeAll(Now()));
    EXPECT_FALSE(sound->On());
    EXPECT_TRUE(log.Messages().isEmpty());
}

// A controller that goes silent raises "通讯中断" at the pass that declares
// it absent, clears at its next reply, and the log survives a restart.
TEST_F(AlarmsTest, ASilentControllerRaisesCommLostAfterTheOfflineLimitAndClearsOnItsReply) {
    TStationState& first = StationAt(*Window, 0);
    Deliver(*Window, first, RelayReply(1, 0));
    Window->ScanCycle()->ScanTimer2Timer();
    EXPECT_TRUE(Window->Alarms().Active().empty());

    const TDateTime later = first.RefTime + 1.0 / 24;
    Window->ScanCycle()->SetOfflineClock([later] { return later; });
    Window->ScanCycle()->ScanTimer2Timer();
    ASSERT_EQ(first.State, kStateAbsent);
    ASSERT_EQ(Window->Alarms().Active().size(), 2u);  // both went silent
    EXPECT_EQ(Window->Alarms().Active()[0].Kind, kEventCommLost);

    Deliver(*Window, first, RelayReply(1, 0));
    const std::vector<TAlarm> active = Window->Alarms().Active();
    ASSERT_EQ(active.size(), 2u);
    EXPECT_EQ(active[0].State, TAlarmState::ClearedUnacknowledged);
    EXPECT_EQ(active[1].State, TAlarmState::ActiveUnacknowledged);

    Window.reset();
    const std::vector<TEventInfo> events = StoredEvents(Dir.Path());
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Action, kActionCleared);
    EXPECT_EQ(events[0].TmpAddr, 1);
    Window = StartWindow(Dir);
    EXPECT_EQ(StoredEvents(Dir.Path()).size(), 3u);
}

// "报警设置" from the menu: a limit of 80 degrees raises "温度越限" on the next
// temperatures at or above it; the sound switched off stops what sounds.
TEST_F(AlarmsTest, TheAlarmSettingsApplyToTheNextTemperaturesAndTheSound) {
    TScopedModalRunner runner([](QDialog& dialog) {
        auto& form = dynamic_cast<TAlarmSetForm&>(dialog);
        form.FormShow();
        form.TempLimitCheckBox()->setChecked(true);
        form.TempLimitCheckBoxClick();
        form.TempLimitEdit()->setText("80");
        form.OKButtonClick();
        return form.result();
    });
    Window->Actions().AlarmSettings->trigger();
    ASSERT_EQ(Window->SysParaInfo().TempLimit, 80);

    TStationState& first = StationAt(*Window, 0);
    Deliver(*Window, first, TemperatureReply(1, 119, 120, 110, 0));  // 79, 80, 70 degrees
    ASSERT_EQ(Window->Alarms().Active().size(), 1u);
    EXPECT_EQ(Window->Alarms().Active()[0].Kind, kEventTempLimit);
    EXPECT_EQ(Sound, std::vector<bool>({true}));

    Window->SysParaInfo().AlarmSound = false;
    Window->ApplyTimers();
    EXPECT_EQ(Sound, std::vector<bool>({true, false}));
}

// The page "报警记录" in the window: "确认" there stops the sound and is logged.
TEST_F(AlarmsTest, AcknowledgingOnTheAlarmPageStopsTheSoundAndIsLogged) {
    Deliver(*Window, StationAt(*Window, 0), RelayReply(1, 0x04));
    ASSERT_EQ(Sound, std::vector<bool>({true}));
    Window->Pages()->setCurrentWidget(Window->AlarmPage());
    EXPECT_EQ(Window->Pages()->tabText(Window->Pages()->indexOf(Window->AlarmPage())), "报警记录");
    EXPECT_EQ(Window->AlarmPage()->ActiveTable()->rowCount(), 1);
    Window->AlarmPage()->AcknowledgeAll();
    EXPECT_EQ(Sound, std::vector<bool>({true, false}));
    EXPECT_EQ(StoredEvents(Dir.Path()).size(), 2u);
    EXPECT_EQ(NodeAt(*Window, 0).AlarmLevel(), TStationAlarmLevel::ActiveAcknowledged);
}
