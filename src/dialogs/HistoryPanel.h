#pragma once
// The history panel shared by the main window's page "历史数据" and the
// backup viewer: the range pickers and buttons on top, and below them the
// report and the chart of the samples its owner last queried.
//
//   起始日期：[BeginTimePicker] － [EndTimePicker] [查询] [打印...] [导出...] [owner's buttons]
//   ┌──────────────────────────────────────────────┐
//   │ HistoryListView  /  HistoryChart             │
//   └ 报表 ─ 曲线 ─────────────────────────────────┘

#include <QString>
#include <QWidget>
#include <vector>

#include "dialogs/HistoryChart.h"
#include "dialogs/HistoryPrint.h"
#include "store/Items.h"

class QDateTimeEdit;
class QHBoxLayout;
class QPushButton;
class QTabWidget;
class THistoryReportView;

// The value both pickers hold when the panel is made: 2006-02-24 19:51:47.788.
constexpr TDateTime kInitialPickerValue = 38772.82763643519;

struct THistoryPanelOptions {
    THistoryChannels Channels = THistoryChannels::PhasesAndIron;
    // "打印..." and the owner's buttons stay at the right edge (the viewer);
    // otherwise they follow "查询".
    bool ButtonsAtRightEdge = false;
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

    // The pickers' values, date and time of day.
    TDateTime BeginTime() const;
    TDateTime EndTime() const;
    void SetBeginTime(TDateTime value);
    void SetEndTime(TDateTime value);

    // A button after "导出..."; the owner connects its clicked().
    QPushButton* AddButton(const QString& caption, const QString& objectName);

    // Shows a borrowed list (newest first) in the report and the chart. The
    // owner keeps it alive while shown, and calls again after changing it or
    // before releasing it (nullptr shows nothing).
    void ShowReadings(const std::vector<TTmpReading>* readings, const THistoryTitle& title);
    void ClearReadings();
    const std::vector<TTmpReading>* Readings() const { return FReadings; }

    // What "打印..." prints right now.
    THistoryPrintJob PrintJob() const;

    QDateTimeEdit* BeginTimePicker() const { return FBeginPicker; }
    QDateTimeEdit* EndTimePicker() const { return FEndPicker; }
    QPushButton* QueryButton() const { return FQueryButton; }
    QPushButton* PrintButton() const { return FPrintButton; }
    QPushButton* ExportButton() const { return FExportButton; }
    QTabWidget* Tabs() const { return FTabs; }
    THistoryReportView* ReportView() const { return FReport; }
    THistoryChart* Chart() const { return FChart; }

  public slots:
    // The print preview of what is shown, printable to any printer or PDF; a
    // report too long to preview goes straight to the print dialog. Either
    // dialog runs through RunModal (dialogs/Prompts.h).
    void ShowPrintPreview();
    // The shown rows as a CSV file with the report's columns, through
    // ExportRowsToCsv (dialogs/CsvExportDialog.h).
    void ExportShownRows();

  signals:
    void QueryClicked();
    void PrintClicked();

  private:
    const std::vector<TTmpReading>* FReadings = nullptr;  // borrowed
    THistoryTitle FTitle;
    bool FButtonsAtRightEdge;
    // Child widgets, owned through Qt's parent chain.
    QDateTimeEdit* FBeginPicker;
    QDateTimeEdit* FEndPicker;
    QPushButton* FQueryButton;
    QPushButton* FPrintButton;
    QPushButton* FExportButton;
    QHBoxLayout* FTopRow;
    QTabWidget* FTabs;
    THistoryReportView* FReport;
    THistoryChart* FChart;
};

// Wall-clock conversions for date pickers: the edit holds the local date and
// time of day as plain fields (kept in UTC so no local time is ever invalid).
QDateTime PickerDateTime(TDateTime value);
TDateTime PickerValue(const QDateTime& value);
