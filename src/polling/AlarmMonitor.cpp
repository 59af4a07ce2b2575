#include "polling/AlarmMonitor.h"

#include "polling/StationLive.h"
#include "store/RawValues.h"

namespace {

constexpr std::array<const char*, 4> kPhaseNames = {"A相", "B相", "C相", "铁芯"};
constexpr size_t kIronIndex = 3;
constexpr const char* kPhaseSeparator = "、";

bool IsCommLostState(uint8_t state) {
    return state == kStateAbsent || state == kStateOpenError || state == kStateWriteError;
}

}  // namespace

TAlarmState TAlarmMonitor::StateOf(const TCondition& condition) {
    if (!condition.Active) return TAlarmState::ClearedUnacknowledged;
    return condition.Acknowledged ? TAlarmState::ActiveAcknowledged
                                  : TAlarmState::ActiveUnacknowledged;
}

void TAlarmMonitor::Set(uint8_t addr, const std::string& pos, TEventKind kind, bool active,
                        int32_t value, const std::string& detail, TDateTime now,
                        std::vector<TAlarmEvent>& events) {
    TCondition& c = FStations[addr].Conditions[kind];
    if (c.Active == active) return;
    c.Active = active;
    c.Value = value;
    c.Detail = detail;
    c.PosName = pos;
    // The chattering window slides with every change.
    while (!c.Clears.empty() && c.Clears.front() < now - kChatterWindow) c.Clears.pop_front();
    if (active) {
        if (!c.Listed) c.Id = FNextId++;
        c.Listed = true;
        c.Acknowledged = false;
        c.RaisedAt = now;
        c.ClearedAt = 0;
        c.Chattering = static_cast<int>(c.Clears.size()) > kChatterCycles;
        if (!c.Chattering) c.Silenced = false;
    } else {
        c.ClearedAt = now;
        c.Clears.push_back(now);
        c.Chattering = static_cast<int>(c.Clears.size()) > kChatterCycles;
        // Cleared after its acknowledgement: back to normal.
        if (c.Acknowledged) c.Listed = false;
    }
    events.push_back(
        TAlarmEvent{now, addr, pos, kind, active ? kActionRaised : kActionCleared, value, detail});
}

void TAlarmMonitor::UpdateSensorFault(uint8_t addr, const std::string& pos, const TStation& station,
                                      TDateTime now, std::vector<TAlarmEvent>& events) {
    const bool active = station.RelayFault || station.FaultPhases != 0;
    // The value that caused it: the first faulty register, else the relays.
    int32_t value = station.RelayFlags;
    std::string detail;
    for (size_t i = 0; i < kPhaseNames.size(); ++i) {
        if ((station.FaultPhases & (1u << i)) == 0) continue;
        if (detail.empty()) value = station.RawTemp[i];
        if (!detail.empty()) detail += kPhaseSeparator;
        detail += kPhaseNames[i];
    }
    if (!active) value = station.RelayFlags;
    Set(addr, pos, kEventSensorFault, active, value, detail, now, events);
}

std::vector<TAlarmEvent> TAlarmMonitor::RelaysAccepted(uint8_t addr, const std::string& pos,
                                                       uint8_t relayFlags, TDateTime now) {
    std::vector<TAlarmEvent> events;
    TStation& station = FStations[addr];
    const bool hadRelays = station.HasRelays;
    const bool fanBefore = (station.RelayFlags & kRelayFan) != 0;
    station.HasRelays = true;
    station.RelayFlags = relayFlags;
    station.RelayFault = (relayFlags & kRelaySensorFault) != 0;
    const int32_t value = relayFlags;

    UpdateSensorFault(addr, pos, station, now, events);
    Set(addr, pos, kEventOverTemp, (relayFlags & kRelayAlarm) != 0, value, "", now, events);
    Set(addr, pos, kEventTrip, (relayFlags & kRelayTrip) != 0, value, "", now, events);
    const bool fan = (relayFlags & kRelayFan) != 0;
    // The first reply only tells how the fan stands, not that it changed.
    if (hadRelays && fan != fanBefore) {
        events.push_back(TAlarmEvent{now, addr, pos, fan ? kEventFanStarted : kEventFanStopped,
                                     kActionEvent, value, ""});
    }
    return events;
}

std::vector<TAlarmEvent> TAlarmMonitor::TemperaturesAccepted(uint8_t addr, const std::string& pos,
                                                             const std::array<uint16_t, 4>& rawTemp,
                                                             TDateTime now) {
    std::vector<TAlarmEvent> events;
    TStation& station = FStations[addr];
    station.RawTemp = rawTemp;
    station.FaultPhases = 0;
    // The hottest valid reading decides the limit alarm and is its value.
    bool hasReading = false;
    int32_t hottest = 0;
    size_t hottestPhase = 0;
    for (size_t i = 0; i < rawTemp.size(); ++i) {
        if (IsSensorFault(rawTemp[i])) {
            station.FaultPhases = static_cast<uint8_t>(station.FaultPhases | (1u << i));
            continue;
        }
        if (i == kIronIndex && rawTemp[i] == kIronCoreNoReading) continue;
        const int32_t degrees = TemperatureCelsius(rawTemp[i]);
        if (!hasReading || degrees > hottest) {
            hottest = degrees;
            hottestPhase = i;
        }
        hasReading = true;
    }
    UpdateSensorFault(addr, pos, station, now, events);
    const bool over = FTempLimit > 0 && hasReading && hottest >= FTempLimit;
    Set(addr, pos, kEventTempLimit, over, hottest, hasReading ? kPhaseNames[hottestPhase] : "", now,
        events);
    return events;
}

