#include "app/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QDialog>
#include <QTest>
#include <QTreeWidget>

#include "app/StationNode.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryReport.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"

void RegisterStations(const TProgramDir& dir, std::initializer_list<TStationSpec> stations) {
    TStationDbMgr mgr(StationFileName(dir.Path()));
    for (const TStationSpec& s : stations) {
        mgr.AddStation(s.Name, s.Pos, s.Addr, s.Port, s.Baud, s.BitSize, s.Parity, s.StopBits,
                       s.DtrControl);
    }
}

std::unique_ptr<TMainForm> StartWindow(const TProgramDir& dir) {
    TScopedModalRunner runner([](QDialog& dialog) {
        ADD_FAILURE() << "unexpected modal dialog " << dialog.objectName().toStdString();
        return static_cast<int>(QDialog::Rejected);
    });
    return std::make_unique<TMainForm>(dir.Path());
}

TStationNode& NodeAt(TMainForm& window, int index) {
    TStationNode* node = AsStationNode(window.RootNode()->child(index));
    if (node == nullptr) throw std::out_of_range("no station node there");
    return *node;
}

TStationState& StationAt(TMainForm& window, int index) {
    return NodeAt(window, index).State();
}

void Select(TMainForm& window, int index) {
    QTreeWidgetItem* item = index < 0 ? window.RootNode() : window.RootNode()->child(index);
    window.StationTreeView()->setCurrentItem(item);
}

void Deliver(TMainForm& window, TStationState& station, const TBytes& chunk) {
    window.ScanCycle()->ReceiveData(station.Port.get(), chunk.data(),
                                    static_cast<uint16_t>(chunk.size()));
    // A sample that needs its history file opened is stored once the open
    // has ended on the recorder's thread.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !TSampleRecorder::AwaitsOpen(station); }, 30000));
}

int ReportRows(TMainForm& window) {
    return window.HistoryPanel()->ReportView()->model()->rowCount();
}

QString ReportCell(TMainForm& window, int row, int column) {
    QAbstractItemModel* model = window.HistoryPanel()->ReportView()->model();
    return model->data(model->index(row, column)).toString();
}

QStringList ReportRow(TMainForm& window, int row) {
    QStringList cells;
    for (int column = 1; column < kHistoryColumnCount; ++column) {
        cells << ReportCell(window, row, column);
    }
    return cells;
}
