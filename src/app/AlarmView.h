#pragma once
// The page "报警记录": the listed alarms on top, the stored events of a range
// below.
//
//   ActiveAlarmTable   one row per listed alarm, in the monitor's order;
//                      unacknowledged rows (active or cleared) in red
//   [确认] [全部确认]  acknowledge the selected alarm / every one; the events
//                      this produces go to the Acknowledged hook, which
//                      stores them (the page never writes the event file)
//   BeginTimePicker － EndTimePicker [今天][最近24小时][最近7天][最近30天]
//   [查询] [导出...]   共 N 条记录
//   EventHistoryTable  the events of the range, newest first
//
// The monitor and the event store are borrowed; the window keeps both alive
// while the page lives (or sets the store to null before closing it).

#include <QWidget>
#include <array>
#include <functional>
#include <vector>

#include "dialogs/HistoryPrint.h"
#include "dialogs/RangePickers.h"
#include "polling/AlarmMonitor.h"
#include "store/DateTime.h"
#include "store/EventDbMgr.h"

class QDateTimeEdit;
class QLabel;
class QPushButton;
class QTableWidget;

class TAlarmPage : public QWidget {
    Q_OBJECT
  public:
    // Called with the events an acknowledge produced (none: not called).
    using TAcknowledged = std::function<void(std::vector<TAlarmEvent>)>;
    using TClock = std::function<TDateTime()>;
    using TQuickRange = ::TQuickRange;

    TAlarmPage(TAlarmMonitor& monitor, QWidget* parent = nullptr);

    // Null: the history shows nothing.
    void SetEventStore(TEventDbMgr* store) { FStore = store; }
    void SetAcknowledged(TAcknowledged hook) { FAcknowledged = std::move(hook); }
    // Replaces the wall clock (acknowledge times, quick ranges) and sets the
    // range to the clock's today.
    void SetClock(TClock clock);

    // Redraws the alarm table; nothing is touched when the listed alarms are
    // as shown.
    void RefreshActive();
    // Reads the events of the pickers' range.
    void Query();
    void SetQuickRange(TQuickRange range);
    void AcknowledgeSelected();
    void AcknowledgeAll();
    void Export();
    // "打印...": the listed events as a report (preview, or print dialog and
    // progress when long).
    void Print();
    // The report "打印..." prints: the events of the last query.
    TReportPrintJob PrintJob() const;

    // For tests.
    QTableWidget* ActiveTable() const { return FActiveTable; }
    QTableWidget* HistoryTable() const { return FHistoryTable; }
    QPushButton* AcknowledgeButton() const { return FAcknowledgeButton; }
    QPushButton* AcknowledgeAllButton() const { return FAcknowledgeAllButton; }
    QPushButton* QueryButton() const { return FQueryButton; }
    QPushButton* ExportButton() const { return FExportButton; }
    QPushButton* PrintButton() const { return FPrintButton; }
    QDateTimeEdit* BeginTimePicker() const { return FBeginPicker; }
    QDateTimeEdit* EndTimePicker() const { return FEndPicker; }
    QLabel* RowCountLabel() const { return FRowCount; }

  private:
    TDateTime NowTime() const { return FClock ? FClock() : Now(); }
    void ShowActiveRow(int row, const TAlarm& alarm);
    void ShowHistory();
    void Acknowledged(std::vector<TAlarmEvent> events);
    void UpdateButtons();

    TAlarmMonitor& FMonitor;
    TEventDbMgr* FStore = nullptr;
    TAcknowledged FAcknowledged;
    TClock FClock;

    QTableWidget* FActiveTable;
    QPushButton* FAcknowledgeButton;
    QPushButton* FAcknowledgeAllButton;
    QDateTimeEdit* FBeginPicker;
    QDateTimeEdit* FEndPicker;
    QPushButton* FQueryButton;
    QPushButton* FPrintButton;
    QPushButton* FExportButton;
    QLabel* FRowCount;
    QTableWidget* FHistoryTable;

    // What the tables show: the alarms as drawn (to skip redrawing them) and
    // the queried events with their range (the rows "导出..." writes).
    std::vector<TAlarm> FShownAlarms;
    std::vector<TEventInfo> FEvents;
    TDateTime FEventsBegin = 0;
    TDateTime FEventsEnd = 0;
};
