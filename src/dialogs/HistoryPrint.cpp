#include "dialogs/HistoryPrint.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "dialogs/HistoryReport.h"
#include "dialogs/PrintPreview.h"
#include "dialogs/PrintWorker.h"
#include "dialogs/Prompts.h"

namespace {

constexpr qreal kHeadingPoints = 16;
constexpr qreal kTextPoints = 10;
constexpr qreal kTablePoints = 8;
// A row is this many times the font's height.
constexpr qreal kRowSpacing = 1.35;
// Columns without a width of their own print at this share of the others'.
constexpr int kDefaultColumnUnits = 60;
// Blank space around the chart and between blocks, in points.
constexpr qreal kBlockGapPoints = 8;
constexpr qreal kCellPaddingPoints = 2;
// The chart is at most this much as high as it is wide.
constexpr qreal kChartAspect = 0.6;
constexpr qreal kPointsPerInch = 72;

// The family every printed font takes. Looked up once, on the window's
// thread (it asks the application's font): the installed fonts do not
// change while we run. A worker is handed the family, never calls this.
const QString& PrintFamily() {
    static const QString family = [] {
        const QString preferred = QApplication::font().family();
        if (QFontDatabase::writingSystems(preferred).contains(QFontDatabase::SimplifiedChinese)) {
            return preferred;
        }
        QString fallback;
        for (const QString& f : QFontDatabase::families(QFontDatabase::SimplifiedChinese)) {
            if (!QFontDatabase::isSmoothlyScalable(f)) continue;
            if (fallback.isEmpty()) fallback = f;
            // Proportional faces read better in a table than monospaced ones.
            if (!f.contains(QStringLiteral("Mono"), Qt::CaseInsensitive)) return f;
        }
        return fallback.isEmpty() ? preferred : fallback;
    }();
    return family;
}

QFont PrintFont(const QString& family, qreal pointSize, bool bold = false) {
    QFont font(family);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

// Everything measured once per job, in device pixels.
struct TPageLayout {
    QRectF Page;     // the printable area
    qreal Unit = 1;  // device pixels per point
    QFont Heading, Text, Table, TableBold;
    qreal TextLine = 0, RowHeight = 0, Gap = 0, Padding = 0;
    std::vector<qreal> ColumnX, ColumnWidth;
    int RowsFirstPage = 0;  // without a chart, below the heading block
    int RowsPerPage = 0;
};

qreal HeadingBlockHeight(const TPageLayout& L) {
    const qreal heading = QFontMetricsF(L.Heading).height() * kRowSpacing;
    return heading + 3 * L.TextLine + L.Gap;
}

qreal PageHeaderHeight(const TPageLayout& L) {
    return L.TextLine + L.Gap;
}
qreal FooterHeight(const TPageLayout& L) {
    return L.Gap + L.TextLine;
}

int RowsFitting(const TPageLayout& L, qreal height) {
    // The column header takes one row.
    const int rows = static_cast<int>(std::floor(height / L.RowHeight)) - 1;
    return std::max(rows, 1);
}

TPageLayout MakeLayout(QPrinter& printer, const TReportPrintJob& job, const QString& family) {
    const QPaintDevice& device = printer;
    TPageLayout L;
    const QRectF paint = printer.pageLayout().paintRectPixels(printer.resolution());
    L.Page = QRectF(QPointF(0, 0), paint.size());
    L.Unit = device.logicalDpiY() / kPointsPerInch;
    L.Heading = PrintFont(family, kHeadingPoints, true);
    L.Text = PrintFont(family, kTextPoints);
    L.Table = PrintFont(family, kTablePoints);
    L.TableBold = PrintFont(family, kTablePoints, true);
    // Metrics against the printer, so sizes are in its pixels.
    L.Heading = QFont(L.Heading, &device);
    L.Text = QFont(L.Text, &device);
    L.Table = QFont(L.Table, &device);
    L.TableBold = QFont(L.TableBold, &device);
    L.TextLine = QFontMetricsF(L.Text).height() * kRowSpacing;
    L.RowHeight = QFontMetricsF(L.TableBold).height() * kRowSpacing;
    L.Gap = kBlockGapPoints * L.Unit;
    L.Padding = kCellPaddingPoints * L.Unit;

    const size_t columns = static_cast<size_t>(job.Captions.size());
    const auto unitsOf = [&job](size_t c) {
        const int w = c < job.Widths.size() ? job.Widths[c] : 0;
        return w > 0 ? w : kDefaultColumnUnits;
    };
    int units = 0;
    for (size_t c = 0; c < columns; ++c) units += unitsOf(c);
    qreal x = 0;
    for (size_t c = 0; c < columns; ++c) {
        L.ColumnX.push_back(x);
        L.ColumnWidth.push_back(L.Page.width() * unitsOf(c) / std::max(units, 1));
        x += L.ColumnWidth.back();
    }
    const qreal bottom = L.Page.height() - FooterHeight(L);
    L.RowsFirstPage = RowsFitting(L, bottom - HeadingBlockHeight(L));
    L.RowsPerPage = RowsFitting(L, bottom - PageHeaderHeight(L));
    return L;
}

QString RangeText(const TReportPrintJob& job) {
    return QStringLiteral("时间范围：") + QString::fromStdString(DateTimeToText(job.Begin)) +
           QStringLiteral(" － ") + QString::fromStdString(DateTimeToText(job.End));
}

void DrawLine(QPainter& p, const QFont& font, const QRectF& rect, const QString& text,
              Qt::Alignment align = Qt::AlignLeft) {
    p.setFont(font);
    const QFontMetricsF fm(font);
    p.drawText(rect, align | Qt::AlignVCenter, fm.elidedText(text, Qt::ElideRight, rect.width()));
}

void DrawCell(QPainter& p, const TPageLayout& L, const QFontMetricsF& fm, int column, qreal y,
              const QString& text) {
    const size_t i = static_cast<size_t>(column);
    const QRectF cell(L.ColumnX[i] + L.Padding, y, L.ColumnWidth[i] - 2 * L.Padding, L.RowHeight);
    const QString shown = fm.horizontalAdvance(text) <= cell.width()
                              ? text
                              : fm.elidedText(text, Qt::ElideRight, cell.width());
    p.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter, shown);
}

// The column header and `count` rows from `first`, starting at `top`.
void DrawTable(QPainter& p, const TPageLayout& L, const TReportPrintJob& job, size_t first,
               size_t count, qreal top) {
    const int columns = static_cast<int>(job.Captions.size());
    p.setFont(L.TableBold);
    const QFontMetricsF boldMetrics(L.TableBold);
    for (int c = 0; c < columns; ++c) DrawCell(p, L, boldMetrics, c, top, job.Captions[c]);
    qreal y = top + L.RowHeight;
    p.drawLine(QPointF(0, y), QPointF(L.Page.width(), y));
    if (!job.Cell) return;
    p.setFont(L.Table);
    const QFontMetricsF metrics(L.Table);
    const size_t end = std::min(job.Rows, first + count);
    for (size_t r = first; r < end; ++r) {
        for (int c = 0; c < columns; ++c) DrawCell(p, L, metrics, c, y, job.Cell(r, c));
        y += L.RowHeight;
    }
    p.drawLine(QPointF(0, y), QPointF(L.Page.width(), y));
}

void DrawFooter(QPainter& p, const TPageLayout& L, int page, int pages) {
    const QRectF rect(0, L.Page.height() - L.TextLine, L.Page.width(), L.TextLine);
    DrawLine(p, L.Text, rect, QStringLiteral("第 %1 页，共 %2 页").arg(page).arg(pages),
             Qt::AlignHCenter);
}

// Draws the heading block; returns its bottom.
qreal DrawHeading(QPainter& p, const TPageLayout& L, const TReportPrintJob& job, size_t rows) {
    const qreal headingLine = QFontMetricsF(L.Heading).height() * kRowSpacing;
    qreal y = 0;
    DrawLine(p, L.Heading, QRectF(0, y, L.Page.width(), headingLine), job.Heading);
    y += headingLine;
    DrawLine(p, L.Text, QRectF(0, y, L.Page.width(), L.TextLine), job.Source);
    y += L.TextLine;
    DrawLine(p, L.Text, QRectF(0, y, L.Page.width(), L.TextLine), RangeText(job));
    y += L.TextLine;
    DrawLine(p, L.Text, QRectF(0, y, L.Page.width(), L.TextLine),
             QStringLiteral("记录数：%1").arg(rows));
    y += L.TextLine;
    return y + L.Gap;
}

// Which rows go on which page: with a chart the first page holds the heading
// and the chart only; an empty report still prints its column header.
struct TPagePlan {
    size_t Rows = 0;
    bool ChartPage = false;
    size_t OnFirst = 0;
    size_t PerPage = 1;
    int Pages = 1;
};

TPagePlan PlanPages(const TPageLayout& L, const TReportPrintJob& job) {
    TPagePlan plan;
    plan.Rows = job.Cell ? job.Rows : 0;
    plan.ChartPage = job.Chart.has_value();
    plan.OnFirst = plan.ChartPage ? 0 : std::min(plan.Rows, static_cast<size_t>(L.RowsFirstPage));
    plan.PerPage = static_cast<size_t>(L.RowsPerPage);
    size_t tablePages = (plan.Rows - plan.OnFirst + plan.PerPage - 1) / plan.PerPage;
    if (plan.ChartPage && tablePages == 0) tablePages = 1;
    plan.Pages = static_cast<int>(1 + tablePages);
    return plan;
}

// Where the chart goes on the first page: below the heading, as wide as
// the page, at most kChartAspect as high as wide.
QRectF ChartRect(const TPageLayout& L) {
    const qreal top = HeadingBlockHeight(L);
    const qreal available = L.Page.height() - FooterHeight(L) - top;
    const qreal height = std::min(available, L.Page.width() * kChartAspect);
    return QRectF(0, top, L.Page.width(), height);
}

}  // namespace

