#include "dialogs/HistoryReport.h"

#include <QFontMetrics>
#include <QHeaderView>

const std::array<int, kHistoryColumnCount> kHistoryColumnWidths = {
    100, 60, 60, 60, 84, 84, 60, 60, 60, 0, 0, 0, 0,
};

namespace {

// Space above and below a row's text, in pixels.
constexpr int kRowPadding = 6;

}  // namespace

QString HistoryCellText(const TTmpReading& r, int column) {
    if (column < 0 || column >= kHistoryColumnCount) return QString();
    return QString::fromStdString(ReportCell(r, static_cast<size_t>(column)));
}

QString HistoryColumnCaption(int column) {
    if (column < 0 || column >= kHistoryColumnCount) return QString();
    return QString::fromStdString(ReportCaptions()[static_cast<size_t>(column)]);
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
        const int width = kHistoryColumnWidths[static_cast<size_t>(c)];
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
