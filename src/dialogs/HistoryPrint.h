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
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "dialogs/HistoryChart.h"
#include "dialogs/PrintWorker.h"
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

// A job laid out on a printer's paper, painted a page at a time: a print
// paints every page in turn, the preview only the pages in view. Copies
// are cheap and share the layout.
class TReportPages {
  public:
    // The window's thread (the font family is looked up here). Reads the
    // printer's paper, margins and resolution, and keeps no reference to it.
    TReportPages(QPrinter& printer, const TReportPrintJob& job);
    // Any thread, with the family looked up before.
    TReportPages(QPrinter& printer, const TReportPrintJob& job, const QString& family);

    int Count() const;
    // The paper and the printable area on it, in the printer's pixels.
    QSizeF PaperSize() const;
    QRectF PrintableRect() const;
    // The printer's pixels per inch. Paint's fonts are sized in points: the
    // painter's device must have this resolution (a printer does, a preview
    // image is made so) for text to keep its place.
    int Resolution() const;
    // Paints page `page` (from 1) in the printer's pixels, the origin at
    // the printable area's corner. Calls the job's Cell for its rows only.
    void Paint(QPainter& painter, int page) const;

  private:
    struct TLaidOut;
    std::shared_ptr<const TLaidOut> FPages;
};

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
// pages printed and whether that is the whole report, its file (when it
// prints to one) in place; a cancelled print to a file leaves no file.
TWorkerPrintResult PrintReportOnWorker(QWidget* parent, QPrinter& printer,
                                       const TReportPrintJob& job);

// What "打印..." does: a preview of the job (TPrintPreview: it paints the pages
// in view only, so a report of any length opens at once), whose print
// button asks the print dialog and prints through PrintReportOnWorker. The
// job must stay unchanged while this runs.
void PrintWithPreview(QWidget* parent, const TReportPrintJob& job);

// A font of the given size whose family has Chinese glyphs, so printed text
// embeds a font that can show it. The window's thread only: the family is
// looked up once through the application's font.
QFont HistoryPrintFont(qreal pointSize, bool bold = false);
