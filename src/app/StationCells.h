#pragma once
// Cells of the station tables (overview, line diagnostics): rows are redrawn
// on every reply, so a cell is touched only when its text changes.

#include <QString>
#include <array>

class QTableWidget;
class QTableWidgetItem;
struct TStationState;

// Sets the text of a cell, making its item when it has none; an unchanged
// text is left alone. Returns the cell's item.
QTableWidgetItem* SetCell(QTableWidget* table, int row, int column, const QString& text);

// The columns both tables start with: position, name, address and port.
std::array<QString, 4> StationCells(const TStationState& station);
