#include "app/StationCells.h"

#include <QTableWidget>

#include "polling/StationState.h"
#include "serial/Comm.h"
#include "store/Items.h"

QTableWidgetItem* SetCell(QTableWidget* table, int row, int column, const QString& text) {
    QTableWidgetItem* item = table->item(row, column);
    if (item == nullptr) {
        item = new QTableWidgetItem(text);
        table->setItem(row, column, item);
    } else if (item->text() != text) {
        item->setText(text);
    }
    return item;
}

std::array<QString, 4> StationCells(const TStationState& station) {
    const TStationInfo* info = station.Station;
    return {info != nullptr ? QString::fromStdString(info->StationPosName.Utf8()) : QString(),
            info != nullptr ? QString::fromStdString(info->DevName.Utf8()) : QString(),
            QString::number(station.Address),
            station.Port != nullptr ? QString::fromStdString(station.Port->CommName()) : QString()};
}
