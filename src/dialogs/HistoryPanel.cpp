#include "dialogs/HistoryPanel.h"

#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "dialogs/CsvExportDialog.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/Prompts.h"

namespace {

// The pickers show the date in the station's short date format and the time
// of day: a range runs from one instant to another, and a hidden time would
// make "today to tomorrow" miss samples without a word. Changing the date
// never touches the time.
const QString kPickerFormat = QStringLiteral("yyyy-M-d H:mm:ss");
const QString kDatePickerFormat = QStringLiteral("yyyy-M-d");
// The widest text the "时间" column shows: a two-digit month, day and hour.
const QString kWidestTimeText = QStringLiteral("2006-12-28 23:59:59");
// Room around a cell's text (margins of the cell and the header's sort area).
constexpr int kTimeColumnPadding = 16;

struct TQuickRangeText {
    const char* Caption;
    const char* Name;
};
constexpr std::array<TQuickRangeText, 4> kQuickRanges = {{
    {"今天", "TodayButton"},
    {"最近24小时", "Last24HoursButton"},
    {"最近7天", "Last7DaysButton"},
    {"最近30天", "Last30DaysButton"},
}};

QString RowCountText(size_t rows) {
    return QStringLiteral("共 %1 条记录").arg(rows);
}
// Decimation columns of a printed chart: finer than any screen plot.
constexpr int kPrintChartBuckets = 1500;
// Jobs up to this many pages are previewed; longer ones print directly.
constexpr int kPreviewPageLimit = 300;

QDateTimeEdit* MakePicker(const QString& name, bool timeOfDay, QWidget* parent) {
    auto* picker = new QDateTimeEdit(parent);
    picker->setObjectName(name);
    picker->setTimeSpec(Qt::UTC);
    picker->setDisplayFormat(timeOfDay ? kPickerFormat : kDatePickerFormat);
    picker->setCalendarPopup(true);
    picker->setDateTime(PickerDateTime(kInitialPickerValue));
    return picker;
}

}  // namespace

QDateTime PickerDateTime(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    return QDateTime(QDate(p.Year, p.Month, p.Day),
                     QTime(p.Hour, p.Minute, p.Second, p.Millisecond), Qt::UTC);
}

TDateTime PickerValue(const QDateTime& value) {
    // The fields as shown; the edit's time spec only keeps them valid.
    const QDate d = value.date();
    const QTime t = value.time();
    return EncodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec());
}

THistoryPanel::THistoryPanel(const THistoryPanelOptions& options, QWidget* parent)
    : QWidget(parent),
      FButtonsAtRightEdge(options.ButtonsAtRightEdge),
      FBeginPicker(MakePicker(QStringLiteral("BeginTimePicker"), options.TimeOfDay, this)),
      FEndPicker(MakePicker(QStringLiteral("EndTimePicker"), options.TimeOfDay, this)),
      FQueryButton(new QPushButton(QStringLiteral("查询"), this)),
      FPrintButton(new QPushButton(QStringLiteral("打印..."), this)),
      FRowCountLabel(new QLabel(RowCountText(0), this)),
      FExportButton(new QPushButton(QStringLiteral("导出..."), this)),
      FTopRow(new QHBoxLayout),
      FTabs(new QTabWidget(this)),
      FReport(new THistoryReportView(FTabs)),
      FChart(new THistoryChart(options.Channels, FTabs)) {
    setObjectName(QStringLiteral("HistoryPanel"));
    FQueryButton->setObjectName(QStringLiteral("Button1"));
    FPrintButton->setObjectName(QStringLiteral("PrintButton"));
    FExportButton->setObjectName(QStringLiteral("ExportButton"));

    FTopRow->addWidget(new QLabel(QStringLiteral("起始日期："), this));
    FTopRow->addWidget(FBeginPicker);
    FTopRow->addWidget(new QLabel(QStringLiteral("－"), this));
    FTopRow->addWidget(FEndPicker);
    for (size_t i = 0; options.TimeOfDay && i < kQuickRanges.size(); ++i) {
        auto* button = new QPushButton(QString::fromUtf8(kQuickRanges[i].Caption), this);
        button->setObjectName(QString::fromUtf8(kQuickRanges[i].Name));
        const auto range = static_cast<TQuickRange>(i);
        connect(button, &QPushButton::clicked, this, [this, range] { SetQuickRange(range); });
        FQuickRangeButtons[i] = button;
        FTopRow->addWidget(button);
    }
    FTopRow->addWidget(FQueryButton);
    if (FButtonsAtRightEdge) FTopRow->addStretch(1);
    FTopRow->addWidget(FPrintButton);
    FTopRow->addWidget(FExportButton);
    if (!FButtonsAtRightEdge) FTopRow->addStretch(1);

    FTabs->setObjectName(QStringLiteral("HistoryPageControl"));
    FTabs->setTabPosition(QTabWidget::South);
    FTabs->addTab(FReport, QStringLiteral("报表"));
    FTabs->addTab(FChart, QStringLiteral("曲线"));
    FRowCountLabel->setObjectName(QStringLiteral("RowCountLabel"));
    FRowCountLabel->setContentsMargins(8, 0, 8, 0);
    FTabs->setCornerWidget(FRowCountLabel, Qt::BottomRightCorner);

    // The "时间" column holds a date and a time of day in full.
    const int timeWidth =
        FReport->fontMetrics().horizontalAdvance(kWidestTimeText) + kTimeColumnPadding;
    QHeaderView* columns = FReport->horizontalHeader();
    columns->resizeSection(kColTime, std::max(columns->sectionSize(kColTime), timeWidth));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(FTopRow);
    layout->addWidget(FTabs, 1);

    connect(FQueryButton, &QPushButton::clicked, this, &THistoryPanel::QueryClicked);
    connect(FPrintButton, &QPushButton::clicked, this, [this] {
        emit PrintClicked();
        ShowPrintPreview();
    });
    connect(FExportButton, &QPushButton::clicked, this, &THistoryPanel::ExportShownRows);
}

