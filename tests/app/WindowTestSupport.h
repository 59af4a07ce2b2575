#pragma once
// Starting the main window on a test's own program directory and talking to
// it as the operator and the controllers do.

#include <QString>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/MainForm.h"
#include "app/StationTestSupport.h"

class TStationNode;

struct TStationSpec {
    int Addr;
    int Port;
    std::string Pos;
    std::string Name;
    int Baud = 5;
    int BitSize = 3;
    int Parity = 0;
    int StopBits = 0;
    int DtrControl = 0;
};

// Stores the stations, in order, as the add device dialog would.
void RegisterStations(const TProgramDir& dir, std::initializer_list<TStationSpec> stations);

// A window started on the directory. Running any modal dialog fails the test
// (and is answered with "取消") unless the test installed its own runner.
std::unique_ptr<TMainForm> StartWindow(const TProgramDir& dir);

// The station node at `index` among the root's children.
TStationNode& NodeAt(TMainForm& window, int index);
TStationState& StationAt(TMainForm& window, int index);
// Selects the station at `index`, or the root for -1.
void Select(TMainForm& window, int index);

// Hands a received chunk to the window's receive handler, as the port would,
// and waits for the open of the station's history file it needed, if any.
void Deliver(TMainForm& window, TStationState& station, const TBytes& chunk);

// The history report as shown.
int ReportRows(TMainForm& window);
QString ReportCell(TMainForm& window, int row, int column);
QStringList ReportRow(TMainForm& window, int row);
