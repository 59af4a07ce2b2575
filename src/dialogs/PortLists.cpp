#include "dialogs/PortLists.h"

#include <QComboBox>

#include "polling/Globe.h"

QStringList BaudEntries() {
    return {"110",   "300",   "1200",   "2400",   "4800",   "9600",  "19200",
            "38400", "57600", "115200", "230400", "460800", "921600"};
}

QStringList BitSizeEntries() {
    return {"5", "6", "7", "8"};
}

QStringList ParityEntries() {
    return {QStringLiteral("无"), QStringLiteral("奇较验"), QStringLiteral("偶较验")};
}

QStringList StopBitsEntries() {
    return {"1", "1.5", "2"};
}

QStringList DtrControlEntries() {
    return {QStringLiteral("硬件"), QStringLiteral("无"), QStringLiteral("Xon/Xoff")};
}

void FillPortNames(QComboBox& list) {
    QStringList names;
    for (const std::string& name : PortNames()) names << QString::fromStdString(name);
    FillEntries(list, names, 0);
}

void FillEntries(QComboBox& list, const QStringList& entries, int selected) {
    list.clear();
    list.addItems(entries);
    list.setCurrentIndex(selected);
}
