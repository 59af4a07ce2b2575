#pragma once
// TStationRoster: the one owner of the registered stations and of the lines
// they are polled on. The window, the add device dialog and the scan cycle
// use it; none of them makes a station record or opens a port itself.
//
//   stored record (TStationInfo) --+--> live record (TStationState) --> line
//   one per station, in the order   |   one per station, same order      one per port
//   the stations were added          |                                  name, shared
//
// A line is one open port (a device or a serial server's TCP connection)
// and the stations whose records name that port, in registration order.
// The first station on a port opens it; later ones join it and share the
// open TComm (their records' Port all point to it). A line with one station
// behaves exactly as a port of its own: each received chunk is one reply.
// Once a second station joins, the line is shared: its requests go out one at
// a time through its exchange (LineExchange.h) and received bytes are handed
// over as they arrive, cut into replies by the exchange.
//
//   line:  (none) --first station--> single --second--> shared
//          shared --all but one leave--> single --last leaves--> closed, gone
//
// Stations on one line share its line settings: a station whose baud rate
// differs from the line's is refused (CheckLine). Everything runs on the main
// thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "polling/LineDiagnostics.h"
#include "polling/LineExchange.h"
#include "serial/Comm.h"
#include "store/DateTime.h"
#include "store/Items.h"

class TStationDbMgr;
struct TStationFields;
struct TStationState;

struct TStationLine {
    TStationLine() = default;
    TStationLine(const TStationLine&) = delete;
    TStationLine& operator=(const TStationLine&) = delete;

    bool IsShared() const { return Stations.size() > 1; }

    std::string Name;       // the port entry, "COM3"
    int32_t PortBaud = -1;  // the stored baud index every station on it uses
    std::shared_ptr<TComm> Port;
    // The stations on the line in registration (tree) order; never empty.
    std::vector<TStationState*> Stations;
    // One request at a time while shared.
    TLineExchange Exchange;
    // Every frame that went over the line while shared.
    TLineDiagnostics Monitor;
};

// The stored stations in the order they were added. Each item sits in a heap
// block of its own, so the live records can keep pointers to them while the
// list grows.
using TStationList = std::vector<std::unique_ptr<TStationInfo>>;

// The frames of the station's line for the line monitor: every frame of a
// shared line, or the station's own while its port is its own.
const TLineDiagnostics& LineMonitorOf(const TStationState& station);

class TStationRoster {
  public:
    // Borrows the station table, which outlives the roster. `programDir`
    // ends with '/': history files live under it.
    TStationRoster(const std::string& programDir, TStationDbMgr& stationMgr);
    TStationRoster(const TStationRoster&) = delete;
    TStationRoster& operator=(const TStationRoster&) = delete;
    // Closes every line.
    ~TStationRoster();

    // The OnReceiveData of every line opened from now on.
    void SetReceiveHandler(TComm::TReceiveDataEvent handler) { FOnReceive = std::move(handler); }

    // Start-up: a record and a line for every stored station, in stored
    // order; only the baud rate is set from the record (the other line
    // settings keep the port's initial values, which every station is
    // stored with). Returns how many were loaded.
    size_t Load(TDateTime now);

    // Stores a station whose fields passed the checks, then gives it a
    // record and its line, opened with every stored line setting. An engine
    // error of storing passes out with nothing else changed.
    TStationState& Add(const TStationFields& fields, TDateTime now);

    // Changes a station's stored fields (its address stays: it names the
    // history directory). The record is updated first; the station then
    // moves to the line its port names, or its line is set up again when
    // its baud rate changed.
    void Modify(TStationState& station, const TStationFields& fields, TDateTime now);

    // The station's history is emptied and its stored record deleted (an
    // engine error passes out with the station as it was), its history file
    // and directory removed and it leaves its line; the record is handed
    // back, detached, for the caller to drop once nothing shows it.
    std::unique_ptr<TStationState> Remove(TStationState& station);

    // The message to show when a station on port `portNo` at baud index
    // `portBaud` cannot join that port's line, because the stations on it
    // (`editing` aside) use another baud rate; none when it can.
    std::optional<std::string> CheckLine(int32_t portNo, int32_t portBaud,
                                         const TStationState* editing = nullptr) const;

    // Every station in registration order.
    const std::vector<TStationState*>& Stations() const { return FOrder; }
    TStationList& List() { return FList; }
    const std::vector<std::unique_ptr<TStationLine>>& Lines() const { return FLines; }
    // The line of an open port; none for a port the roster does not own.
    TStationLine* LineOf(const TComm* port) const;
    // The station at `address` on the line of `port`; none when there is none.
    TStationState* Find(const TComm* port, uint8_t address) const;

    // Every line closed (every worker thread ends); the records stay.
    void CloseAll() noexcept;

  private:
    // Puts the station on the line its stored record names, opening the
    // line when it is the first.
    void Join(TStationState& station, bool fullSetup, TDateTime now);
    void Leave(TStationState& station) noexcept;
    // Switches the line between a port of its own and a shared line.
    static void ApplySharing(TStationLine& line);

    std::string FProgramDir;
    TStationDbMgr& FStationMgr;
    TComm::TReceiveDataEvent FOnReceive;
    TStationList FList;
    std::vector<std::unique_ptr<TStationState>> FRecords;
    std::vector<TStationState*> FOrder;
    std::vector<std::unique_ptr<TStationLine>> FLines;
};
