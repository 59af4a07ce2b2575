#pragma once
// What the add device dialog needs of the main window's station tree and
// station list. The tree's root is node 0; every child of the root is a
// station whose node data is its live record. The window implements the
// interface; the dialog never sees the window itself.

#include <QString>
#include <memory>
#include <vector>

struct TStationInfo;
struct TStationState;

// The stored stations in the order they were added. Each item sits in a heap
// block of its own, so the live records can keep pointers to them while the
// list grows.
using TStationList = std::vector<std::unique_ptr<TStationInfo>>;

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
    // Adds a node with `text` at the end of the root's children, holding
    // `state` as its data; the tree owns the record from now on.
    virtual TStationState& AddStationNode(const QString& text,
                                          std::unique_ptr<TStationState> state) = 0;
};
