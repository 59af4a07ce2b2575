#include "polling/ScanCycle.h"

#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>

#include "engine/VeltErrors.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanView.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "store/Items.h"
#include "store/SysParaDbMgr.h"

void IScanView::ReportError(const std::string& message) {
    qWarning("%s", message.c_str());
}

void IScanView::ReportRecordingError(const std::string& message) {
    ReportError(message);
}

void IScanView::ShowRecordingState(TStationState& station) {
    (void)station;
}

void IScanView::StationReplied(TStationState& station, TReplyEffect effect) {
    (void)station;
    (void)effect;
}

void IScanView::PassDone() {}

std::vector<TStationLine*> IScanView::Lines() {
    std::vector<TStationLine*> lines;
    for (TStationState* station : Stations()) {
        TStationLine* line = station != nullptr ? station->Link : nullptr;
        if (line != nullptr && std::find(lines.begin(), lines.end(), line) == lines.end()) {
            lines.push_back(line);
        }
    }
    return lines;
}

TScanCycle::TScanCycle(IScanView& view, const TSysParaInfo& settings, TSampleRecorder& recorder)
    : FView(view),
      FSettings(settings),
      FRecorder(recorder),
      FClock(&Now),
      FOfflineClock(&MonotonicNow) {
    FScanTimer.setObjectName("ScanTimer");
    FScanTimer2.setObjectName("ScanTimer2");
    // Precise timers never fire early; the coarse default may by 5%.
    FScanTimer.setTimerType(Qt::PreciseTimer);
    FScanTimer2.setTimerType(Qt::PreciseTimer);
    FScanTimer2.setSingleShot(true);
    FScanTimer2.setInterval(kTemperatureDelayMs);
    QObject::connect(&FScanTimer, &QTimer::timeout, &FScanTimer,
                     [this] { Guarded(&TScanCycle::ScanTimerTimer); });
    QObject::connect(&FScanTimer2, &QTimer::timeout, &FScanTimer2,
                     [this] { Guarded(&TScanCycle::ScanTimer2Timer); });
    FSampleRetryTimer.setObjectName("SampleRetryTimer");
    FSampleRetryTimer.setSingleShot(true);
    FSampleRetryTimer.setInterval(kSampleRetryMs);
    QObject::connect(&FSampleRetryTimer, &QTimer::timeout, &FSampleRetryTimer,
                     [this] { Guarded(&TScanCycle::SampleRetryTimer); });
    FLineTimer.setObjectName("LineTimer");
    FLineTimer.setSingleShot(true);
    FLineTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FLineTimer, &QTimer::timeout, &FLineTimer,
                     [this] { Guarded(&TScanCycle::LineTimerTimer); });
    FScanInterval = FSettings.ScanInterval;
    // History files open on the recorder's opener thread; the end of each
    // open comes back to this thread as a queued call, which stores what
    // the opened stations queued meanwhile.
    FRecorder.SetOpenedHandler([this] {
        if (FOpenedQueued.exchange(true)) return;
        QMetaObject::invokeMethod(
            &FSampleRetryTimer, [this] { Guarded(&TScanCycle::HistoriesOpened); },
            Qt::QueuedConnection);
    });
}

TScanCycle::~TScanCycle() {
    // No call comes any more once this returns; a queued one dies with the
    // retry timer it was queued on.
    FRecorder.SetOpenedHandler(nullptr);
}

void TScanCycle::ScanTimerTimer() {
    // A relay pass that falls on, or just before, the temperature pass this
    // cycle still owes is left out. Its requests would leave every port busy
    // (4) when the temperature pass comes, and two requests sent back to back
    // are answered within one chunk, of which only the first reply counts:
    // with a scan interval dividing 4000 ms no temperature would ever arrive.
    if (FScanTimer2.isActive() && FScanTimer2.remainingTime() < kPassGuardMs) return;
    ++FRelayPasses;
    RunPass(kFnReadCoils, FSettings.AutoReconnect && FRelayPasses % kAbsentProbeCycles == 0);
    if (!FScanTimer2.isActive()) FScanTimer2.start();
}

void TScanCycle::ScanTimer2Timer() {
    FScanTimer2.stop();
    RunPass(kFnReadInputRegs);
}

void TScanCycle::StartScanning() {
    SetScanTimerEnabled(true);
}

void TScanCycle::StopScanning() {
    SetScanTimerEnabled(false);
}