std::vector<TAlarmEvent> TAlarmMonitor::StateChanged(uint8_t addr, const std::string& pos,
                                                     uint8_t state, TDateTime now) {
    std::vector<TAlarmEvent> events;
    // States 1, 2, 4 and 7 neither raise nor clear: the station has not
    // answered again yet, nor been declared lost.
    if (IsCommLostState(state)) {
        Set(addr, pos, kEventCommLost, true, state, "", now, events);
    } else if (state == kStateConnected) {
        Set(addr, pos, kEventCommLost, false, state, "", now, events);
    }
    return events;
}

void TAlarmMonitor::Acknowledge(uint8_t addr, TEventKind kind, TCondition& c, TDateTime now,
                                std::vector<TAlarmEvent>& events) {
    if (!c.Listed || c.Acknowledged) return;
    c.Acknowledged = true;
    if (c.Chattering) c.Silenced = true;
    // A cleared alarm, once acknowledged, is back to normal.
    if (!c.Active) c.Listed = false;
    events.push_back(
        TAlarmEvent{now, addr, c.PosName, kind, kActionAcknowledged, c.Value, c.Detail});
}

std::vector<TAlarmEvent> TAlarmMonitor::Acknowledge(int32_t alarmId, TDateTime now) {
    std::vector<TAlarmEvent> events;
    for (auto& [addr, station] : FStations) {
        for (auto& [kind, c] : station.Conditions) {
            if (c.Listed && c.Id == alarmId) Acknowledge(addr, kind, c, now, events);
        }
    }
    return events;
}

std::vector<TAlarmEvent> TAlarmMonitor::Acknowledge(uint8_t addr, TEventKind kind, TDateTime now) {
    std::vector<TAlarmEvent> events;
    const auto station = FStations.find(addr);
    if (station == FStations.end()) return events;
    const auto c = station->second.Conditions.find(kind);
    if (c != station->second.Conditions.end()) Acknowledge(addr, kind, c->second, now, events);
    return events;
}

std::vector<TAlarmEvent> TAlarmMonitor::AcknowledgeAll(TDateTime now) {
    std::vector<TAlarmEvent> events;
    for (auto& [addr, station] : FStations) {
        for (auto& [kind, c] : station.Conditions) Acknowledge(addr, kind, c, now, events);
    }
    return events;
}

TAlarm TAlarmMonitor::AsAlarm(uint8_t addr, TEventKind kind, const TCondition& c) {
    TAlarm alarm;
    alarm.Id = c.Id;
    alarm.Address = addr;
    alarm.PosName = c.PosName;
    alarm.Kind = kind;
    alarm.State = StateOf(c);
    alarm.Value = c.Value;
    alarm.Detail = c.Detail;
    alarm.RaisedAt = c.RaisedAt;
    alarm.ClearedAt = c.ClearedAt;
    alarm.Chattering = c.Chattering;
    return alarm;
}

std::vector<TAlarm> TAlarmMonitor::Active() const {
    std::vector<TAlarm> list;
    for (const auto& [addr, station] : FStations) {
        for (const auto& [kind, c] : station.Conditions) {
            if (c.Listed) list.push_back(AsAlarm(addr, kind, c));
        }
    }
    return list;
}

bool TAlarmMonitor::HasUnacknowledged() const {
    for (const auto& [addr, station] : FStations) {
        for (const auto& [kind, c] : station.Conditions) {
            if (c.Listed && !c.Acknowledged) return true;
        }
    }
    return false;
}

bool TAlarmMonitor::ShouldSound() const {
    for (const auto& [addr, station] : FStations) {
        for (const auto& [kind, c] : station.Conditions) {
            if (c.Active && !c.Acknowledged && !(c.Chattering && c.Silenced)) return true;
        }
    }
    return false;
}

TStationAlarmLevel TAlarmMonitor::StationWorst(uint8_t addr) const {
    TStationAlarmLevel worst = TStationAlarmLevel::Normal;
    const auto station = FStations.find(addr);
    if (station == FStations.end()) return worst;
    for (const auto& [kind, c] : station->second.Conditions) {
        if (!c.Listed) continue;
        TStationAlarmLevel level = TStationAlarmLevel::ClearedUnacknowledged;
        if (c.Active) {
            level = c.Acknowledged ? TStationAlarmLevel::ActiveAcknowledged
                                   : TStationAlarmLevel::ActiveUnacknowledged;
        }
        if (level > worst) worst = level;
    }
    return worst;
}

void TAlarmMonitor::Forget(uint8_t addr) {
    FStations.erase(addr);
}