TDateTime THistoryPanel::BeginTime() const {
    return PickerValue(FBeginPicker->dateTime());
}
TDateTime THistoryPanel::EndTime() const {
    return PickerValue(FEndPicker->dateTime());
}
void THistoryPanel::SetBeginTime(TDateTime value) {
    FBeginPicker->setDateTime(PickerDateTime(value));
}
void THistoryPanel::SetEndTime(TDateTime value) {
    FEndPicker->setDateTime(PickerDateTime(value));
}

void THistoryPanel::SetQuickRange(TQuickRange range) {
    const TDateTime now = FClock ? FClock() : Now();
    TDateTime begin = now;
    TDateTime end = now;
    switch (range) {
        case TQuickRange::Today: {
            // The whole day, up to its last millisecond.
            const TDateTimeParts p = DecodeDateTime(now);
            begin = EncodeDateTime(p.Year, p.Month, p.Day, 0, 0, 0, 0);
            end = EncodeDateTime(p.Year, p.Month, p.Day, 23, 59, 59, 999);
            break;
        }
        case TQuickRange::Last24Hours:
            begin = now - 1;
            break;
        case TQuickRange::Last7Days:
            begin = now - 7;
            break;
        case TQuickRange::Last30Days:
            begin = now - 30;
            break;
    }
    SetBeginTime(begin);
    SetEndTime(end);
}

QPushButton* THistoryPanel::AddButton(const QString& caption, const QString& objectName) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(objectName);
    // Buttons that follow "查询" go before the trailing stretch.
    const int at = FButtonsAtRightEdge ? FTopRow->count() : FTopRow->count() - 1;
    FTopRow->insertWidget(at, button);
    return button;
}

void THistoryPanel::ShowReadings(const std::vector<TTmpReading>* readings,
                                 const THistoryTitle& title) {
    FReadings = readings;
    FTitle = title;
    FReport->SetReadings(readings);
    FChart->SetReadings(readings);
    FRowCountLabel->setText(RowCountText(readings != nullptr ? readings->size() : 0));
}

void THistoryPanel::ClearReadings() {
    ShowReadings(nullptr, THistoryTitle{});
}

THistoryPrintJob THistoryPanel::PrintJob() const {
    THistoryPrintJob job;
    job.Source = FTitle.Source;
    job.Begin = FTitle.Begin;
    job.End = FTitle.End;
    job.Readings = FReadings;
    job.Chart = FChart->Snapshot(kPrintChartBuckets);
    return job;
}

void THistoryPanel::ShowPrintPreview() {
    // The preview runs its own event loop, during which the owner may replace
    // or release its list (a backup does): print from a copy of the rows.
    THistoryPrintJob job = PrintJob();
    const std::vector<TTmpReading> rows =
        FReadings != nullptr ? *FReadings : std::vector<TTmpReading>();
    job.Readings = &rows;

    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(QPageLayout::Landscape);
    if (HistoryPrintPageCount(printer, job) <= kPreviewPageLimit) {
        QPrintPreviewDialog dialog(&printer, this);
        dialog.setObjectName(QStringLiteral("HistoryPrintPreview"));
        dialog.setWindowTitle(QStringLiteral("打印预览"));
        connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog,
                [&job](QPrinter* target) { PrintHistory(*target, job); });
        RunModal(dialog);
        return;
    }

    // A preview keeps every page in memory (about 0.1 MB each; a year of
    // samples is some 16,000 pages): print straight away, page by page,
    // with a way to stop.
    QPrintDialog dialog(&printer, this);
    dialog.setObjectName(QStringLiteral("HistoryPrintDialog"));
    if (RunModal(dialog) != QDialog::Accepted) return;
    QProgressDialog progress(QStringLiteral("正在打印..."), QStringLiteral("取消"), 0,
                             HistoryPrintPageCount(printer, job), this);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    PrintHistory(printer, job, [&progress](int page, int pages) {
        progress.setMaximum(pages);
        progress.setValue(page - 1);
        return !progress.wasCanceled();
    });
}

void THistoryPanel::ExportShownRows() {
    // The progress dialog lets events through, during which the owner may
    // replace or release its list (a backup does): export from a copy.
    const std::vector<TTmpReading> rows =
        FReadings != nullptr ? *FReadings : std::vector<TTmpReading>();
    const QString name = FTitle.ExportName.isEmpty() ? FTitle.Source : FTitle.ExportName;
    ExportRowsToCsv(this, ExportFileName(name, FTitle.Begin, FTitle.End), ReadingCsvHeaders(),
                    rows.size(),
                    [&rows](size_t index, TCsvRow& row) { ReadingCsvCells(rows[index], row); });
}