struct TReportPages::TLaidOut {
    TReportPrintJob Job;
    TPageLayout Layout;
    TPagePlan Plan;
    QSizeF Paper;
    QRectF Printable;
    int Resolution = 0;
};

TReportPages::TReportPages(QPrinter& printer, const TReportPrintJob& job)
    : TReportPages(printer, job, PrintFamily()) {}

TReportPages::TReportPages(QPrinter& printer, const TReportPrintJob& job, const QString& family) {
    auto laidOut = std::make_shared<TLaidOut>();
    TLaidOut& pages = *laidOut;
    pages.Job = job;
    pages.Layout = MakeLayout(printer, job, family);
    pages.Plan = PlanPages(pages.Layout, job);
    pages.Resolution = printer.resolution();
    const QPageLayout paper = printer.pageLayout();
    pages.Paper = paper.fullRectPixels(pages.Resolution).size();
    pages.Printable = printer.fullPage() ? QRectF(QPointF(0, 0), pages.Paper)
                                         : QRectF(paper.paintRectPixels(pages.Resolution));
    FPages = std::move(laidOut);
}

int TReportPages::Count() const {
    return FPages->Plan.Pages;
}
QSizeF TReportPages::PaperSize() const {
    return FPages->Paper;
}
QRectF TReportPages::PrintableRect() const {
    return FPages->Printable;
}
int TReportPages::Resolution() const {
    return FPages->Resolution;
}

