#include "dialogs/HistoryReport.h"

#include <QFontMetrics>
#include <QHeaderView>

const std::array<THistoryColumnInfo, kHistoryColumnCount> kHistoryColumns = {{
    {"时间", 100},
    {"A相温度", 60},
    {"B相温度", 60},
    {"C相温度", 60},
    {"铁芯温度", 84},
    {"传感器状态", 84},
    {"风机状态", 60},
    {"报警状态", 60},
    {"跳闸状态", 60},
    {"A相报警", 0},
    {"B相报警", 0},
    {"C相报警", 0},
    {"铁芯报警", 0},
}};

namespace {

// Space above and below a row's text, in pixels.
constexpr int kRowPadding = 6;

QString TemperatureText(uint16_t raw) {
    return QString::number(RawToCelsius(raw));
}

QString SensorAlarmText(uint16_t raw) {
    return IsFaultyRaw(raw) ? QStringLiteral("故障") : QStringLiteral("正常");
}

QString RelayText(uint8_t flags, uint8_t bit, QString set, QString clear) {
    return (flags & bit) != 0 ? set : clear;
}

}  // namespace

QString HistoryCellText(const TTmpReading& r, int column) {
    switch (column) {
        case kColTime:
            return QString::fromStdString(DateTimeToText(r.DateTime));
        case kColAPhaseTmp:
            return TemperatureText(r.APhaseTmp);
        case kColBPhaseTmp:
            return TemperatureText(r.BPhaseTmp);
        case kColCPhaseTmp:
            return TemperatureText(r.CPhaseTmp);
        case kColIronTmp:
            return r.IronTmp == 0 ? QStringLiteral("未知") : TemperatureText(r.IronTmp);
        case kColSensorState:
            return RelayText(r.RelayFlags, kRelaySensorFault, QStringLiteral("有故障"),
                             QStringLiteral("无故障"));
        case kColFanState:
            return RelayText(r.RelayFlags, kRelayFanOn, QStringLiteral("开"), QStringLiteral("关"));
        case kColAlarmState:
            return RelayText(r.RelayFlags, kRelayAlarm, QStringLiteral("已报警"),
                             QStringLiteral("未报警"));
        case kColTripState:
            return RelayText(r.RelayFlags, kRelayTrip, QStringLiteral("已跳闸"),
                             QStringLiteral("未跳闸"));
        case kColAPhaseAlarm:
            return SensorAlarmText(r.APhaseTmp);
        case kColBPhaseAlarm:
            return SensorAlarmText(r.BPhaseTmp);
        case kColCPhaseAlarm:
            return SensorAlarmText(r.CPhaseTmp);
        case kColIronAlarm:
            // 0 is "no iron-core sensor", not a fault: only > 240 is faulty.
            return SensorAlarmText(r.IronTmp);
        default:
            return QString();
    }
}

QString HistoryColumnCaption(int column) {
    if (column < 0 || column >= kHistoryColumnCount) return QString();
    return QString::fromUtf8(kHistoryColumns[static_cast<size_t>(column)].Caption);
}

// ---------------------------------------------------------------------------

THistoryReportModel::THistoryReportModel(QObject* parent) : QAbstractTableModel(parent) {}

void THistoryReportModel::SetReadings(const std::vector<TTmpReading>* readings) {
    beginResetModel();
    FReadings = readings;
    endResetModel();
}

int THistoryReportModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || FReadings == nullptr) return 0;
    return static_cast<int>(FReadings->size());
}

int THistoryReportModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kHistoryColumnCount;
}

QVariant THistoryReportModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || FReadings == nullptr || !index.isValid()) return QVariant();
    const size_t row = static_cast<size_t>(index.row());
    if (index.row() < 0 || row >= FReadings->size()) return QVariant();
    return HistoryCellText((*FReadings)[row], index.column());
}

QVariant THistoryReportModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return QVariant();
    if (role == Qt::DisplayRole) return HistoryColumnCaption(section);
    if (role == Qt::TextAlignmentRole) return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return QVariant();
}

Qt::ItemFlags THistoryReportModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

// ---------------------------------------------------------------------------

THistoryReportView::THistoryReportView(QWidget* parent)
    : QTableView(parent), FModel(new THistoryReportModel(this)) {
    setObjectName(QStringLiteral("HistoryListView"));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setWordWrap(false);
    setShowGrid(false);
    setCornerButtonEnabled(false);
    setTabKeyNavigation(false);

    // Every row has the same height, so the view never asks the model to
    // measure one: it stays fast however many rows there are.
    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(1);
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(fontMetrics().height() + kRowPadding);

    QHeaderView* columns = horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(false);
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    setModel(FModel);
    for (int c = 0; c < kHistoryColumnCount; ++c) {
        const int width = kHistoryColumns[static_cast<size_t>(c)].Width;
        if (width > 0) columns->resizeSection(c, width);
    }

    // A model reset rebuilds the header's sections at their default size;
    // the widths (as the operator may have dragged them) survive it.
    connect(FModel, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        for (int c = 0; c < kHistoryColumnCount; ++c) {
            FColumnWidths[static_cast<size_t>(c)] = horizontalHeader()->sectionSize(c);
        }
    });
    connect(FModel, &QAbstractItemModel::modelReset, this, [this] {
        for (int c = 0; c < kHistoryColumnCount; ++c) {
            horizontalHeader()->resizeSection(c, FColumnWidths[static_cast<size_t>(c)]);
        }
    });
}

void THistoryReportView::SetReadings(const std::vector<TTmpReading>* readings) {
    FModel->SetReadings(readings);
}