void TScanCycle::ApplyTimers() {
    const bool wasEnabled = FScanEnabled;
    SetScanTimerEnabled(false);
    FScanInterval = FSettings.ScanInterval;
    SetScanTimerEnabled(wasEnabled);
}

void TScanCycle::SetScanTimerEnabled(bool enabled) {
    if (enabled == FScanEnabled) return;
    FScanEnabled = enabled;
    if (enabled && FScanInterval > 0) {
        FScanTimer.start(FScanInterval);
    } else {
        FScanTimer.stop();
    }
}

void TScanCycle::SetClock(TClock clock) {
    FClock = clock ? std::move(clock) : TClock(&Now);
}

void TScanCycle::SetOfflineClock(TClock clock) {
    FOfflineClock = clock ? std::move(clock) : TClock(&MonotonicNow);
}

void TScanCycle::Guarded(void (TScanCycle::*handler)()) {
    try {
        (this->*handler)();
    } catch (const std::exception& error) {
        FView.ReportError(error.what());
    } catch (...) {
        FView.ReportError("scan pass failed");
    }
}

// --- Passes -------------------------------------------------------------------

void TScanCycle::RunPass(uint8_t function, bool probeAbsent) {
    // One time for the whole pass: every station's offline rule compares
    // against the same moment.
    const TDateTime now = FOfflineClock();
    TStationState* selected = FView.SelectedStation();
    for (TStationState* station : FView.Stations()) {
        if (station == nullptr) continue;
        FollowNetworkLine(*station, now);
        if (IsPolledState(station->State)) {
            switch (SharedLineOf(*station) != nullptr ? QueueRequest(*station, function)
                                                      : SendRequest(*station, function)) {
                case TSendResult::Sent:
                    break;
                case TSendResult::Busy:
                    station->State = kStatePortBusy;
                    break;
                case TSendResult::Error:
                    station->State = kStateWriteError;
                    break;
            }
            ApplyOfflineRule(*station, now);
        } else if (probeAbsent && station->State == kStateAbsent) {
            // Only a reply changes an absent station: a port that cannot
            // take the request now is tried again at the next probe.
            if (SharedLineOf(*station) != nullptr) {
                QueueRequest(*station, function);
            } else {
                SendRequest(*station, function);
            }
        }
        // The only way a state set by a pass (3, 4, 6) reaches the status bar
        // and the connection commands.
        if (station == selected) {
            FView.ShowStateText(station->State);
            FView.RefreshConnectionCommands(*station);
        }
    }
    // The shared lines start on what the pass queued.
    for (TStationLine* line : SharedLines()) PumpLine(*line);
    ArmLineTimer();
    FView.PassDone();
}

void TScanCycle::FollowNetworkLine(TStationState& station, TDateTime now) const {
    const TComm* port = station.Port.get();
    if (port == nullptr || !port->IsNetworkLine()) return;
    if (!port->IsConnected()) {
        // Down: not polled, shown as a port that does not open, until the
        // connection is back (an operator's "断开连接" stays as it is).
        if (station.State != kStateManualDisconnect) station.State = kStateOpenError;
    } else if (station.State == kStateOpenError) {
        // Back: polled from this pass on, with a fresh offline period.
        station.State = kStateConnecting;
        station.RefTime = now;
    }
}

TScanCycle::TSendResult TScanCycle::SendRequest(TStationState& station, uint8_t function) {
    try {
        if (station.Port == nullptr) throw std::logic_error("station without a port");
        uint8_t frame[kRequestSize];
        if (function == kFnReadCoils) {
            BuildReadCoils(station.Address, frame);
        } else {
            BuildReadInputRegs(station.Address, frame);
        }
        // A port still writing an earlier request gets no new one: requests
        // must not pile up behind a line that does not drain.
        if (!station.Port->SendIdle()) return TSendResult::Busy;
        if (!station.Port->SendData(frame, kRequestSize)) return TSendResult::Busy;
        station.Line.RequestSent(frame, kRequestSize, FOfflineClock(), FClock());
        return TSendResult::Sent;
    } catch (...) {
        return TSendResult::Error;
    }
}

