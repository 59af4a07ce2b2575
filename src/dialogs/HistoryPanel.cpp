#include "dialogs/HistoryPanel.h"

#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <exception>
#include <memory>

#include "dialogs/CsvExportDialog.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/PrintWorker.h"
#include "dialogs/Prompts.h"
#include "dialogs/RangePickers.h"

namespace {

// The widest text the "时间" column shows: a two-digit month, day and hour.
const QString kWidestTimeText = QStringLiteral("2006-12-28 23:59:59");
// Room around a cell's text (margins of the cell and the header's sort area).
constexpr int kTimeColumnPadding = 16;
// Decimation columns of a printed chart: finer than any screen plot.
constexpr int kPrintChartBuckets = 1500;
// The query's progress bar counts in thousandths.
constexpr int kQueryProgressSteps = 1000;

QString RowCountText(size_t rows) {
    return QStringLiteral("共 %1 条记录").arg(rows);
}

}  // namespace

THistoryPanel::THistoryPanel(const THistoryPanelOptions& options, QWidget* parent)
    : QWidget(parent),
      FButtonsAtRightEdge(options.ButtonsAtRightEdge),
      FBeginPicker(MakeRangePicker(QStringLiteral("BeginTimePicker"), options.TimeOfDay,
                                   kInitialPickerValue, this)),
      FEndPicker(MakeRangePicker(QStringLiteral("EndTimePicker"), options.TimeOfDay,
                                 kInitialPickerValue, this)),
      FQueryButton(new QPushButton(QStringLiteral("查询"), this)),
      FPrintButton(new QPushButton(QStringLiteral("打印..."), this)),
      FRowCountLabel(new QLabel(RowCountText(0), this)),
      FExportButton(new QPushButton(QStringLiteral("导出..."), this)),
      FTopRow(new QHBoxLayout),
      FTabs(new QTabWidget(this)),
      FReport(new THistoryReportView(FTabs)),
      FChart(new THistoryChart(options.Channels, FTabs)),
      FQuery(new THistoryQuery(this)),
      FQueryProgress(new QProgressBar(this)) {
    setObjectName(QStringLiteral("HistoryPanel"));
    FQueryButton->setObjectName(QStringLiteral("Button1"));
    FPrintButton->setObjectName(QStringLiteral("PrintButton"));
    FExportButton->setObjectName(QStringLiteral("ExportButton"));

    FTopRow->addWidget(new QLabel(QStringLiteral("起始日期："), this));
    FTopRow->addWidget(FBeginPicker);
    FTopRow->addWidget(new QLabel(QStringLiteral("－"), this));
    FTopRow->addWidget(FEndPicker);
    if (options.TimeOfDay) {
        FQuickRangeButtons =
            MakeQuickRangeButtons(this, [this](TQuickRange range) { SetQuickRange(range); });
        for (QPushButton* button : FQuickRangeButtons) FTopRow->addWidget(button);
    }
    FTopRow->addWidget(FQueryButton);
    // The progress bar takes room only while shown, from the stretch.
    FQueryProgress->setObjectName(QStringLiteral("QueryProgress"));
    FQueryProgress->setRange(0, kQueryProgressSteps);
    FQueryProgress->setFormat(QStringLiteral("正在查询… %p%"));
    FQueryProgress->setVisible(false);
    if (FButtonsAtRightEdge) {
        FTopRow->addWidget(FQueryProgress);
        FTopRow->addStretch(1);
    }
    FTopRow->addWidget(FPrintButton);
    FTopRow->addWidget(FExportButton);
    if (!FButtonsAtRightEdge) {
        FTopRow->addStretch(1);
        FTopRow->addWidget(FQueryProgress);
    }

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
        // The print takes the chart as shown: a long list's lines may still
        // be on their way, and the window does not wait for them.
        if (FChart->Indexing()) {
            SetPrintWhenIndexed(true);
        } else {
            ShowPrintPreview();
        }
    });
    connect(FChart, &THistoryChart::IndexDone, this, [this] {
        if (!FPrintWhenIndexed) return;
        SetPrintWhenIndexed(false);
        // Not inside the chart's own call: the preview runs an event loop.
        QMetaObject::invokeMethod(
            this, [this] { ShowPrintPreview(); }, Qt::QueuedConnection);
    });
    connect(FExportButton, &QPushButton::clicked, this, &THistoryPanel::ExportShownRows);

    FQueryProgressDelay.setSingleShot(true);
    FQueryProgressDelay.setInterval(kQueryProgressDelayMs);
    FQueryProgressPoll.setInterval(kQueryProgressPollMs);
    const auto follow = [this] {
        FQueryProgress->setValue(static_cast<int>(FQuery->ShareDone() * kQueryProgressSteps));
    };
    connect(&FQueryProgressDelay, &QTimer::timeout, this, [this, follow] {
        follow();
        FQueryProgress->setVisible(true);
        FQueryProgressPoll.start();
    });
    connect(&FQueryProgressPoll, &QTimer::timeout, this, follow);
    connect(FQuery, &THistoryQuery::Started, this, [this] {
        FQueryProgressPoll.stop();
        FQueryProgress->setVisible(false);
        FQueryProgress->setValue(0);
        FQueryProgressDelay.start();
    });
    connect(FQuery, &THistoryQuery::Finished, this, [this] {
        FQueryProgressDelay.stop();
        FQueryProgressPoll.stop();
        FQueryProgress->setVisible(false);
    });
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
    const TTimeRange r = QuickRangeAt(range, FClock ? FClock() : Now());
    SetBeginTime(r.Begin);
    SetEndTime(r.End);
}

