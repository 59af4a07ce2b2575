#pragma once
// A station's node in the station tree: a child of the root "设备位置" whose
// data is the station's live record. The roster owns the record; the node
// shows it and goes before it.

#include <QTreeWidgetItem>

#include "polling/AlarmMonitor.h"
#include "store/DateTime.h"

struct TStationState;

class TStationNode : public QTreeWidgetItem {
  public:
    static constexpr int kType = QTreeWidgetItem::UserType + 1;

    // Appended to the children of `root`.
    TStationNode(QTreeWidgetItem* root, const QString& text, TStationState& state);
    ~TStationNode() override;
    TStationNode(const TStationNode&) = delete;
    TStationNode& operator=(const TStationNode&) = delete;

    TStationState& State() const { return FState; }

    // Marks the node while its station's recording fails (a warning icon,
    // red text, the reason as tool tip) and clears the marks once it records
    // again.
    void ShowRecordingState();
    // Marks the node while its station has an alarm nobody acknowledged (a
    // critical icon, bold red text); the recording marks show otherwise.
    void ShowAlarmLevel(TStationAlarmLevel level);
    TStationAlarmLevel AlarmLevel() const { return FAlarmLevel; }

    // The range of the station's last history query, shown with its result.
    TDateTime QueryBegin = 0;
    TDateTime QueryEnd = 0;

  private:
    void ShowMarks();

    TStationState& FState;
    TStationAlarmLevel FAlarmLevel = TStationAlarmLevel::Normal;
};

// The node as a station node; none for the root, another item or nullptr.
TStationNode* AsStationNode(QTreeWidgetItem* item);
// The live record of a station node; none for the root or nullptr.
TStationState* StationOf(QTreeWidgetItem* item);
