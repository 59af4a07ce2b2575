// The window's alarms: the rules fed from every accepted reply and every
// pass, the event log in data/event.dt, and what the operator sees and hears
// of alarms nobody has acknowledged yet.
//
//   reply accepted --> FollowAlarms --> rules --> events --> AlarmEvents
//   pass done      --> FollowStates -->                        | store each
//                                                              | nodes, overview
//                                                              | attention, sound

#include <QApplication>
#include <QTabWidget>
#include <QTreeWidget>
#include <exception>
#include <optional>

#include "app/AlarmView.h"
#include "app/MainForm.h"
#include "app/OverviewView.h"
#include "app/StationNode.h"
#include "polling/StationState.h"
#include "store/EventDbMgr.h"
#include "store/StorePaths.h"
#include "store/TableRecovery.h"

namespace {

std::string PosNameOf(const TStationState& station) {
    return station.Station != nullptr ? station.Station->StationPosName.Utf8() : std::string();
}

}  // namespace

void TMainForm::OpenEventLog() {
    const std::string fileName = EventFileName(FProgramDir);
    std::optional<TTableRecovery> recovery;
    try {
        FEventMgr = OpenRecovering<TEventDbMgr>(fileName, kEventKind, Now(), true, recovery);
        if (FAlarmPage != nullptr) FAlarmPage->SetEventStore(FEventMgr.get());
    } catch (const std::exception& error) {
        // Alarms still show and sound; only their log is missing.
        FEventMgr.reset();
        ReportError("报警记录文件 \"" + fileName + "\" 无法打开：" + error.what());
    }
    if (recovery) {
        ReportError("报警记录文件 \"" + fileName + "\" 已损坏：已恢复 " +
                    std::to_string(recovery->Salvage.Count()) + " 条记录，原文件保存为 \"" +
                    recovery->KeptAs + "\"。");
    }
}

TDateTime TMainForm::AlarmNow() const {
    return FAlarmClock ? FAlarmClock() : Now();
}

void TMainForm::FollowAlarms(TStationState& station, TReplyEffect effect) {
    const TDateTime now = AlarmNow();
    const std::string pos = PosNameOf(station);
    std::vector<TAlarmEvent> events;
    // A reply clears "通讯中断" before its values are judged.
    FollowState(station, now);
    if (effect == TReplyEffect::Relays) {
        events = FAlarms.RelaysAccepted(station.Address, pos, station.RelayFlags, now);
    } else if (effect != TReplyEffect::Ignored) {
        events = FAlarms.TemperaturesAccepted(station.Address, pos, station.RawTemp, now);
    }
    if (!events.empty()) AlarmEvents(events);
}

void TMainForm::FollowStates() {
    const TDateTime now = AlarmNow();
    for (TStationState* station : StationStates()) FollowState(*station, now);
}

void TMainForm::FollowState(TStationState& station, TDateTime now) {
    auto [known, added] = FAlarmStates.try_emplace(station.Address, station.State);
    if (!added && known->second == station.State) return;
    known->second = station.State;
    const std::vector<TAlarmEvent> events =
        FAlarms.StateChanged(station.Address, PosNameOf(station), station.State, now);
    if (!events.empty()) AlarmEvents(events);
}

void TMainForm::AlarmEvents(const std::vector<TAlarmEvent>& events) {
    bool raised = false;
    for (const TAlarmEvent& event : events) {
        raised = raised || event.Action == kActionRaised;
        if (!FEventMgr) continue;
        try {
            FEventMgr->AddEvent(event.Time, event.Address, event.PosName, event.Kind, event.Action,
                                event.Value, event.Detail);
            FEventErrorReported = false;
        } catch (const std::exception& error) {
            // Once per failure episode; the alarm itself still shows.
            if (!FEventErrorReported) {
                FEventErrorReported = true;
                ReportRecordingError(std::string("报警记录写入失败：") + error.what());
            }
        }
    }
    ShowAlarmIndications();
    if (raised && FAlarms.ShouldSound()) QApplication::alert(this);
}

void TMainForm::ShowAlarmIndications() {
    for (int i = 0; i < FRoot->childCount(); ++i) {
        if (TStationNode* node = AsStationNode(FRoot->child(i))) {
            node->ShowAlarmLevel(FAlarms.StationWorst(node->State().Address));
        }
    }
    RefreshOverview();
    if (FAlarmPage != nullptr && FPages->currentWidget() == FAlarmPage) FAlarmPage->RefreshActive();
    const bool sound = FSysParaInfo.AlarmSound && FAlarms.ShouldSound();
    if (sound == FSounding) return;
    FSounding = sound;
    if (FAlarmSound) FAlarmSound(sound);
}

void TMainForm::SetAlarmSoundPlayer(TAlarmSoundPlayer player) {
    if (FSounding && FAlarmSound) FAlarmSound(false);
    FAlarmSound = std::move(player);
    if (FSounding && FAlarmSound) FAlarmSound(true);
}
