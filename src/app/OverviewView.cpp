#include "app/OverviewView.h"

#include <QBrush>
#include <QColor>
#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>
#include <array>

#include "app/StationCells.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/Comm.h"
#include "store/DateTime.h"
#include "store/RawValues.h"
#include "store/ReportText.h"

namespace {

const char* const kCaptions[] = {"位置",   "名称",   "地址",   "端口",         "连接状态",
                                 "A相(C)", "B相(C)", "C相(C)", "铁芯(C)",      "传感器",
                                 "风机",   "报警",   "跳闸",   "最后应答时间", "记录状态"};
constexpr int kColumnCount = static_cast<int>(std::size(kCaptions));
const char* const kUnknownText = "未知";

struct TRelayText {
    uint8_t Bit;
    const char* Set;
    const char* Clear;
};
constexpr std::array<TRelayText, 4> kRelayTexts = {{
    {kRelaySensorFault, "有故障", "无故障"},
    {kRelayFan, "开", "关"},
    {kRelayAlarm, "已报警", "未报警"},
    {kRelayTrip, "已跳闸", "未跳闸"},
}};

bool AnySensorFault(const TStationState& station) {
    for (uint16_t raw : station.RawTemp) {
        if (IsSensorFault(raw)) return true;
    }
    return false;
}

bool HasTemperatures(const TStationState& station) {
    for (uint16_t raw : station.RawTemp) {
        if (raw != 0) return true;
    }
    return false;
}

QString TemperatureCell(const TStationState& station, size_t channel) {
    const uint16_t raw = station.RawTemp[channel];
    if (!HasTemperatures(station)) return QString::fromUtf8(kUnknownText);
    if (IsSensorFault(raw)) return QStringLiteral("故障");
    if (channel == kIronCore && raw == kIronCoreNoReading) return QString::fromUtf8(kUnknownText);
    return QString::fromStdString(TemperatureText(raw));
}

QColor ColourOf(TStationCondition condition) {
    switch (condition) {
        case TStationCondition::Trip:
            return QColor(255, 150, 150);
        case TStationCondition::Alarm:
            return QColor(255, 200, 120);
        case TStationCondition::Silent:
            return QColor(205, 205, 205);
        case TStationCondition::Attention:
            return QColor(255, 245, 150);
        case TStationCondition::Normal:
            break;
    }
    return QColor();
}

}  // namespace

TStationCondition ConditionOf(const TStationState& station, bool unacknowledgedAlarm) {
    const bool answered = station.Line.Stats().LastReply != 0;
    if (answered && (station.RelayFlags & kRelayTrip) != 0) return TStationCondition::Trip;
    if (unacknowledgedAlarm || (answered && (station.RelayFlags & kRelayAlarm) != 0)) {
        return TStationCondition::Alarm;
    }
    switch (station.State) {
        case kStateAbsent:
        case kStateOpenError:
        case kStateWriteError:
            return TStationCondition::Silent;
        default:
            break;
    }
    if ((answered && (station.RelayFlags & kRelaySensorFault) != 0) || AnySensorFault(station) ||
        !station.RecordingFailure.empty()) {
        return TStationCondition::Attention;
    }
    return TStationCondition::Normal;
}

TOverviewPage::TOverviewPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("OverviewPage"));
    FTable = new QTableWidget(0, kColumnCount, this);
    FTable->setObjectName(QStringLiteral("OverviewTable"));
    QStringList captions;
    for (const char* caption : kCaptions) captions << QString::fromUtf8(caption);
    FTable->setHorizontalHeaderLabels(captions);
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->verticalHeader()->setVisible(false);
    FTable->horizontalHeader()->setStretchLastSection(true);
    connect(FTable, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { emit RowActivated(row); });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FTable);
}

void TOverviewPage::Refresh(const std::vector<TStationState*>& stations) {
    const int rows = static_cast<int>(stations.size());
    if (FTable->rowCount() != rows) FTable->setRowCount(rows);
    FRows.clear();
    for (int row = 0; row < rows; ++row) {
        if (const TStationState* station = stations[static_cast<size_t>(row)]) {
            FRows.emplace(station, row);
            RefreshRow(row, *station);
        }
    }
}

void TOverviewPage::RefreshStation(const TStationState& station) {
    const auto found = FRows.find(&station);
    if (found != FRows.end()) RefreshRow(found->second, station);
}

void TOverviewPage::RefreshRow(int row, const TStationState& station) {
    if (row < 0 || row >= FTable->rowCount()) return;
    const TStationCondition condition = ConditionOf(station, FAlarmQuery && FAlarmQuery(station));
    const QBrush background =
        condition == TStationCondition::Normal ? QBrush() : QBrush(ColourOf(condition));
    int column = 0;
    const auto put = [&](const QString& text) {
        QTableWidgetItem* item = SetCell(FTable, row, column++, text);
        if (item->background() != background) item->setBackground(background);
    };
    for (const QString& text : StationCells(station)) put(text);
    put(QString::fromUtf8(StateText(station.State)));
    for (size_t channel = 0; channel < station.RawTemp.size(); ++channel) {
        put(TemperatureCell(station, channel));
    }
    const bool answered = station.Line.Stats().LastReply != 0;
    for (const TRelayText& relay : kRelayTexts) {
        if (!answered) {
            put(QString::fromUtf8(kUnknownText));
            continue;
        }
        // A faulty temperature register is a sensor fault too.
        const bool set = (station.RelayFlags & relay.Bit) != 0 ||
                         (relay.Bit == kRelaySensorFault && AnySensorFault(station));
        put(QString::fromUtf8(set ? relay.Set : relay.Clear));
    }
    const TDateTime last = station.Line.Stats().LastReply;
    put(last != 0 ? QString::fromStdString(DateTimeToText(last)) : QString());
    put(station.RecordingFailure.empty()
            ? QStringLiteral("正常")
            : QStringLiteral("记录失败：") + QString::fromStdString(station.RecordingFailure));
}
