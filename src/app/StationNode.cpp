#include "app/StationNode.h"

#include "polling/StationState.h"

TStationNode::TStationNode(QTreeWidgetItem* root, const QString& text,
                           std::unique_ptr<TStationState> state)
    : QTreeWidgetItem(root, kType), FState(std::move(state)) {
    setText(0, text);
    setFlags(flags() & ~Qt::ItemIsEditable);
}

TStationNode::~TStationNode() = default;

TStationNode* AsStationNode(QTreeWidgetItem* item) {
    if (item == nullptr || item->type() != TStationNode::kType) return nullptr;
    return static_cast<TStationNode*>(item);
}

TStationState* StationOf(QTreeWidgetItem* item) {
    TStationNode* node = AsStationNode(item);
    return node != nullptr ? &node->State() : nullptr;
}