TScanCycle::TSendResult TScanCycle::QueueRequest(TStationState& station, uint8_t function) {
    TStationLine* line = SharedLineOf(station);
    if (line == nullptr || station.Port == nullptr) return TSendResult::Error;
    if (!station.Port->IsOpen()) return TSendResult::Busy;
    // A request of this kind still waiting for its turn (or its reply) is
    // not queued again: a line slower than the passes shows as busy.
    if (line->Exchange.Enqueue(&station, station.Address, function) ==
        TLineExchange::TQueueResult::AlreadyWaiting) {
        return TSendResult::Busy;
    }
    return TSendResult::Sent;
}

void TScanCycle::ApplyOfflineRule(TStationState& station, TDateTime now) const {
    // The real time since the station last answered, was made or was declared
    // absent, whole days included: a station silent for a day and a minute
    // has been silent for longer than any limit, not for one minute.
    const int64_t silentMs = MillisecondsBetween(now, station.RefTime);
    if (silentMs > FSettings.MaxOLTimer) {
        station.State = kStateAbsent;
        station.RefTime = now;
    }
}

// --- Replies ------------------------------------------------------------------

TStationState* TScanCycle::FindStation(const TComm* port) const {
    if (port == nullptr) return nullptr;
    for (TStationState* station : FView.Stations()) {
        if (station != nullptr && station->Port.get() == port) return station;
    }
    return nullptr;
}

void TScanCycle::ReceiveData(TComm* sender, const uint8_t* buffer, uint16_t length) {
    TStationState* station = FindStation(sender);
    if (station == nullptr) return;
    if (TStationLine* line = SharedLineOf(*station)) {
        ReceiveOnLine(*line, buffer, length);
        return;
    }
    // Alone on its port: each chunk is one whole reply from its first byte;
    // a reply split over two chunks fails on both halves.
    station->Line.ChunkReceived(buffer, length, FOfflineClock(), FClock());
    AcceptReply(*station, buffer, length);
}

void TScanCycle::AcceptReply(TStationState& station, const uint8_t* frame, size_t length) {
    const TReplyEffect effect = ApplyReply(station, frame, length, FOfflineClock());
    if (effect == TReplyEffect::Ignored) return;
    // A failed sample skips the refresh of this reply.
    const bool stored = effect != TReplyEffect::SampleDue || RecordSample(station, FClock());
    FView.StationReplied(station, effect);
    // A sample waiting for its history file to open is refreshed once its
    // open has ended and it is stored (HistoriesOpened).
    if (!stored || TSampleRecorder::AwaitsOpen(station)) return;
    RefreshSelected(station);
}

void TScanCycle::RefreshSelected(TStationState& station) {
    if (&station == FView.SelectedStation()) {
        FView.RefreshConnectionCommands(station);
        FView.ShowLiveView();
    }
}

// --- Shared lines -------------------------------------------------------------

TStationLine* TScanCycle::SharedLineOf(const TStationState& station) {
    TStationLine* line = station.Link;
    return line != nullptr && line->IsShared() ? line : nullptr;
}

std::vector<TStationLine*> TScanCycle::SharedLines() const {
    std::vector<TStationLine*> lines = FView.Lines();
    std::erase_if(lines, [](const TStationLine* line) { return !line->IsShared(); });
    return lines;
}

void TScanCycle::ReceiveOnLine(TStationLine& line, const uint8_t* buffer, uint16_t length) {
    HandleLineEvents(line, line.Exchange.Feed(buffer, length, TLineClock::now()));
    // A reply ends its request: the next may go once the gap has passed.
    PumpLine(line);
    ArmLineTimer();
}

void TScanCycle::HandleLineEvents(TStationLine& line, const std::vector<TExchangeEvent>& events) {
    for (const TExchangeEvent& event : events) {
        TStationState* station = event.Station;
        if (event.Kind == TExchangeEventKind::TimedOut) {
            if (station != nullptr) station->Line.TimedOut();
            continue;
        }
        TFrameKind kind = TFrameKind::Dropped;
        switch (event.Kind) {
            case TExchangeEventKind::Reply:
                kind = TFrameKind::Reply;
                break;
            case TExchangeEventKind::Exception:
                kind = TFrameKind::Exception;
                break;
            case TExchangeEventKind::CrcError:
                kind = TFrameKind::CrcError;
                break;
            default:
                break;
        }
        const TDateTime wall = FClock();
        line.Monitor.MonitorFrame(kind, event.Bytes.data(), event.Bytes.size(), wall);
        if (station == nullptr) continue;
        station->Line.FrameReceived(kind, event.Bytes.data(), event.Bytes.size(), FOfflineClock(),
                                    wall);
        // An exception answers its request but carries no values.
        if (kind == TFrameKind::Reply) {
            AcceptReply(*station, event.Bytes.data(), event.Bytes.size());
        }
    }
}