QPushButton* THistoryPanel::AddButton(const QString& caption, const QString& objectName) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(objectName);
    // Buttons that follow "查询" go before the trailing stretch and the
    // progress bar.
    const int at = FButtonsAtRightEdge ? FTopRow->count() : FTopRow->count() - 2;
    FTopRow->insertWidget(at, button);
    return button;
}

THistoryPanel::~THistoryPanel() {
    // The chart's worker may read the list: it stops before the list goes.
    ClearReadings();
}

void THistoryPanel::ShowReadings(TReadingList readings, const THistoryTitle& title) {
    SetPrintWhenIndexed(false);  // a print waiting was for the rows shown before
    TReadingList shown = std::exchange(FReadings, std::move(readings));
    FTitle = title;
    FReport->SetReadings(FReadings.get());
    // The rows show at once; a long list's lines come once the chart's
    // worker has indexed it. The chart stops reading the list shown before.
    FChart->SetReadings(FReadings.get());
    FRowCountLabel->setText(RowCountText(FReadings != nullptr ? FReadings->size() : 0));
    FQuery->LetGo(std::move(shown));
}

void THistoryPanel::SetPrintWhenIndexed(bool waiting) {
    if (waiting == FPrintWhenIndexed) return;
    FPrintWhenIndexed = waiting;
    if (waiting) {
        setCursor(Qt::BusyCursor);
    } else {
        unsetCursor();
    }
}

void THistoryPanel::ClearReadings() {
    ShowReadings(nullptr, THistoryTitle{});
}

THistoryPrintJob THistoryPanel::PrintJob() const {
    THistoryPrintJob job;
    job.Source = FTitle.Source;
    job.Begin = FTitle.Begin;
    job.End = FTitle.End;
    job.Readings = FReadings.get();
    // The lines of a long list may still be on their way.
    FChart->WaitForIndex();
    job.Chart = FChart->Snapshot(kPrintChartBuckets);
    return job;
}

void THistoryPanel::ShowPrintPreview() {
    // The preview and the print run event loops, during which the owner may
    // show other rows or let its list go (a backup does), and a long print
    // reads its rows on a worker: the report shares the list, which lives as
    // long as its last reader, also if this panel is closed meanwhile.
    const QPointer<THistoryPanel> alive(this);
    TReadingList rows = FReadings;
    try {
        PrintWithPreview(this, HistoryReportJob(PrintJob(), rows));
    } catch (const std::exception& e) {
        // Out of memory and the like, here or on the print's worker:
        // reported, never left to unwind through the button's event loop.
        if (!alive.isNull()) {
            ShowMessage(this, QString::fromUtf8(kPrintFailedMessage) + QChar('\n') +
                                  QString::fromLocal8Bit(e.what()));
        }
    }
    // Rows replaced meanwhile are this call's to let go.
    if (!alive.isNull()) FQuery->LetGo(std::move(rows));
}

void THistoryPanel::ExportShownRows() {
    // The progress dialog lets events through, during which the owner may
    // show other rows or let its list go (a backup does): the export holds
    // the list it was given.
    const QPointer<THistoryPanel> alive(this);
    TReadingList rows = FReadings;
    const std::vector<TTmpReading> none;
    const std::vector<TTmpReading>& list = rows != nullptr ? *rows : none;
    const QString name = FTitle.ExportName.isEmpty() ? FTitle.Source : FTitle.ExportName;
    ExportRowsToCsv(this, ExportFileName(name, FTitle.Begin, FTitle.End), ReadingCsvHeaders(),
                    list.size(),
                    [&list](size_t index, TCsvRow& row) { ReadingCsvCells(list[index], row); });
    if (!alive.isNull()) FQuery->LetGo(std::move(rows));
}
