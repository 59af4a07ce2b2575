#include "app/StationNode.h"

#include <QApplication>
#include <QBrush>
#include <QFont>
#include <QStyle>

#include "polling/StationState.h"

TStationNode::TStationNode(QTreeWidgetItem* root, const QString& text, TStationState& state)
    : QTreeWidgetItem(root, kType), FState(state) {
    setText(0, text);
    setFlags(flags() & ~Qt::ItemIsEditable);
}

TStationNode::~TStationNode() = default;

void TStationNode::ShowRecordingState() {
    ShowMarks();
}

void TStationNode::ShowAlarmLevel(TStationAlarmLevel level) {
    if (level == FAlarmLevel) return;
    FAlarmLevel = level;
    ShowMarks();
}

void TStationNode::ShowMarks() {
    const bool unacknowledged = FAlarmLevel == TStationAlarmLevel::ActiveUnacknowledged ||
                                FAlarmLevel == TStationAlarmLevel::ClearedUnacknowledged;
    QFont font = this->font(0);
    if (font.bold() != unacknowledged) {
        font.setBold(unacknowledged);
        setFont(0, font);
    }
    if (unacknowledged) {
        setIcon(0, QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical));
        setForeground(0, QBrush(Qt::red));
        setToolTip(0, QStringLiteral("报警未确认"));
        return;
    }
    if (FState.RecordingFailure.empty()) {
        setIcon(0, QIcon());
        setData(0, Qt::ForegroundRole, QVariant());
        setToolTip(0, QString());
        return;
    }
    setIcon(0, QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning));
    setForeground(0, QBrush(Qt::red));
    setToolTip(0, QStringLiteral("记录失败：") + QString::fromStdString(FState.RecordingFailure));
}

TStationNode* AsStationNode(QTreeWidgetItem* item) {
    if (item == nullptr || item->type() != TStationNode::kType) return nullptr;
    return static_cast<TStationNode*>(item);
}

TStationState* StationOf(QTreeWidgetItem* item) {
    TStationNode* node = AsStationNode(item);
    return node != nullptr ? &node->State() : nullptr;
}
