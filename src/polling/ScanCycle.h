#pragma once
// TScanCycle: polls every station over its line on two timers of the main
// thread and turns the replies into the stations' live state and history
// samples. Nothing waits for a reply: a pass hands one request to each
// polled station's port and returns; replies come back one chunk at a time
// through ReceiveData.
//
// A station alone on its port gets its request at once, and each chunk
// received is judged as one whole reply. Stations that share a line
// (StationRoster.h) queue their requests in the line's exchange, which sends
// them one at a time, each after the previous one's reply or reply time-out
// (the setting ReplyTimeout) and the line's inter-frame gap; LineTimer wakes
// the exchanges when a gap or a time-out ends. A request of a kind still
// queued for a station is not queued twice: the station shows "端口忙" (4).
//
//   ScanTimer  (ScanInterval)  ScanTimerTimer:  relay pass (Read Coils),
//                                               then arm ScanTimer2
//   ScanTimer2 (4000 ms, once) ScanTimer2Timer: disarm, temperature pass
//                                               (Read Input Registers)
//
//   scanning:  stopped --StartScanning--> running --StopScanning--> stopped
//   Start and stop switch ScanTimer only: a ScanTimer2 that is armed when
//   scanning stops still runs its temperature pass once.
//
// "Enable" keeps the meaning it has for the window's timers: enabling a
// timer that is already enabled does not restart it. So a scan interval
// shorter than 4000 ms still gets its temperature pass 4000 ms after the
// relay pass that armed it, instead of having it pushed back forever; and a
// relay pass that would fall on that temperature pass is skipped, so the two
// never collide (kPassGuardMs).
//
// Everything runs on the thread that made the cycle, which runs a Qt event
// loop; no exception leaves a timer handler. The recorder's opener thread
// only queues the end of an open onto it (HistoriesOpened).

#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "polling/LineExchange.h"
#include "serial/Comm.h"
#include "store/DateTime.h"

class IScanView;
class TSampleRecorder;
struct TStationLine;
struct TStationState;
struct TSysParaInfo;

class TScanCycle {
  public:
    static constexpr int kTemperatureDelayMs = 4000;
    // A relay pass due less than this before the armed temperature pass is
    // skipped (longer than a reply plus the 100 ms gap that ends a chunk).
    static constexpr int kPassGuardMs = 500;
    // With AutoReconnect, every this many scan cycles the relay pass also
    // sends one request to each station declared absent (3): a controller
    // back from a power cut answers it and is polled again (State 0), with
    // nobody pressing "重新连接". The station stays absent until it answers.
    static constexpr int kAbsentProbeCycles = 10;
    // Samples that met a history file locked by another process (a report
    // or check reading it) are tried again this often until stored; a file
    // locked for longer than kBusyFailureMs counts as a recording failure.
    static constexpr int kSampleRetryMs = 50;
    static constexpr int64_t kBusyFailureMs = 30000;
    // A port whose writer has waited this long for the device to take a
    // byte is reopened by the reconnect command. The writer waits only once
    // the driver's output buffer is full, which the 8-byte requests sent
    // while SendIdle never do on a line that drains.
    static constexpr std::chrono::milliseconds kStuckWriteLimit{1000};

    using TClock = std::function<TDateTime()>;

    // Borrows all three; they outlive the cycle. `settings` is read where
    // its values are used: ScanInterval when the timers are applied,
    // MaxOLTimer and AutoReconnect at every pass. ScanTimer starts disabled
    // with the interval ScanInterval.
    TScanCycle(IScanView& view, const TSysParaInfo& settings, TSampleRecorder& recorder);
    TScanCycle(const TScanCycle&) = delete;
    TScanCycle& operator=(const TScanCycle&) = delete;
    ~TScanCycle();

    // The timer handlers; the window's start-up calls ScanTimerTimer once
    // directly so the first cycle starts at once.
    void ScanTimerTimer();
    void ScanTimer2Timer();

    void StartScanning();
    void StopScanning();
    bool IsScanning() const { return FScanEnabled; }
    bool IsTemperaturePassArmed() const { return FScanTimer2.isActive(); }
    int ScanInterval() const { return FScanInterval; }

    // After a settings change: remembers whether ScanTimer was enabled,
    // disables it, sets its interval to ScanInterval and restores it.
    void ApplyTimers();

    // The receive handler of every station port (OnReceiveData).
    void ReceiveData(TComm* sender, const uint8_t* buffer, uint16_t length);
    TComm::TReceiveDataEvent ReceiveHandler();

    // The reconnect command for one station: reopens its port when it is
    // not open, its worker threads have ended or its writer is stuck on a
    // line that does not drain (kStuckWriteLimit), then State 1 and a fresh
    // RefTime; State 5 when the port does not open.
    void Reconnect(TStationState& station);

