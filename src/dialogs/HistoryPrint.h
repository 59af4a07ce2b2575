#pragma once
// Printing a report as the pages show it: a title page with the source, the
// range and the chart as it is on screen, then the report's columns over as
// many pages as it needs, its column header repeated on every page. The
// history panel prints its 13-column report this way, the alarm page its
// events.
//
//   page 1      heading, source, range, row count, chart
//               (no chart: the report starts below the heading)
//   page 2..n   source and range, column header, rows, "第 i 页，共 n 页"

#include <QFont>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "dialogs/HistoryChart.h"
#include "store/Items.h"

class QPrinter;
class QWidget;

struct THistoryPrintJob {
    QString Source;  // the station or the file the samples come from
    TDateTime Begin = 0;
    TDateTime End = 0;
    const std::vector<TTmpReading>* Readings = nullptr;  // borrowed; nullptr prints no rows
    std::optional<THistoryChartState> Chart;             // none: no chart
};

// Any report: its columns (relative widths, 0 for the default share) and
// the text of each cell.
struct TReportPrintJob {
    QString Heading;  // "历史数据报表", ...
    QString Source;
    TDateTime Begin = 0;
    TDateTime End = 0;
    QStringList Captions;
    std::vector<int> Widths;  // one per caption
    size_t Rows = 0;
    std::function<QString(size_t row, int column)> Cell;
    std::optional<THistoryChartState> Chart;  // none: no chart
};

// The report of a history job: its 13 columns and rows.
TReportPrintJob HistoryReportJob(const THistoryPrintJob& job);
// The same over rows the report holds itself (job.Readings is ignored): a
// print that outlives the caller's list, or runs on another thread, reads
// only these.
TReportPrintJob HistoryReportJob(const THistoryPrintJob& job,
                                 std::shared_ptr<const std::vector<TTmpReading>> rows);

// Called before each page is drawn (pages counted from 1); returning false
// aborts the print job.
using THistoryPrintProgress = std::function<bool(int page, int pages)>;

// Renders the job on `printer` (a real printer, a PDF file or a preview).
// Returns the number of pages printed; 0 when the printer cannot be painted.
int PrintHistory(QPrinter& printer, const THistoryPrintJob& job,
                 const THistoryPrintProgress& progress = {});

// The pages the job takes on the printer's current paper.
int HistoryPrintPageCount(QPrinter& printer, const THistoryPrintJob& job);

// The same for any report.
int PrintReport(QPrinter& printer, const TReportPrintJob& job,
                const THistoryPrintProgress& progress = {});
int ReportPrintPageCount(QPrinter& printer, const TReportPrintJob& job);

// Prints the job on a worker thread onto a printer set up like `printer`
// (only its settings are read), while this thread shows "正在打印..." and
// keeps its event loop turning; "取消", or `parent` closing, stops it before
// the next page. The worker calls job.Cell: what the Cell reads must stay
// valid until this returns (it returns only once the worker is done), and
// nothing may change it meanwhile; best the Cell owns its rows. Returns the
// pages printed; a cancelled print to a file leaves no file.
int PrintReportOnWorker(QWidget* parent, QPrinter& printer, const TReportPrintJob& job);

// What "打印..." does: a preview of a job of up to 300 pages (painted on
// this thread, as the preview dialog does); a longer one (a preview keeps
// every page in memory) goes through the print dialog and prints through
// PrintReportOnWorker. The job must stay unchanged while this runs.
void PrintWithPreview(QWidget* parent, const TReportPrintJob& job);

// A font of the given size whose family has Chinese glyphs, so printed text
// embeds a font that can show it. The window's thread only: the family is
// looked up once through the application's font.
QFont HistoryPrintFont(qreal pointSize, bool bold = false);
