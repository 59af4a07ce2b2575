#pragma once
// The drop-down lists of a station's port settings, shared by the main
// window's page "通讯参数" and the add device dialog. Entries are in the order
// of the indexes a station record stores, so a stored index selects the entry
// of the same meaning.

#include <QStringList>

class QComboBox;

// Entries shown at first.
constexpr int kDefaultBaudIndex = 5;     // "9600"
constexpr int kDefaultBitSizeIndex = 3;  // "8"

QStringList BaudEntries();        // "110" ... "921600"
QStringList BitSizeEntries();     // "5" ... "8"
QStringList ParityEntries();      // "无", "奇较验", "偶较验"
QStringList StopBitsEntries();    // "1", "1.5", "2"
QStringList DtrControlEntries();  // "硬件", "无", "Xon/Xoff"

// Clears the list, adds the fifty port names "COM1" ... "COM50" and selects
// the first.
void FillPortNames(QComboBox& list);

// Clears the list, adds the entries and selects `selected`.
void FillEntries(QComboBox& list, const QStringList& entries, int selected);