    // Stores the samples that wait for a locked history file (the retry
    // timer's handler).
    void SampleRetryTimer();
    bool IsSampleRetryArmed() const { return FSampleRetryTimer.isActive(); }
    // Stores what the stations whose history file has just opened queued
    // meanwhile, or reports why it did not open (queued from the recorder's
    // opener thread).
    void HistoriesOpened();

    // Sends what the shared lines may send now and handles their reply
    // time-outs (the line timer's handler).
    void LineTimerTimer();
    bool IsLineTimerArmed() const { return FLineTimer.isActive(); }

    // A station's history file nearly full (TSampleRecorder::NearlyFull):
    // the first sample of each local day that finds it so has it backed up
    // at once when automatic backup is on ("系统自动备份") and a backup is
    // set here, or else (also when that backup fails) warns through
    // ReportRecordingError. A full file is backed up the same way, once a
    // day, and its samples are then stored at once. The day is kept with
    // the station's live record only: a restart may warn again that day.
    // The backup returns true when the history went to the backup directory.
    using THistoryBackUp = std::function<bool(TStationState&)>;
    void SetHistoryBackUp(THistoryBackUp backUp) { FHistoryBackUp = std::move(backUp); }

    // The local date-time of the samples (Now()).
    void SetClock(TClock clock);
    // The offline rule's monotonic clock (MonotonicNow()): stations' RefTime
    // is on this clock, so the wall clock can be set back or forward without
    // a silent station staying "connected" or every station going absent.
    void SetOfflineClock(TClock clock);
    TDateTime OfflineNow() const { return FOfflineClock(); }

  private:
    enum class TSendResult { Sent, Busy, Error };

    // `probeAbsent`: absent stations get this pass's request too.
    void RunPass(uint8_t function, bool probeAbsent = false);
    TSendResult SendRequest(TStationState& station, uint8_t function);
    // On a shared line: queues the request in the line's exchange.
    TSendResult QueueRequest(TStationState& station, uint8_t function);
    // The line of a station that shares its port; none for a port of its own.
    static TStationLine* SharedLineOf(const TStationState& station);
    std::vector<TStationLine*> SharedLines() const;
    void ReceiveOnLine(TStationLine& line, const uint8_t* buffer, uint16_t length);
    void HandleLineEvents(TStationLine& line, const std::vector<TExchangeEvent>& events);
    // Time-outs due, then the next request when the line may send it.
    void PumpLine(TStationLine& line);
    // LineTimer for the earliest moment a shared line needs attention.
    void ArmLineTimer();
    // One accepted reply of a station, whatever its line.
    void AcceptReply(TStationState& station, const uint8_t* frame, size_t length);
    // The live view of a reply whose sample was stored, for the selected station.
    void RefreshSelected(TStationState& station);
    // A station on a serial server's TCP connection shows "打开端口出错" (5)
    // while the connection is down and is polled again once it is back.
    void FollowNetworkLine(TStationState& station, TDateTime now) const;
    void ApplyOfflineRule(TStationState& station, TDateTime now) const;
    TStationState* FindStation(const TComm* port) const;
    // False when recording failed; the failure is reported once per episode.
    bool RecordSample(TStationState& station, TDateTime now);
    // Stores what the station has queued (now: a new sample with this time
    // first, or none for a retry) and keeps its recording state.
    bool StoreSamples(TStationState& station, const TDateTime* now);
    void RecordingStored(TStationState& station);
    // The nearly full rule above, at the sample time `now`. `full`: the
    // file refused the sample, which the failure reports already, so no
    // warning. True when the file was backed up.
    bool WatchHistoryRoom(TStationState& station, TDateTime now, bool full);
    void RecordingFailed(TStationState& station, const std::string& message);

    void SetScanTimerEnabled(bool enabled);
    // Runs a timer handler; what it raises goes to the error report.
    void Guarded(void (TScanCycle::*handler)());

    IScanView& FView;
    const TSysParaInfo& FSettings;
    TSampleRecorder& FRecorder;
    TClock FClock;
    TClock FOfflineClock;
    THistoryBackUp FHistoryBackUp;
    QTimer FScanTimer;
    QTimer FScanTimer2;
    QTimer FSampleRetryTimer;
    // Set while a call of HistoriesOpened is queued: opens that end in a
    // burst share one walk of the stations.
    std::atomic<bool> FOpenedQueued{false};
    QTimer FLineTimer;
    // ScanTimer runs while enabled with an interval above 0 (a timer with
    // interval 0 never fires).
    bool FScanEnabled = false;
    int FScanInterval = 0;
    // Relay passes run so far (the scan cycles), for the absent stations' probe.
    int64_t FRelayPasses = 0;
};
