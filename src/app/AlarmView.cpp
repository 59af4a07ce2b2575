#include "app/AlarmView.h"

#include <QBrush>
#include <QColor>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <string>

#include "app/ErrorReport.h"
#include "dialogs/CsvExportDialog.h"
#include "dialogs/RangePickers.h"
#include "store/CsvExport.h"

namespace {

const char* const kActiveCaptions[] = {"状态", "位置", "地址",     "报警类型",
                                       "详情", "数值", "产生时间", "恢复时间"};
const char* const kHistoryCaptions[] = {"时间", "位置", "地址", "类型", "动作", "数值", "详情"};
constexpr int kActiveColumnCount = static_cast<int>(std::size(kActiveCaptions));
constexpr int kHistoryColumnCount = static_cast<int>(std::size(kHistoryCaptions));
// Raises and clears come too often to mean much one by one.
const char* const kChatteringMark = "（频繁）";
// The name "导出..." suggests for the file, with the range's dates.
const char* const kExportSource = "报警记录";
// Printed column widths (relative): room for the date and time and the
// detail, little for the address.
constexpr int kPrintWidths[] = {120, 90, 40, 70, 60, 50, 150};
static_assert(std::size(kPrintWidths) == std::size(kHistoryCaptions));
// The alarm's id on the first cell of its row: the selection follows it
// across redraws.
constexpr int kAlarmIdRole = Qt::UserRole;

const char* StateText(TAlarmState state) {
    switch (state) {
        case TAlarmState::ActiveUnacknowledged:
            return "报警未确认";
        case TAlarmState::ActiveAcknowledged:
            return "报警已确认";
        case TAlarmState::ClearedUnacknowledged:
            return "已恢复未确认";
    }
    return "";
}

bool Unacknowledged(TAlarmState state) {
    return state != TAlarmState::ActiveAcknowledged;
}

bool SameAsShown(const TAlarm& a, const TAlarm& b) {
    return a.Id == b.Id && a.Address == b.Address && a.PosName == b.PosName && a.Kind == b.Kind &&
           a.State == b.State && a.Value == b.Value && a.Detail == b.Detail &&
           a.RaisedAt == b.RaisedAt && a.ClearedAt == b.ClearedAt && a.Chattering == b.Chattering;
}

QString TimeText(TDateTime value) {
    return value != 0 ? QString::fromStdString(DateTimeToText(value)) : QString();
}

QTableWidget* MakeTable(const char* const* captions, int columns, const QString& name,
                        QWidget* parent) {
    auto* table = new QTableWidget(0, columns, parent);
    table->setObjectName(name);
    QStringList labels;
    for (int column = 0; column < columns; ++column) labels << QString::fromUtf8(captions[column]);
    table->setHorizontalHeaderLabels(labels);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

QPushButton* MakeButton(const char* caption, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(name);
    return button;
}

void EventCells(const TEventInfo& event, TCsvRow& row) {
    row.resize(kHistoryColumnCount);
    row[0] = CsvDateTimeText(event.DateTime);
    row[1] = event.StationPosName.Utf8();
    row[2] = std::to_string(event.TmpAddr);
    row[3] = EventKindText(event.Kind);
    row[4] = EventActionText(event.Action);
    row[5] = std::to_string(event.Value);
    row[6] = event.Detail.Utf8();
}

// A slot's work: whatever escapes it is reported, never left to unwind
// through the event loop.
template <typename F>
void Guarded(QWidget* parent, F&& work) {
    try {
        work();
    } catch (...) {
        ReportApplicationException(parent, std::current_exception());
    }
}

}  // namespace

TAlarmPage::TAlarmPage(TAlarmMonitor& monitor, QWidget* parent)
    : QWidget(parent),
      FMonitor(monitor),
      FActiveTable(
          MakeTable(kActiveCaptions, kActiveColumnCount, QStringLiteral("ActiveAlarmTable"), this)),
      FAcknowledgeButton(MakeButton("确认", QStringLiteral("AcknowledgeButton"), this)),
      FAcknowledgeAllButton(MakeButton("全部确认", QStringLiteral("AcknowledgeAllButton"), this)),
      FBeginPicker(MakeRangePicker(QStringLiteral("BeginTimePicker"), true, 0, this)),
      FEndPicker(MakeRangePicker(QStringLiteral("EndTimePicker"), true, 0, this)),
      FQueryButton(MakeButton("查询", QStringLiteral("QueryButton"), this)),
      FPrintButton(MakeButton("打印...", QStringLiteral("PrintButton"), this)),
      FExportButton(MakeButton("导出...", QStringLiteral("ExportButton"), this)),
      FRowCount(new QLabel(this)),
      FHistoryTable(MakeTable(kHistoryCaptions, kHistoryColumnCount,
                              QStringLiteral("EventHistoryTable"), this)) {
    setObjectName(QStringLiteral("AlarmPage"));
    FRowCount->setObjectName(QStringLiteral("RowCountLabel"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FActiveTable, 1);
    auto* ackRow = new QHBoxLayout;
    ackRow->addWidget(FAcknowledgeButton);
    ackRow->addWidget(FAcknowledgeAllButton);
    ackRow->addStretch();
    layout->addLayout(ackRow);

    auto* rangeRow = new QHBoxLayout;
    rangeRow->addWidget(new QLabel(QStringLiteral("起始日期："), this));
    rangeRow->addWidget(FBeginPicker);
    rangeRow->addWidget(new QLabel(QStringLiteral("－"), this));
    rangeRow->addWidget(FEndPicker);
    for (QPushButton* button :
         MakeQuickRangeButtons(this, [this](TQuickRange range) { SetQuickRange(range); })) {
        rangeRow->addWidget(button);
    }
    rangeRow->addWidget(FQueryButton);
    rangeRow->addWidget(FPrintButton);
    rangeRow->addWidget(FExportButton);
    rangeRow->addWidget(FRowCount);
    rangeRow->addStretch();
    layout->addLayout(rangeRow);
    layout->addWidget(FHistoryTable, 2);

    connect(FAcknowledgeButton, &QPushButton::clicked, this, [this] { AcknowledgeSelected(); });
    connect(FAcknowledgeAllButton, &QPushButton::clicked, this, [this] { AcknowledgeAll(); });
    connect(FQueryButton, &QPushButton::clicked, this, [this] { Query(); });
    connect(FPrintButton, &QPushButton::clicked, this, [this] { Print(); });
    connect(FExportButton, &QPushButton::clicked, this, [this] { Export(); });
    connect(FActiveTable, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });

    SetQuickRange(TQuickRange::Today);
    ShowHistory();
    RefreshActive();
    // An empty list is "as shown" already, so the buttons start here.
    UpdateButtons();
}

void TAlarmPage::SetClock(TClock clock) {
    FClock = std::move(clock);
    SetQuickRange(TQuickRange::Today);
}

void TAlarmPage::SetQuickRange(TQuickRange range) {
    const TTimeRange r = QuickRangeAt(range, NowTime());
    FBeginPicker->setDateTime(PickerDateTime(r.Begin));
    FEndPicker->setDateTime(PickerDateTime(r.End));
}

void TAlarmPage::RefreshActive() {
    const std::vector<TAlarm> alarms = FMonitor.Active();
    if (alarms.size() == FShownAlarms.size() &&
        std::equal(alarms.begin(), alarms.end(), FShownAlarms.begin(), SameAsShown)) {
        return;
    }
    // Rows move when alarms come and go: keep the operator's selection on
    // the alarm, not on the row number.
    int32_t selectedId = 0;
    const QList<QTableWidgetItem*> selected = FActiveTable->selectedItems();
    if (!selected.isEmpty()) {
        const QTableWidgetItem* first = FActiveTable->item(selected.front()->row(), 0);
        if (first != nullptr) selectedId = first->data(kAlarmIdRole).toInt();
    }
    const int rows = static_cast<int>(alarms.size());
    FActiveTable->setRowCount(rows);
    int reselect = -1;
    for (int row = 0; row < rows; ++row) {
        ShowActiveRow(row, alarms[static_cast<size_t>(row)]);
        if (selectedId != 0 && alarms[static_cast<size_t>(row)].Id == selectedId) reselect = row;
    }
    FShownAlarms = alarms;
    if (reselect >= 0) {
        FActiveTable->selectRow(reselect);
    } else {
        FActiveTable->clearSelection();
    }
    UpdateButtons();
}

void TAlarmPage::ShowActiveRow(int row, const TAlarm& alarm) {
    QString state = QString::fromUtf8(StateText(alarm.State));
    if (alarm.Chattering) state += QString::fromUtf8(kChatteringMark);
    const QString cells[kActiveColumnCount] = {
        state,
        QString::fromStdString(alarm.PosName),
        QString::number(alarm.Address),
        QString::fromUtf8(EventKindText(alarm.Kind)),
        QString::fromStdString(alarm.Detail),
        QString::number(alarm.Value),
        TimeText(alarm.RaisedAt),
        TimeText(alarm.ClearedAt),
    };
    const QBrush foreground = Unacknowledged(alarm.State) ? QBrush(QColor(Qt::red)) : QBrush();
    for (int column = 0; column < kActiveColumnCount; ++column) {
        QTableWidgetItem* item = FActiveTable->item(row, column);
        if (item == nullptr) {
            item = new QTableWidgetItem;
            FActiveTable->setItem(row, column, item);
        }
        if (item->text() != cells[column]) item->setText(cells[column]);
        if (item->foreground() != foreground) item->setForeground(foreground);
    }
    FActiveTable->item(row, 0)->setData(kAlarmIdRole, alarm.Id);
}

void TAlarmPage::UpdateButtons() {
    const QList<QTableWidgetItem*> selected = FActiveTable->selectedItems();
    bool selectedUnacknowledged = false;
    if (!selected.isEmpty()) {
        const auto row = static_cast<size_t>(selected.front()->row());
        selectedUnacknowledged =
            row < FShownAlarms.size() && Unacknowledged(FShownAlarms[row].State);
    }
    FAcknowledgeButton->setEnabled(selectedUnacknowledged);
    FAcknowledgeAllButton->setEnabled(FMonitor.HasUnacknowledged());
}

void TAlarmPage::AcknowledgeSelected() {
    Guarded(this, [this] {
        const QList<QTableWidgetItem*> selected = FActiveTable->selectedItems();
        if (selected.isEmpty()) return;
        const QTableWidgetItem* first = FActiveTable->item(selected.front()->row(), 0);
        if (first == nullptr) return;
        Acknowledged(FMonitor.Acknowledge(static_cast<int32_t>(first->data(kAlarmIdRole).toInt()),
                                          NowTime()));
    });
}

void TAlarmPage::AcknowledgeAll() {
    Guarded(this, [this] { Acknowledged(FMonitor.AcknowledgeAll(NowTime())); });
}

void TAlarmPage::Acknowledged(std::vector<TAlarmEvent> events) {
    // The table first: a hook that fails must not leave acknowledged alarms
    // drawn as unacknowledged.
    RefreshActive();
    if (!events.empty() && FAcknowledged) FAcknowledged(std::move(events));
}

void TAlarmPage::Query() {
    Guarded(this, [this] {
        FEvents.clear();
        FEventsBegin = PickerValue(FBeginPicker->dateTime());
        FEventsEnd = PickerValue(FEndPicker->dateTime());
        if (FStore != nullptr) {
            std::vector<TEventInfo> events;
            FStore->QueryEvents(events, FEventsBegin, FEventsEnd);
            FEvents = std::move(events);
        }
        ShowHistory();
    });
}

void TAlarmPage::ShowHistory() {
    const int rows = static_cast<int>(FEvents.size());
    FHistoryTable->setRowCount(0);
    FHistoryTable->setRowCount(rows);
    TCsvRow cells;
    for (int row = 0; row < rows; ++row) {
        const TEventInfo& event = FEvents[static_cast<size_t>(row)];
        EventCells(event, cells);
        // The table shows the station's own date format; the file a
        // spreadsheet's.
        cells[0] = DateTimeToText(event.DateTime);
        for (int column = 0; column < kHistoryColumnCount; ++column) {
            FHistoryTable->setItem(
                row, column,
                new QTableWidgetItem(QString::fromStdString(cells[static_cast<size_t>(column)])));
        }
    }
    FRowCount->setText(QStringLiteral("共 %1 条记录").arg(rows));
    FPrintButton->setEnabled(rows > 0);
    FExportButton->setEnabled(rows > 0);
}

void TAlarmPage::Export() {
    Guarded(this, [this] {
        // Rows of the page's own: the progress dialog lets events through,
        // and a new query meanwhile must not pull them away.
        const std::vector<TEventInfo> rows = FEvents;
        const TCsvRow headers(std::begin(kHistoryCaptions), std::end(kHistoryCaptions));
        ExportRowsToCsv(this,
                        ExportFileName(QString::fromUtf8(kExportSource), FEventsBegin, FEventsEnd),
                        headers, rows.size(),
                        [&rows](size_t index, TCsvRow& row) { EventCells(rows[index], row); });
    });
}

TReportPrintJob TAlarmPage::PrintJob() const {
    TReportPrintJob job;
    job.Heading = QStringLiteral("报警记录报表");
    job.Source = QString::fromUtf8(kExportSource);
    job.Begin = FEventsBegin;
    job.End = FEventsEnd;
    for (const char* caption : kHistoryCaptions) job.Captions << QString::fromUtf8(caption);
    job.Widths.assign(std::begin(kPrintWidths), std::end(kPrintWidths));
    job.Rows = FEvents.size();
    // The job holds its own rows: the print dialogs let events through, a
    // new query meanwhile must not pull them away, and a long print reads
    // them on its worker. The Cell captures only this shared copy (never the
    // page), so it stays valid on any thread for as long as any reader.
    auto rows = std::make_shared<const std::vector<TEventInfo>>(FEvents);
    job.Cell = [rows](size_t row, int column) {
        TCsvRow cells;
        EventCells((*rows)[row], cells);
        if (column == 0) return QString::fromStdString(DateTimeToText((*rows)[row].DateTime));
        return QString::fromStdString(cells[static_cast<size_t>(column)]);
    };
    return job;
}

void TAlarmPage::Print() {
    Guarded(this, [this] { PrintWithPreview(this, PrintJob()); });
}
