#pragma once
// The history report: one row per stored sample, thirteen columns, shared by
// the main window's history page and the backup viewer. Cell texts are made
// on demand in data(), so a year of samples costs no more memory than the
// samples themselves.

#include <QAbstractTableModel>
#include <QString>
#include <QTableView>
#include <array>
#include <vector>

#include "store/Items.h"
#include "store/ReportText.h"

enum THistoryColumn : int {
    kColTime = 0,
    kColAPhaseTmp,
    kColBPhaseTmp,
    kColCPhaseTmp,
    kColIronTmp,
    kColSensorState,
    kColFanState,
    kColAlarmState,
    kColTripState,
    kColAPhaseAlarm,
    kColBPhaseAlarm,
    kColCPhaseAlarm,
    kColIronAlarm,
    kHistoryColumnCount
};

static_assert(kHistoryColumnCount == kReportColumnCount, "the report's columns are the exports'");

// Widths in pixels, in column order; 0: the column keeps the list's default
// width. Captions and cell texts are the exports' (store/ReportText.h).
extern const std::array<int, kHistoryColumnCount> kHistoryColumnWidths;

// The text of one cell; an out-of-range column gives an empty text.
QString HistoryCellText(const TTmpReading& reading, int column);
QString HistoryColumnCaption(int column);

// Rows over a borrowed list of samples, in list order (the query returns them
// newest first). The owner of the list keeps it alive while the model shows
// it and calls SetReadings again whenever it changes the list's contents.
class THistoryReportModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit THistoryReportModel(QObject* parent = nullptr);

    // nullptr shows no rows.
    void SetReadings(const std::vector<TTmpReading>* readings);
    const std::vector<TTmpReading>* Readings() const { return FReadings; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    const std::vector<TTmpReading>* FReadings = nullptr;  // borrowed
};

// A read-only report list: whole-row selection, fixed row height (no row is
// ever measured, so half a million rows show at once), column widths from
// the column table. It owns its model.
class THistoryReportView : public QTableView {
    Q_OBJECT
  public:
    explicit THistoryReportView(QWidget* parent = nullptr);

    void SetReadings(const std::vector<TTmpReading>* readings);
    THistoryReportModel* ReportModel() const { return FModel; }

  private:
    THistoryReportModel* FModel;  // child of this view
    std::array<int, kHistoryColumnCount> FColumnWidths{};
};