void TReportPages::Paint(QPainter& p, int page) const {
    const TReportPrintJob& job = FPages->Job;
    const TPageLayout& L = FPages->Layout;
    const TPagePlan& plan = FPages->Plan;
    if (page < 1 || page > plan.Pages) return;
    if (page == 1) {
        const qreal top = DrawHeading(p, L, job, plan.Rows);
        if (plan.ChartPage) {
            RenderHistoryChart(p, ChartRect(L), *job.Chart);
        } else {
            DrawTable(p, L, job, 0, plan.OnFirst, top);
        }
    } else {
        DrawLine(p, L.Text, QRectF(0, 0, L.Page.width(), L.TextLine),
                 job.Source + QStringLiteral("    ") + RangeText(job));
        const size_t first = plan.OnFirst + static_cast<size_t>(page - 2) * plan.PerPage;
        const size_t count = std::min(plan.PerPage, plan.Rows - std::min(first, plan.Rows));
        DrawTable(p, L, job, first, count, PageHeaderHeight(L));
    }
    DrawFooter(p, L, page, plan.Pages);
}

namespace {

// The pages of the job on `printer`. Touches no object of another thread, so
// a worker may run it on a printer of its own.
int PrintPages(QPrinter& printer, const TReportPrintJob& job, const QString& family,
               const THistoryPrintProgress& progress) {
    QPainter p;
    if (!p.begin(&printer)) return 0;
    const TReportPages pages(printer, job, family);
    for (int page = 1; page <= pages.Count(); ++page) {
        if (progress && !progress(page, pages.Count())) {
            printer.abort();
            return page - 1;
        }
        if (page > 1 && !printer.newPage()) return page - 1;
        pages.Paint(p, page);
    }
    p.end();
    return pages.Count();
}

}  // namespace

