#pragma once
// The page "通讯诊断": what every station's line has done since start, one
// row per station in tree order, and below it the line monitor, the last
// frames of the selected station's line with their time, direction, bytes
// and decoding. The monitor can be paused (it then keeps what it shows) and
// what it shows saved as text.
//
// The window calls Refresh about once a second while the page is shown, and
// when the selection changes; rows and monitor are redrawn only where
// something changed, so 255 stations cost little.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "polling/LineDiagnostics.h"

class QCheckBox;
class QPushButton;
class QTableWidget;
struct TStationState;

class TDiagnosticsPage : public QWidget {
    Q_OBJECT
  public:
    // Asks for the file to save to; empty when the operator cancels.
    using TSaveFileDialog = std::function<QString(QWidget* parent)>;

    explicit TDiagnosticsPage(QWidget* parent = nullptr);

    void Refresh(const std::vector<TStationState*>& stations, const TStationState* selected);
    // Writes the frames the monitor shows, one FrameLine each (UTF-8);
    // false when the file cannot be written.
    bool SaveMonitor(const QString& path) const;
    void SaveMonitorButtonClick();
    void SetSaveFileDialog(TSaveFileDialog dialog) { FSaveFileDialog = std::move(dialog); }

    QTableWidget* StatsTable() const { return FTable; }
    QTableWidget* MonitorTable() const { return FMonitor; }
    QCheckBox* PauseCheckBox() const { return FPause; }
    QPushButton* SaveButton() const { return FSave; }

  private:
    void ShowRow(int row, const TStationState& station);
    void ShowMonitor(const TStationState* selected);

    QTableWidget* FTable;
    QTableWidget* FMonitor;
    QCheckBox* FPause;
    QPushButton* FSave;
    TSaveFileDialog FSaveFileDialog;
    // What the monitor shows, and of which station's line and count.
    std::vector<TLineFrame> FShown;
    const TStationState* FShownStation = nullptr;
    const TLineDiagnostics* FShownMonitor = nullptr;
    uint64_t FShownCount = 0;
};
