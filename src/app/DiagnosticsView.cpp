#include "app/DiagnosticsView.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/StationCells.h"
#include "dialogs/Prompts.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "serial/Comm.h"
#include "store/Items.h"

namespace {

const char* const kStatsCaptions[] = {
    "位置", "名称",    "地址",     "端口",     "请求",         "应答",
    "超时", "CRC错误", "异常应答", "丢弃字节", "最后应答时间", "往返(毫秒) 最近/平均"};
const char* const kMonitorCaptions[] = {"时间", "方向", "数据", "解析"};
constexpr const char* kSaveFailedMessage = "保存线路监视记录失败！";

QStringList Captions(const char* const* first, size_t count) {
    QStringList list;
    for (size_t i = 0; i < count; ++i) list << QString::fromUtf8(first[i]);
    return list;
}

QTableWidget* MakeTable(const char* name, const QStringList& captions, QWidget* parent) {
    auto* table = new QTableWidget(0, static_cast<int>(captions.size()), parent);
    table->setObjectName(QString::fromUtf8(name));
    table->setHorizontalHeaderLabels(captions);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

// Sets a cell's text, making the item on first use; unchanged text is left.
QString RealSaveFileDialog(QWidget* parent) {
    return QFileDialog::getSaveFileName(parent, QString(), QStringLiteral("line-monitor.txt"),
                                        QStringLiteral("*.txt"));
}

}  // namespace

TDiagnosticsPage::TDiagnosticsPage(QWidget* parent)
    : QWidget(parent), FSaveFileDialog(RealSaveFileDialog) {
    setObjectName(QStringLiteral("DiagnosticsPage"));
    FTable =
        MakeTable("DiagnosticsTable", Captions(kStatsCaptions, std::size(kStatsCaptions)), this);
    FMonitor = MakeTable("LineMonitorTable",
                         Captions(kMonitorCaptions, std::size(kMonitorCaptions)), this);
    FPause = new QCheckBox(QStringLiteral("暂停"), this);
    FPause->setObjectName(QStringLiteral("PauseMonitorCheckBox"));
    FSave = new QPushButton(QStringLiteral("保存..."), this);
    FSave->setObjectName(QStringLiteral("SaveMonitorButton"));
    connect(FSave, &QPushButton::clicked, this, &TDiagnosticsPage::SaveMonitorButtonClick);

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("线路监视"), this));
    bar->addStretch(1);
    bar->addWidget(FPause);
    bar->addWidget(FSave);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FTable, 3);
    layout->addLayout(bar);
    layout->addWidget(FMonitor, 2);
}

void TDiagnosticsPage::Refresh(const std::vector<TStationState*>& stations,
                               const TStationState* selected) {
    const int rows = static_cast<int>(stations.size());
    if (FTable->rowCount() != rows) FTable->setRowCount(rows);
    for (int row = 0; row < rows; ++row) ShowRow(row, *stations[static_cast<size_t>(row)]);
    ShowMonitor(selected);
}

void TDiagnosticsPage::ShowRow(int row, const TStationState& station) {
    const TLineStats& s = station.Line.Stats();
    int column = 0;
    const auto put = [&](const QString& text) { SetCell(FTable, row, column++, text); };
    const auto count = [&](uint64_t value) { put(QString::number(value)); };
    for (const QString& text : StationCells(station)) put(text);
    count(s.Requests);
    count(s.Replies);
    count(s.TimeOuts);
    count(s.CrcErrors);
    count(s.Exceptions);
    count(s.BytesDropped);
    put(s.LastReply != 0 ? QString::fromStdString(DateTimeToText(s.LastReply)) : QString());
    put(s.Replies + s.Exceptions == 0 ? QString()
                                      : QString::number(s.LastRoundTripMs, 'f', 1) + " / " +
                                            QString::number(s.MeanRoundTripMs, 'f', 1));
}

void TDiagnosticsPage::ShowMonitor(const TStationState* selected) {
    if (FPause->isChecked()) return;
    const TLineDiagnostics* monitor = selected != nullptr ? &LineMonitorOf(*selected) : nullptr;
    const uint64_t count = monitor != nullptr ? monitor->FrameCount() : 0;
    if (selected == FShownStation && monitor == FShownMonitor && count == FShownCount) return;
    FShownStation = selected;
    FShownMonitor = monitor;
    FShownCount = count;
    FShown.clear();
    if (monitor != nullptr) FShown.assign(monitor->Frames().begin(), monitor->Frames().end());
    FMonitor->setRowCount(static_cast<int>(FShown.size()));
    // Newest first, as the eye looks for the last thing that happened.
    for (size_t i = 0; i < FShown.size(); ++i) {
        const TLineFrame& frame = FShown[FShown.size() - 1 - i];
        const int row = static_cast<int>(i);
        SetCell(FMonitor, row, 0, QString::fromStdString(DateTimeToText(frame.Time)));
        SetCell(
            FMonitor, row, 1,
            frame.Kind == TFrameKind::Request ? QStringLiteral("发送") : QStringLiteral("接收"));
        SetCell(FMonitor, row, 2, QString::fromStdString(HexBytes(frame.Bytes)));
        SetCell(FMonitor, row, 3, QString::fromStdString(DescribeFrame(frame)));
    }
}

bool TDiagnosticsPage::SaveMonitor(const QString& path) const {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    for (const TLineFrame& frame : FShown) {
        const std::string line = FrameLine(frame) + "\n";
        if (file.write(line.data(), static_cast<qint64>(line.size())) !=
            static_cast<qint64>(line.size())) {
            return false;
        }
    }
    return file.flush();
}

void TDiagnosticsPage::SaveMonitorButtonClick() {
    const QString path = FSaveFileDialog(this);
    if (path.isEmpty()) return;
    if (!SaveMonitor(path)) ShowMessage(this, QString::fromUtf8(kSaveFailedMessage));
}
