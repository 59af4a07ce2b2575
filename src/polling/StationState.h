#pragma once
// TStationState: the live record of one registered station, the data of its
// node in the station tree. Made when the station is loaded at start-up or
// added, discarded when it is deleted; never stored.
//
// Connection states (the scan passes poll 0, 1, 2 and 4):
//
//   code  text                 entered when                          polled
//   0     "已连接"             an accepted reply arrives             yes
//   1     "正在连接..."        the operator reconnects               yes
//   2     "断开"               the record is made and its port open  yes
//   3     "终端不存在"         silent for longer than MaxOLTimer     no
//   4     "端口忙"             a request could not be queued         yes
//   5     "打开端口出错"       the port could not be opened          no
//   6     "向端口写入数据出错" queueing a request raised an error    no
//   7     "手动断开"           the operator disconnects              no
//
//   any --accepted reply--> 0   (also from 3, 5, 6 and 7)
//   0,1,2,4 --busy--> 4   --error--> 6   --sent--> unchanged
//   0,1,2,4,6 --silent past MaxOLTimer, right after a request attempt--> 3

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "polling/LineDiagnostics.h"
#include "polling/StationLive.h"
#include "store/DateTime.h"
#include "store/Items.h"

class TComm;
class THisInfoDbMgr;
struct THistoryOpenJob;
struct TStationLine;

// The status bar text of a state code (UTF-8); empty for any other code.
const char* StateText(uint8_t state);
// One sample as it will be stored: the time it was taken and the reply's
// values.
struct TPendingSample {
    TDateTime Time = 0;
    std::array<uint16_t, 4> RawTemp{};
    uint8_t RelayFlags = 0;
};

// False for the states a scan pass skips: 3, 5, 6 and 7.
bool IsPolledState(uint8_t state);

// The fields replies change (RelayFlags, RawTemp, State, RefTime) come from
// TStationLive.
struct TStationState : TStationLive {
    TStationState();
    TStationState(const TStationState&) = delete;
    TStationState& operator=(const TStationState&) = delete;
    // Closes the port before the component goes, then the history file.
    ~TStationState();

    // Releases the port, closing it first (ignoring what closing raises)
    // when no other station shares it.
    void ClosePortQuietly() noexcept;

    uint8_t Address = 0;
    // The last history query result, or none; shared with the report that
    // shows it and a print or export of it.
    TReadingList HistoryList;
    // Open on data/<Address>/HistoryData.dt once first needed, or none.
    std::unique_ptr<THisInfoDbMgr> HistoryMgr;
    // The record in the window's station list, which keeps it alive.
    TStationInfo* Station = nullptr;
    // The open port of the station's line; stations on one line share it.
    std::shared_ptr<TComm> Port;
    // The line the roster put the station on; none for a record made
    // without one (its port is then its own).
    TStationLine* Link = nullptr;

    // Recording state, beside the connection state:
    //
    //   recording --store failed--> failing (RecordingFailure holds why;
    //       ^                          reported once: RecordingErrorReported)
    //       +------ a sample stored ------+
    //
    // A file another process holds locked (RecordingBusy) is no failure:
    // the samples wait in PendingSamples and are stored once it is free,
    // unless it stays locked for longer than the recorder allows.
    std::string RecordingFailure;
    bool RecordingErrorReported = false;
    bool RecordingBusy = false;
    TDateTime BusySince = 0;  // MonotonicNow when the file was first found locked
    // The local day a nearly full history file was last warned of or backed
    // up (TScanCycle::SetHistoryBackUp); 0 before the first time.
    TDateTime NearlyFullDay = 0;

    // Samples taken but not stored yet, oldest first.
    std::deque<TPendingSample> PendingSamples;
    // Set when an attempt failed after it may have written its record: the
    // next attempt first checks whether the file holds it already.
    bool PendingUnsure = false;
    // The open of the history file under way on the opener thread, or done
    // and not taken yet (polling/HistoryOpener.h); none otherwise. While it
    // is there, HistoryMgr is none unless someone else opened one.
    std::shared_ptr<THistoryOpenJob> OpenJob;

    // What went over the station's line since start, for this station:
    // counters and the last frames.
    TLineDiagnostics Line;
};
