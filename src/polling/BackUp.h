#pragma once
// Backups of the stations' history files. A backup moves a station's live
// history file into the backup directory, under the station's address and
// the day it was made:
//
//   <program dir>data/<address>/HistoryData.dt  -->  <BackUpPath>/<address>/<yyyy-M-d>.dt
//
// It lives beside the stations' live records because it acts on them, and
// it has no widgets: whoever shows a station's last query result releases
// that list through the hook (so a view never shows a released list).
//
// One station, in order; every failure ends it silently and changes nothing:
//   1. the backup directory <BackUpPath>/<address> is created when missing
//   2. a backup file of that day already there: done for today
//   3. the live file is copied (complete and on disk before step 5), once an
//      open of it under way on the recorder's opener thread has ended
//   4. the station's query result and history manager are released
//   5. the live file is deleted; the station's next sample starts a new one
//
// Automatic backup, once per tick of the hourly backup timer:
//
//   IsBackUp off                         -> nothing
//   LastBackUpDate empty or unreadable   -> record today, back up nothing
//   today - LastBackUpDate > interval,
//   or LastBackUpDate after today        -> back up every station; record today
//                                           unless every station's backup failed
//   otherwise                            -> nothing
//
// A history file found nearly full is backed up by BackUpStation at once
// while automatic backup is on (TScanCycle::SetHistoryBackUp); that leaves
// LastBackUpDate as it is, so the other stations keep their day.
//
// A relative BackUpPath lies in the program directory.
//
// The day's text is always yyyy-M-d (FormatShortDate), for the file names and
// for LastBackUpDate alike, so names are valid and the date parses back.
// Everything runs on the main thread, between scan passes and replies.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/DateTime.h"
#include "store/Items.h"

class TSysParaDbMgr;
struct TStationState;

enum class TBackUpResult {
    Done,             // copied, released and the live file deleted
    NoBackUpPath,     // the backup directory setting is empty
    DirectoryFailed,  // the backup directory cannot be created
    AlreadyDone,      // today's backup file of the station is there
    CopyFailed,       // no live file, or the copy could not be completed
};

enum class TAutoBackUpResult {
    Off,          // automatic backup is switched off
    DayRecorded,  // the first check only records the day
    NotDue,       // the interval has not passed yet
    BackedUp,     // every station was backed up and the day recorded
    Failed,       // due, but every station's backup failed: the day stays
};

// <backUpPath>/<address>/<yyyy-M-d>.dt (no doubled '/' after the path).
std::string BackUpFileName(const std::string& backUpPath, int32_t address, TDateTime day);

class TBackUp {
  public:
    using TClock = std::function<TDateTime()>;
    // Releases the station's HistoryList; a view that shows it lets go first.
    using TReleaseList = std::function<void(TStationState&)>;

    // Borrows the settings and the parameter list (the window's). `paraMgr`
    // stores LastBackUpDate in the list's record of key 3; none: the day is
    // kept in the settings only. Today comes from Now() unless a clock is set.
    TBackUp(const std::string& programDir, TSysParaInfo& settings, TSysParaDbMgr* paraMgr,
            std::vector<TSysParaItem>& paraList);

    void SetClock(TClock clock) { FClock = std::move(clock); }
    void SetReleaseList(TReleaseList release) { FReleaseList = std::move(release); }

    // The backup of one station with today's date.
    TBackUpResult BackUpStation(TStationState& station);
    // Every station in turn (tree order); a failure goes on with the next.
    // Returns the number of stations backed up; `failed` gets the number
    // whose backup failed (one already made today is no failure).
    int BackUpAll(const std::vector<TStationState*>& stations, int* failed = nullptr);
    // One tick of the backup timer.
    TAutoBackUpResult BackUpTimerTimer(const std::vector<TStationState*>& stations);

  private:
    TDateTime Today() const;
    // Sets LastBackUpDate to the day and stores it; storing errors are ignored.
    void RecordBackUpDay(TDateTime day);

    std::string FProgramDir;
    TSysParaInfo& FSettings;
    TSysParaDbMgr* FParaMgr;
    std::vector<TSysParaItem>& FParaList;
    TClock FClock;
    TReleaseList FReleaseList;
};

// Copies `from` to `to`, which must not exist yet: the bytes go to a
// temporary file beside `to`, reach the disk, and only then take the name
// `to`. On failure nothing is left under either name of the target.
bool CopyFileDurably(const std::string& from, const std::string& to);
