#pragma once
// The history panel shared by the main window's page "历史数据" and the
// backup viewer: the range pickers and buttons on top, and below them the
// report and the chart of the samples its owner last queried.
//
//   起始日期：[BeginTimePicker] － [EndTimePicker] [今天][最近24小时][最近7天][最近30天]
//             [查询] [打印...] [导出...] [owner's buttons]
//   ┌──────────────────────────────────────────────┐
//   │ HistoryListView  /  HistoryChart             │
//   └ 报表 ─ 曲线 ───────────────── 共 N 条记录 ───┘
//
// The pickers show date and time of day: the time is part of the range.
//
// Owners run their queries through the panel's THistoryQuery (off the main
// thread). A query that takes longer than the progress delay shows a bar
// "正在查询… n%" in the top row until it ends; a shorter one shows none.

#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <vector>

#include "dialogs/HistoryChart.h"
#include "dialogs/HistoryPrint.h"
#include "dialogs/RangePickers.h"
#include "store/Items.h"

class QDateTimeEdit;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class THistoryQuery;
class THistoryReportView;

// The value both pickers hold when the panel is made: 2006-02-24 19:51:47.788.
constexpr TDateTime kInitialPickerValue = 38772.82763643519;

// How long a query runs before its progress bar shows, and how often the
// bar follows the worker afterwards.
inline constexpr int kQueryProgressDelayMs = 300;
inline constexpr int kQueryProgressPollMs = 100;

struct THistoryPanelOptions {
    THistoryChannels Channels = THistoryChannels::PhasesAndIron;
    // "打印..." and the owner's buttons stay at the right edge (the viewer);
    // otherwise they follow "查询".
    bool ButtonsAtRightEdge = false;
    // The pickers show the time of day and the quick ranges are offered (the
    // history page); otherwise the pickers show dates only (the viewer).
    bool TimeOfDay = true;
};

// What the shown samples are: printed above the report.
struct THistoryTitle {
    QString Source;  // the station or the file
    TDateTime Begin = 0;
    TDateTime End = 0;
    QString ExportName{};  // names an exported file; empty: the source does
};

class THistoryPanel : public QWidget {
    Q_OBJECT
  public:
    explicit THistoryPanel(const THistoryPanelOptions& options, QWidget* parent = nullptr);
    ~THistoryPanel() override;

    // The pickers' values, date and time of day.
    TDateTime BeginTime() const;
    TDateTime EndTime() const;
    void SetBeginTime(TDateTime value);
    void SetEndTime(TDateTime value);

    // The quick ranges: both pickers at once, from the panel's clock.
    using TQuickRange = ::TQuickRange;
    void SetQuickRange(TQuickRange range);
    // Now() unless set; tests set their own.
    using TClock = std::function<TDateTime()>;
    void SetClock(TClock clock) { FClock = std::move(clock); }

    // A button after "导出..."; the owner connects its clicked().
    QPushButton* AddButton(const QString& caption, const QString& objectName);

    // Shows a list (newest first) in the report and the chart; nullptr shows
    // nothing. The panel holds the list while it shows it; a list shown
    // before is let go, a long one on the query's releaser thread.
    void ShowReadings(TReadingList readings, const THistoryTitle& title);
    void ClearReadings();
    const std::vector<TTmpReading>* Readings() const { return FReadings.get(); }

    // Runs the owner's queries; the panel follows it with its progress bar.
    THistoryQuery* Query() const { return FQuery; }
    QProgressBar* QueryProgressBar() const { return FQueryProgress; }
    // kQueryProgressDelayMs unless set (tests).
    void SetQueryProgressDelay(int ms) { FQueryProgressDelay.setInterval(ms); }

    // What "打印..." prints right now.
    THistoryPrintJob PrintJob() const;

    QDateTimeEdit* BeginTimePicker() const { return FBeginPicker; }
    QDateTimeEdit* EndTimePicker() const { return FEndPicker; }
    QPushButton* QueryButton() const { return FQueryButton; }
    QPushButton* PrintButton() const { return FPrintButton; }
    // "今天", "最近24小时", "最近7天", "最近30天", in that order.
    QPushButton* QuickRangeButton(TQuickRange range) const {
        return FQuickRangeButtons.at(static_cast<size_t>(range));
    }
    // "共 N 条记录" beside the report's tab.
    QLabel* RowCountLabel() const { return FRowCountLabel; }
    QPushButton* ExportButton() const { return FExportButton; }
    QTabWidget* Tabs() const { return FTabs; }
    THistoryReportView* ReportView() const { return FReport; }
    THistoryChart* Chart() const { return FChart; }

  public slots:
    // The print preview of what is shown, printable to any printer or PDF,
    // run through RunModal (dialogs/Prompts.h). "打印..." pressed while the
    // chart still indexes a long list opens it once the lines are there (a
    // busy cursor meanwhile, the window going on); rows shown anew before
    // that drop it.
    void ShowPrintPreview();
    // The shown rows as a CSV file with the report's columns, through
    // ExportRowsToCsv (dialogs/CsvExportDialog.h).
    void ExportShownRows();

  signals:
    void QueryClicked();
    void PrintClicked();

  private:
    TReadingList FReadings;  // shared with the owner, and with a print or export under way
    THistoryTitle FTitle;
    bool FButtonsAtRightEdge;
    // Child widgets, owned through Qt's parent chain.
    QDateTimeEdit* FBeginPicker;
    QDateTimeEdit* FEndPicker;
    QPushButton* FQueryButton;
    QPushButton* FPrintButton;
    std::array<QPushButton*, kQuickRangeCount> FQuickRangeButtons{};
    QLabel* FRowCountLabel;
    TClock FClock;
    QPushButton* FExportButton;
    QHBoxLayout* FTopRow;
    QTabWidget* FTabs;
    THistoryReportView* FReport;
    THistoryChart* FChart;
    THistoryQuery* FQuery;
    QProgressBar* FQueryProgress;
    QTimer FQueryProgressDelay;
    QTimer FQueryProgressPoll;
    bool FPrintWhenIndexed = false;  // "打印..." waits for the chart's lines
    void SetPrintWhenIndexed(bool waiting);
};
