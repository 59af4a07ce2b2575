#pragma once
// Printing what the history panel shows: a title page with the source, the
// range and the chart as it is on screen, then the 13-column report over as
// many pages as it needs, its column header repeated on every page.
//
//   page 1      heading, source, range, sample count, chart
//               (no chart: the report starts below the heading)
//   page 2..n   source and range, column header, rows, "第 i 页，共 n 页"

#include <QFont>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "dialogs/HistoryChart.h"
#include "store/Items.h"

class QPrinter;

struct THistoryPrintJob {
    QString Source;  // the station or the file the samples come from
    TDateTime Begin = 0;
    TDateTime End = 0;
    const std::vector<TTmpReading>* Readings = nullptr;  // borrowed; nullptr prints no rows
    std::optional<THistoryChartState> Chart;             // none: no chart
};

// Called before each page is drawn (pages counted from 1); returning false
// aborts the print job.
using THistoryPrintProgress = std::function<bool(int page, int pages)>;

// Renders the job on `printer` (a real printer, a PDF file or a preview).
// Returns the number of pages printed; 0 when the printer cannot be painted.
int PrintHistory(QPrinter& printer, const THistoryPrintJob& job,
                 const THistoryPrintProgress& progress = {});

// The pages the job takes on the printer's current paper.
int HistoryPrintPageCount(QPrinter& printer, const THistoryPrintJob& job);

// A font of the given size whose family has Chinese glyphs, so printed text
// embeds a font that can show it.
QFont HistoryPrintFont(qreal pointSize, bool bold = false);
