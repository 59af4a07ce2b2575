#pragma once
// The page "设备总览": every station at a glance, one row per station in tree
// order — position, name, address, port, connection state, the four
// temperatures as the live view shows them, sensor, fan, alarm and trip,
// the time of its last accepted reply and its recording state. A row's
// background shows its worst active condition; a double click on a row asks
// for its station to be selected (RowActivated).
//
//   condition (worst first)            colour
//   trip relay set                     red
//   alarm relay set, or an unacknowledged alarm of the station    orange
//   not answering (states 3, 5, 6)     grey
//   sensor fault, recording failure    yellow
//   none                               the table's own
//
// The window refreshes one row on every accepted reply and every row after
// each pass, while the page is shown, and all of them when it is shown
// again; a cell whose text is unchanged is not touched, so 255 stations at a
// 1 s scan cost little.

#include <QWidget>
#include <functional>
#include <unordered_map>
#include <vector>

class QTableWidget;
struct TStationState;

// The worst condition of a station, from its live record (and whether it
// has an unacknowledged alarm).
enum class TStationCondition { Normal, Attention, Silent, Alarm, Trip };
TStationCondition ConditionOf(const TStationState& station, bool unacknowledgedAlarm = false);

class TOverviewPage : public QWidget {
    Q_OBJECT
  public:
    // Whether a station has an alarm nobody acknowledged yet (none: never).
    using TAlarmQuery = std::function<bool(const TStationState& station)>;

    explicit TOverviewPage(QWidget* parent = nullptr);

    // Redraws every row; the table gets one row per station.
    void Refresh(const std::vector<TStationState*>& stations);
    // Redraws the row of station number `row` (tree order).
    void RefreshRow(int row, const TStationState& station);
    // Redraws the row the last Refresh gave the station; nothing for a
    // station it did not show.
    void RefreshStation(const TStationState& station);
    void SetAlarmQuery(TAlarmQuery query) { FAlarmQuery = std::move(query); }

    QTableWidget* Table() const { return FTable; }

  signals:
    // A row was double-clicked: select station number `row` (tree order).
    void RowActivated(int row);

  private:
    QTableWidget* FTable;
    TAlarmQuery FAlarmQuery;
    // The row of each station of the last Refresh: a reply finds its row
    // without a walk over 255 stations.
    std::unordered_map<const TStationState*, int> FRows;
};
