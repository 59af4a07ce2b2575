#pragma once
// What the add device dialog needs of the main window's station tree. The tree's root is node 0;
// every child of the root is a station whose node data is its live record. The window implements
// the interface; the dialog never sees the window itself.

#include <QString>
#include <vector>

struct TStationState;

class IStationTree {
  public:
    IStationTree() = default;
    IStationTree(const IStationTree&) = delete;
    IStationTree& operator=(const IStationTree&) = delete;
    virtual ~IStationTree() = default;

    // Nodes of the tree, the root included.
    virtual int NodeCount() const = 0;
    // The live records of the station nodes, in tree order.
    virtual std::vector<TStationState*> StationStates() const = 0;
    // Adds a node with `text` at the end of the root's children, showing
    // `state` (the roster keeps the record).
    virtual void AddStationNode(const QString& text, TStationState& state) = 0;
};
