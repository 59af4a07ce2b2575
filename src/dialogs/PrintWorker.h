#pragma once
// Long prints run on a thread of their own, so the window's event loop keeps
// turning while hundreds of pages are painted (with 255 stations recording
// every second it may never stall past 50 ms).
//
// Qt lets another thread paint on a QPrinter, but no QObject the window's
// thread made may be used there. So the window's thread hands over plain
// values only, and the worker makes everything it paints with:
//
//   window thread                                 worker thread
//   print dialog's printer -> TPrinterSettings --> its own QPrinter
//   font family, the chart's points (values)   --> fonts, layout, the chart
//   "正在打印..." follows the page counter     <-- page counter (atomic)
//   "取消", window closed, application quits   --> flag, checked before each page
//   waits for the worker, then returns         <-- done
//
// A print to a file goes to "<file>.part" and takes the file's name only when
// every page is in: a cancelled or failed print leaves no file that looks
// complete. A print to a printer calls QPrinter::abort() on a cancel; Qt's
// CUPS engine does not honour it, so the pages painted so far still reach
// the printer as a shorter job (as they did when printing on the window's
// thread).

#include <QPageLayout>
#include <QPagedPaintDevice>
#include <QPrinter>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>

class QWidget;

inline constexpr const char* kPrintProgressText = "正在打印...";
inline constexpr const char* kPrintFailedMessage = "打印失败！";
// The suffix of the file a print to a file writes until it is complete.
inline constexpr const char* kPrintSpoolSuffix = ".part";

// What the print dialog chose, as values any thread may read.
struct TPrinterSettings {
    QPrinter::OutputFormat Format = QPrinter::PdfFormat;
    QString PrinterName;     // empty for a file
    QString OutputFileName;  // empty for a printer
    QPageLayout PageLayout;
    int Resolution = 1200;
    int CopyCount = 1;
    bool CollateCopies = true;
    QPrinter::PageOrder PageOrder = QPrinter::FirstPageFirst;
    QPrinter::ColorMode ColorMode = QPrinter::Color;
    QPrinter::DuplexMode Duplex = QPrinter::DuplexNone;
    QPrinter::PaperSource PaperSource = QPrinter::Auto;
    bool FullPage = false;
    bool FontEmbedding = true;
    QPagedPaintDevice::PdfVersion PdfVersion = QPagedPaintDevice::PdfVersion_1_4;
    QString DocumentName;
    QString Creator;
    QVariant CupsOptions;  // the dialog's job options for a CUPS printer, if any
};

// Window's thread: the settings of `printer` as the print dialog left them.
TPrinterSettings CapturePrinterSettings(QPrinter& printer);

// A printer set up as `settings` say, made on the thread that paints on it.
std::unique_ptr<QPrinter> MakePrinter(const TPrinterSettings& settings);

// Called before each page is painted (pages counted from 1); false stops.
using TPageProgress = std::function<bool(int page, int pages)>;
// Paints every page on `printer`, asking `progress` before each; returns the
// pages painted. Runs on the worker: it may use only what it owns.
using TPagePainter = std::function<int(QPrinter& printer, const TPageProgress& progress)>;

struct TWorkerPrintResult {
    int Pages = 0;  // pages painted
    bool Complete = false;
};

// Paints `pages` pages with `paint` on a worker thread, on a printer made
// from `settings`, while this thread shows a progress dialog whose "取消"
// stops the worker before its next page. Returns once the worker is done,
// also when `parent` is destroyed or the application quits meanwhile (both
// cancel). Whatever `paint` throws is rethrown here.
TWorkerPrintResult PrintOnWorker(QWidget* parent, const TPrinterSettings& settings, int pages,
                                 TPagePainter paint);