void TScanCycle::PumpLine(TStationLine& line) {
    const TLineClock::time_point now = TLineClock::now();
    // Settings not loaded yet (all zero) wait the default.
    const int32_t timeout =
        FSettings.ReplyTimeout >= kMinReplyTimeout && FSettings.ReplyTimeout <= kMaxReplyTimeout
            ? FSettings.ReplyTimeout
            : kDefaultReplyTimeout;
    line.Exchange.SetReplyTimeout(std::chrono::milliseconds(timeout));
    HandleLineEvents(line, line.Exchange.Expire(now));
    while (std::optional<TExchangeRequest> request = line.Exchange.TakeNext(now)) {
        TStationState* station = request->Station;
        // A station disconnected by the operator (or gone) while its request
        // waited is skipped: nothing goes out for it.
        if (station == nullptr || station->State == kStateManualDisconnect ||
            line.Port == nullptr) {
            line.Exchange.Abandon();
            continue;
        }
        uint8_t frame[kRequestSize];
        if (request->Function == kFnReadCoils) {
            BuildReadCoils(request->Address, frame);
        } else {
            BuildReadInputRegs(request->Address, frame);
        }
        if (!line.Port->SendData(frame, kRequestSize)) {
            // The line took nothing (closed, or down while its connection
            // comes back): the station shows busy, as on a port of its own.
            line.Exchange.Abandon();
            if (IsPolledState(station->State)) station->State = kStatePortBusy;
            continue;
        }
        const TDateTime wall = FClock();
        station->Line.RequestSent(frame, kRequestSize, FOfflineClock(), wall);
        line.Monitor.MonitorFrame(TFrameKind::Request, frame, kRequestSize, wall);
        break;
    }
}

void TScanCycle::ArmLineTimer() {
    std::optional<TLineClock::time_point> earliest;
    for (TStationLine* line : SharedLines()) {
        const std::optional<TLineClock::time_point> wake = line->Exchange.NextWake();
        if (wake && (!earliest || *wake < *earliest)) earliest = wake;
    }
    if (!earliest) {
        FLineTimer.stop();
        return;
    }
    // Rounded up: a timer that fires early finds nothing due and waits again.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*earliest - TLineClock::now());
    FLineTimer.start(static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000)));
}

void TScanCycle::LineTimerTimer() {
    for (TStationLine* line : SharedLines()) PumpLine(*line);
    ArmLineTimer();
}

TComm::TReceiveDataEvent TScanCycle::ReceiveHandler() {
    return [this](TComm* sender, const uint8_t* buffer, uint16_t length) {
        ReceiveData(sender, buffer, length);
    };
}

bool TScanCycle::RecordSample(TStationState& station, TDateTime now) {
    return StoreSamples(station, &now);
}

bool TScanCycle::StoreSamples(TStationState& station, const TDateTime* now) {
    const TDateTime time = now != nullptr ? *now : FClock();
    std::string message;
    try {
        const std::string notice =
            now != nullptr ? FRecorder.Record(station, *now) : FRecorder.StorePending(station);
        // Waiting for its file to open is no failure, and nothing stored yet:
        // the recording state stays as it is until the open has ended.
        const bool waiting = TSampleRecorder::AwaitsOpen(station);
        if (!waiting) RecordingStored(station);
        // A history file that had to be recovered first: the operator hears
        // of it once, when it happens (the next samples find it sound).
        if (!notice.empty()) FView.ReportError(notice);
        if (!waiting) WatchHistoryRoom(station, time, false);
        return true;
    } catch (const EHistoryFileFull& full) {
        // Backed up: the waiting samples go into a new file at once (the
        // day's attempt is spent, so this does not come round again).
        if (WatchHistoryRoom(station, time, true)) return StoreSamples(station, nullptr);
        message = full.what();
    } catch (const EFileBusy& busy) {
        // Another process reads the file: the samples wait and are tried
        // again shortly; the window goes on at once.
        const TDateTime monotonic = FOfflineClock();
        if (!station.RecordingBusy) {
            station.RecordingBusy = true;
            station.BusySince = monotonic;
        }
        if (!FSampleRetryTimer.isActive()) FSampleRetryTimer.start();
        if (MillisecondsBetween(monotonic, station.BusySince) <= kBusyFailureMs) return true;
        message = busy.what();
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
        message = "recording a sample failed";
    }
    RecordingFailed(station, message);
    return false;
}

