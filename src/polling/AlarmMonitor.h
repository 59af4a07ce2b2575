#pragma once
// The alarm rules of every station: accepted replies and connection state
// changes in, events out. Pure logic (no Qt, no files, no clock): the caller
// passes the time and stores the events it gets back (TEventDbMgr::AddEvent),
// in the order given.
//
// Conditions per station (keyed by its address), each an alarm of its own:
//   通讯中断    the state enters 3, 5 or 6; clears at state 0 (a reply accepted)
//   传感器故障  relay bit 0, or a temperature register above 240 (Detail
//               names the phases: "A相", "B相", "C相", "铁芯")
//   超温报警    relay bit 2          跳闸  relay bit 3
//   温度越限    a temperature in degrees (raw - 40, as the live view shows
//               it) at or above the limit; 0 = no limit. Registers above 240
//               and an iron-core register of 0 (no reading) never count.
// and as events that are no alarm, 风机启动 / 风机停止 when relay bit 1
// changes between two accepted relay replies (not on a station's first).
// A reply that was rejected (CRC, length) is never passed in, so it changes
// nothing. Each change is one event; nothing repeats while a condition holds.
//
// Alarm states (ANSI/ISA-18.2):
//
//   normal --raise--> active unacknowledged --ack--> active acknowledged
//                      |      ^                          |
//                    clear    raise                    clear --> normal
//                      v      |
//                   cleared unacknowledged --ack--> normal
//
// Normal alarms leave the Active list. Every raise, clear and acknowledge
// is an event; an acknowledge of an acknowledged alarm is none.
//
// Chattering: a condition that raised and cleared more than 5 times within
// the last 10 minutes (counted at its clears) is chattering. It keeps logging
// every change, but once the operator has acknowledged it while it chatters
// its raises no longer sound; it sounds again when it has calmed down (at
// most 5 cycles in the last 10 minutes at a raise).

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "store/DateTime.h"
#include "store/EventDbMgr.h"

// One change to store and show. Texts are UTF-8.
struct TAlarmEvent {
    TDateTime Time = 0;
    uint8_t Address = 0;
    std::string PosName;
    TEventKind Kind = kEventCommLost;
    TEventAction Action = kActionRaised;
    // Raw register (sensor fault), degrees (temperature limit), the relay
    // byte (relay conditions and fan events) or the state code (通讯中断).
    int32_t Value = 0;
    std::string Detail;
};

enum class TAlarmState : uint8_t {
    ActiveUnacknowledged,
    ActiveAcknowledged,
    ClearedUnacknowledged,
};

// One listed (not normal) alarm.
struct TAlarm {
    // Given at the raise from normal; kept while the alarm is listed.
    int32_t Id = 0;
    uint8_t Address = 0;
    std::string PosName;
    TEventKind Kind = kEventCommLost;
    TAlarmState State = TAlarmState::ActiveUnacknowledged;
    int32_t Value = 0;  // of the latest raise or clear
    std::string Detail;
    TDateTime RaisedAt = 0;   // latest raise
    TDateTime ClearedAt = 0;  // latest clear; 0 while active
    bool Chattering = false;
};

// A station's worst listed alarm, for colouring its row and node; ordered
// from harmless to worst.
enum class TStationAlarmLevel : uint8_t {
    Normal,
    ClearedUnacknowledged,
    ActiveAcknowledged,
    ActiveUnacknowledged,
};

// The chattering rule's figures.
inline constexpr int kChatterCycles = 5;                       // more than this
inline constexpr TDateTime kChatterWindow = 10.0 / (24 * 60);  // 10 minutes, in days

class TAlarmMonitor {
  public:
    // Degrees; 0 = off. Takes effect at the next temperatures accepted.
    void SetTempLimit(int32_t degrees) { FTempLimit = degrees; }
    int32_t TempLimit() const { return FTempLimit; }

    // An accepted relay reply: sensor fault (bit 0), fan (bit 1), alarm
    // (bit 2) and trip (bit 3).
    std::vector<TAlarmEvent> RelaysAccepted(uint8_t addr, const std::string& pos,
                                            uint8_t relayFlags, TDateTime now);
    // An accepted temperature reply: A, B, C, iron core raw registers.
    std::vector<TAlarmEvent> TemperaturesAccepted(uint8_t addr, const std::string& pos,
                                                  const std::array<uint16_t, 4>& rawTemp,
                                                  TDateTime now);
    // The station's connection state changed (codes of TConnectionState).
    std::vector<TAlarmEvent> StateChanged(uint8_t addr, const std::string& pos, uint8_t state,
                                          TDateTime now);

    // Acknowledges one listed alarm; nothing for an unknown id or one
    // already acknowledged.
    std::vector<TAlarmEvent> Acknowledge(int32_t alarmId, TDateTime now);
    std::vector<TAlarmEvent> Acknowledge(uint8_t addr, TEventKind kind, TDateTime now);
    // Every unacknowledged alarm, in the order of Active.
    std::vector<TAlarmEvent> AcknowledgeAll(TDateTime now);

    // Listed alarms, by address, then kind.
    std::vector<TAlarm> Active() const;
    // An alarm is active unacknowledged or cleared unacknowledged.
    bool HasUnacknowledged() const;
    // An alarm is active unacknowledged and not silenced by chattering.
    bool ShouldSound() const;
    TStationAlarmLevel StationWorst(uint8_t addr) const;
    // The station was deleted: its alarms and memory go, without events.
    void Forget(uint8_t addr);

  private:
    struct TCondition {
        bool Active = false;
        bool Listed = false;
        bool Acknowledged = false;
        int32_t Id = 0;
        int32_t Value = 0;
        std::string Detail;
        std::string PosName;
        TDateTime RaisedAt = 0;
        TDateTime ClearedAt = 0;
        std::deque<TDateTime> Clears;  // within the chattering window
        bool Chattering = false;
        bool Silenced = false;  // acknowledged while chattering
    };
    struct TStation {
        std::map<TEventKind, TCondition> Conditions;
        bool HasRelays = false;
        uint8_t RelayFlags = 0;
        bool RelayFault = false;
        uint8_t FaultPhases = 0;  // bit n: register n above 240
        std::array<uint16_t, 4> RawTemp{};
    };

    // Brings condition Kind of the station to Active, adding the change's
    // event to Events (none when it already was).
    void Set(uint8_t addr, const std::string& pos, TEventKind kind, bool active, int32_t value,
             const std::string& detail, TDateTime now, std::vector<TAlarmEvent>& events);
    void Acknowledge(uint8_t addr, TEventKind kind, TCondition& condition, TDateTime now,
                     std::vector<TAlarmEvent>& events);
    // 传感器故障 from the relay bit and the registers last accepted.
    void UpdateSensorFault(uint8_t addr, const std::string& pos, const TStation& station,
                           TDateTime now, std::vector<TAlarmEvent>& events);
    static TAlarmState StateOf(const TCondition& condition);
    static TAlarm AsAlarm(uint8_t addr, TEventKind kind, const TCondition& condition);

    std::map<uint8_t, TStation> FStations;
    int32_t FTempLimit = 0;
    int32_t FNextId = 1;
};