QFont HistoryPrintFont(qreal pointSize, bool bold) {
    return PrintFont(PrintFamily(), pointSize, bold);
}

TReportPrintJob HistoryReportJob(const THistoryPrintJob& job) {
    TReportPrintJob report;
    report.Heading = QStringLiteral("历史数据报表");
    report.Source = job.Source;
    report.Begin = job.Begin;
    report.End = job.End;
    for (int c = 0; c < kHistoryColumnCount; ++c) {
        report.Captions.push_back(HistoryColumnCaption(c));
        report.Widths.push_back(kHistoryColumnWidths[static_cast<size_t>(c)]);
    }
    if (job.Readings != nullptr) {
        const std::vector<TTmpReading>* readings = job.Readings;
        report.Rows = readings->size();
        report.Cell = [readings](size_t row, int column) {
            return HistoryCellText((*readings)[row], column);
        };
    }
    report.Chart = job.Chart;
    return report;
}

TReportPrintJob HistoryReportJob(const THistoryPrintJob& job,
                                 std::shared_ptr<const std::vector<TTmpReading>> rows) {
    THistoryPrintJob bare = job;
    bare.Readings = nullptr;
    TReportPrintJob report = HistoryReportJob(bare);
    if (rows != nullptr) {
        report.Rows = rows->size();
        report.Cell = [rows = std::move(rows)](size_t row, int column) {
            return HistoryCellText((*rows)[row], column);
        };
    }
    return report;
}

int HistoryPrintPageCount(QPrinter& printer, const THistoryPrintJob& job) {
    return ReportPrintPageCount(printer, HistoryReportJob(job));
}

int PrintHistory(QPrinter& printer, const THistoryPrintJob& job,
                 const THistoryPrintProgress& progress) {
    return PrintReport(printer, HistoryReportJob(job), progress);
}

int ReportPrintPageCount(QPrinter& printer, const TReportPrintJob& job) {
    return TReportPages(printer, job).Count();
}

int PrintReport(QPrinter& printer, const TReportPrintJob& job,
                const THistoryPrintProgress& progress) {
    return PrintPages(printer, job, PrintFamily(), progress);
}

TWorkerPrintResult PrintReportOnWorker(QWidget* parent, QPrinter& printer,
                                       const TReportPrintJob& job) {
    // Everything that needs this thread is done before the worker starts:
    // the font family and the page count. The chart is painted by the worker.
    const QString family = PrintFamily();
    const int pages = TReportPages(printer, job, family).Count();
    TPagePainter paint = [job, family](QPrinter& target, const THistoryPrintProgress& progress) {
        return PrintPages(target, job, family, progress);
    };
    return PrintOnWorker(parent, CapturePrinterSettings(printer), pages, std::move(paint));
}

void PrintWithPreview(QWidget* parent, const TReportPrintJob& job) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(QPageLayout::Landscape);
    TPrintPreview preview(printer, job, parent);
    RunModal(preview);
}
