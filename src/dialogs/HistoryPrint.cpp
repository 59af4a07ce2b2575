#include "dialogs/HistoryPrint.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <array>
#include <cmath>

#include "dialogs/HistoryReport.h"

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

// Everything measured once per job, in device pixels.
struct TPageLayout {
    QRectF Page;     // the printable area
    qreal Unit = 1;  // device pixels per point
    QFont Heading, Text, Table, TableBold;
    qreal TextLine = 0, RowHeight = 0, Gap = 0, Padding = 0;
    std::array<qreal, kHistoryColumnCount> ColumnX{}, ColumnWidth{};
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

TPageLayout MakeLayout(QPrinter& printer) {
    const QPaintDevice& device = printer;
    TPageLayout L;
    const QRectF paint = printer.pageLayout().paintRectPixels(printer.resolution());
    L.Page = QRectF(QPointF(0, 0), paint.size());
    L.Unit = device.logicalDpiY() / kPointsPerInch;
    L.Heading = HistoryPrintFont(kHeadingPoints, true);
    L.Text = HistoryPrintFont(kTextPoints);
    L.Table = HistoryPrintFont(kTablePoints);
    L.TableBold = HistoryPrintFont(kTablePoints, true);
    // Metrics against the printer, so sizes are in its pixels.
    L.Heading = QFont(L.Heading, &device);
    L.Text = QFont(L.Text, &device);
    L.Table = QFont(L.Table, &device);
    L.TableBold = QFont(L.TableBold, &device);
    L.TextLine = QFontMetricsF(L.Text).height() * kRowSpacing;
    L.RowHeight = QFontMetricsF(L.TableBold).height() * kRowSpacing;
    L.Gap = kBlockGapPoints * L.Unit;
    L.Padding = kCellPaddingPoints * L.Unit;

    int units = 0;
    for (int width : kHistoryColumnWidths) {
        units += width > 0 ? width : kDefaultColumnUnits;
    }
    qreal x = 0;
    for (int c = 0; c < kHistoryColumnCount; ++c) {
        const int w = kHistoryColumnWidths[static_cast<size_t>(c)];
        const size_t i = static_cast<size_t>(c);
        L.ColumnX[i] = x;
        L.ColumnWidth[i] = L.Page.width() * (w > 0 ? w : kDefaultColumnUnits) / units;
        x += L.ColumnWidth[i];
    }
    const qreal bottom = L.Page.height() - FooterHeight(L);
    L.RowsFirstPage = RowsFitting(L, bottom - HeadingBlockHeight(L));
    L.RowsPerPage = RowsFitting(L, bottom - PageHeaderHeight(L));
    return L;
}

QString RangeText(const THistoryPrintJob& job) {
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
void DrawTable(QPainter& p, const TPageLayout& L, const std::vector<TTmpReading>* rows,
               size_t first, size_t count, qreal top) {
    p.setFont(L.TableBold);
    const QFontMetricsF boldMetrics(L.TableBold);
    for (int c = 0; c < kHistoryColumnCount; ++c) {
        DrawCell(p, L, boldMetrics, c, top, HistoryColumnCaption(c));
    }
    qreal y = top + L.RowHeight;
    p.drawLine(QPointF(0, y), QPointF(L.Page.width(), y));
    if (rows == nullptr) return;
    p.setFont(L.Table);
    const QFontMetricsF metrics(L.Table);
    const size_t end = std::min(rows->size(), first + count);
    for (size_t r = first; r < end; ++r) {
        for (int c = 0; c < kHistoryColumnCount; ++c) {
            DrawCell(p, L, metrics, c, y, HistoryCellText((*rows)[r], c));
        }
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
qreal DrawHeading(QPainter& p, const TPageLayout& L, const THistoryPrintJob& job, size_t rows) {
    const qreal headingLine = QFontMetricsF(L.Heading).height() * kRowSpacing;
    qreal y = 0;
    DrawLine(p, L.Heading, QRectF(0, y, L.Page.width(), headingLine),
             QStringLiteral("历史数据报表"));
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

TPagePlan PlanPages(const TPageLayout& L, const THistoryPrintJob& job) {
    TPagePlan plan;
    plan.Rows = job.Readings == nullptr ? 0 : job.Readings->size();
    plan.ChartPage = job.Chart.has_value();
    plan.OnFirst = plan.ChartPage ? 0 : std::min(plan.Rows, static_cast<size_t>(L.RowsFirstPage));
    plan.PerPage = static_cast<size_t>(L.RowsPerPage);
    size_t tablePages = (plan.Rows - plan.OnFirst + plan.PerPage - 1) / plan.PerPage;
    if (plan.ChartPage && tablePages == 0) tablePages = 1;
    plan.Pages = static_cast<int>(1 + tablePages);
    return plan;
}

}  // namespace

QFont HistoryPrintFont(qreal pointSize, bool bold) {
    // Looked up once: the installed fonts do not change while we run.
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
    QFont font(family);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

int HistoryPrintPageCount(QPrinter& printer, const THistoryPrintJob& job) {
    return PlanPages(MakeLayout(printer), job).Pages;
}

int PrintHistory(QPrinter& printer, const THistoryPrintJob& job,
                 const THistoryPrintProgress& progress) {
    QPainter p;
    if (!p.begin(&printer)) return 0;
    const TPageLayout L = MakeLayout(printer);
    const TPagePlan plan = PlanPages(L, job);
    auto goOn = [&](int page) { return !progress || progress(page, plan.Pages); };
    if (!goOn(1)) {
        printer.abort();
        return 0;
    }

    const qreal top = DrawHeading(p, L, job, plan.Rows);
    if (plan.ChartPage) {
        const qreal available = L.Page.height() - FooterHeight(L) - top;
        const qreal height = std::min(available, L.Page.width() * kChartAspect);
        RenderHistoryChart(p, QRectF(0, top, L.Page.width(), height), *job.Chart);
    } else {
        DrawTable(p, L, job.Readings, 0, plan.OnFirst, top);
    }
    DrawFooter(p, L, 1, plan.Pages);

    size_t next = plan.OnFirst;
    for (int page = 2; page <= plan.Pages; ++page) {
        if (!goOn(page)) {
            printer.abort();
            return page - 1;
        }
        if (!printer.newPage()) return page - 1;
        DrawLine(p, L.Text, QRectF(0, 0, L.Page.width(), L.TextLine),
                 job.Source + QStringLiteral("    ") + RangeText(job));
        const size_t count = std::min(plan.PerPage, plan.Rows - next);
        DrawTable(p, L, job.Readings, next, count, PageHeaderHeight(L));
        next += count;
        DrawFooter(p, L, page, plan.Pages);
    }
    p.end();
    return plan.Pages;
}