void TScanCycle::RecordingStored(TStationState& station) {
    station.RecordingBusy = false;
    station.RecordingErrorReported = false;
    if (station.RecordingFailure.empty()) return;
    station.RecordingFailure.clear();
    FView.ShowRecordingState(station);
}

bool TScanCycle::WatchHistoryRoom(TStationState& station, TDateTime now, bool full) {
    if (!FRecorder.NearlyFull(station)) return false;
    const TDateTime today = DateOf(now);
    if (station.NearlyFullDay == today) return false;
    station.NearlyFullDay = today;
    if (FSettings.IsBackUp && FHistoryBackUp) {
        try {
            if (FHistoryBackUp(station)) return true;
        } catch (const std::exception&) {
            // A backup that raised is one that failed: the warning goes out.
        }
    }
    if (!full) FView.ReportRecordingError(HistoryNearlyFullText(station));
    return false;
}

void TScanCycle::RecordingFailed(TStationState& station, const std::string& message) {
    const bool changed = station.RecordingFailure != message;
    station.RecordingFailure = message;
    if (changed) FView.ShowRecordingState(station);
    // Once per failure episode: a file that cannot be written fails on every
    // reply. The flag is set first so a reply handled while the report's box
    // is open does not add one.
    if (!station.RecordingErrorReported) {
        station.RecordingErrorReported = true;
        FView.ReportRecordingError(message);
    }
}

void TScanCycle::SampleRetryTimer() {
    for (TStationState* station : FView.Stations()) {
        if (station == nullptr || !station->RecordingBusy) continue;
        if (station->PendingSamples.empty()) {
            station->RecordingBusy = false;
            continue;
        }
        StoreSamples(*station, nullptr);
    }
}

void TScanCycle::HistoriesOpened() {
    // Cleared before the walk: an open that ends during it queues another.
    // An exchange, so that it sees every open whose end found it set.
    FOpenedQueued.exchange(false);
    for (TStationState* station : FView.Stations()) {
        if (station != nullptr && TSampleRecorder::OpenDone(*station) &&
            StoreSamples(*station, nullptr) && !TSampleRecorder::AwaitsOpen(*station)) {
            RefreshSelected(*station);
        }
    }
}

// --- Reconnect ----------------------------------------------------------------

void TScanCycle::Reconnect(TStationState& station) {
    TComm* port = station.Port.get();
    // A port that never opened, whose worker threads ended when its line
    // hung up (an adapter pulled out), or whose writer is stuck on a line
    // that never drains (its threads live on, but nothing goes out), is
    // opened anew on the same name: the device may be back. Closing drops
    // what the old opening left queued, its replies included.
    // A serial server's connection that is down comes back by itself: closing
    // it would stop that and wait for a connect here.
    const bool networkDown = port != nullptr && port->IsNetworkLine() && !port->IsConnected();
    if (port != nullptr && !networkDown &&
        (!port->IsOpen() || !port->WorkersAlive() || port->WriteStalledFor() >= kStuckWriteLimit)) {
        try {
            port->ClosePort();
        } catch (...) {
            // What is left of the old opening goes either way.
        }
        // What a shared line's exchange held went with the old opening.
        if (station.Link != nullptr) station.Link->Exchange.Clear();
        try {
            port->OpenPort();
        } catch (...) {
            // Every station of the line shows that it does not open.
            station.State = kStateOpenError;
            if (station.Link != nullptr) {
                for (TStationState* other : station.Link->Stations) {
                    other->State = kStateOpenError;
                }
            }
            return;
        }
        // The line is open again for every station on it that was waiting
        // for it; stations the operator disconnected stay as they are.
        if (station.Link != nullptr) {
            for (TStationState* other : station.Link->Stations) {
                if (other == &station || other->State != kStateOpenError) continue;
                other->State = kStateConnecting;
                other->RefTime = FOfflineClock();
            }
        }
    }
    station.State = kStateConnecting;
    // A fresh offline period: a station reconnected after it was declared
    // absent must not be declared absent again by the very next pass.
    station.RefTime = FOfflineClock();
}
