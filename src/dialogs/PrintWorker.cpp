#include "dialogs/PrintWorker.h"

#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QPrintEngine>
#include <QPrinterInfo>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

// How often the progress dialog follows the worker's page counter.
constexpr int kProgressFollowMs = 50;
// Qt keeps the print dialog's CUPS job options (pages per sheet, banner
// pages, page set, ...) under this engine key; printing honours them, so a
// printer made anew carries them over.
constexpr auto kCupsOptionsKey = QPrintEngine::PrintEnginePropertyKey(0xfe00);

// Renames the finished spool file over the target; false leaves neither.
bool PublishSpoolFile(const QString& spool, const QString& target) {
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(spool).toStdString(),
                            QFile::encodeName(target).toStdString(), error);
    if (!error) return true;
    QFile::remove(spool);
    return false;
}

// The whole print: its own printer, its pages (`onPage` false stops before
// a page), then the file put in place or removed.
TWorkerPrintResult RunPrint(const TPrinterSettings& settings, int pages, const TPagePainter& paint,
                            const TPageProgress& onPage) {
    TPrinterSettings spooled = settings;
    const bool toFile = !settings.OutputFileName.isEmpty();
    if (toFile) spooled.OutputFileName += QString::fromUtf8(kPrintSpoolSuffix);

    TWorkerPrintResult result;
    {
        const std::unique_ptr<QPrinter> printer = MakePrinter(spooled);
        result.Pages = paint(*printer, onPage);
        // The painter has ended: the printer has written (or sent) its job.
    }
    result.Complete = result.Pages == pages;
    if (toFile) {
        if (result.Complete) {
            result.Complete = PublishSpoolFile(spooled.OutputFileName, settings.OutputFileName);
        } else {
            QFile::remove(spooled.OutputFileName);
        }
    }
    return result;
}

}  // namespace

TPrinterSettings CapturePrinterSettings(QPrinter& printer) {
    TPrinterSettings s;
    s.Format = printer.outputFormat();
    s.PrinterName = s.Format == QPrinter::NativeFormat ? printer.printerName() : QString();
    s.OutputFileName = printer.outputFileName();
    s.PageLayout = printer.pageLayout();
    s.Resolution = printer.resolution();
    s.CopyCount = printer.copyCount();
    s.CollateCopies = printer.collateCopies();
    s.PageOrder = printer.pageOrder();
    s.ColorMode = printer.colorMode();
    s.Duplex = printer.duplex();
    s.PaperSource = printer.paperSource();
    s.FullPage = printer.fullPage();
    s.FontEmbedding = printer.fontEmbeddingEnabled();
    s.PdfVersion = printer.pdfVersion();
    s.DocumentName = printer.docName();
    s.Creator = printer.creator();
    if (QPrintEngine* engine = printer.printEngine()) {
        s.CupsOptions = engine->property(kCupsOptionsKey);
    }
    return s;
}

std::unique_ptr<QPrinter> MakePrinter(const TPrinterSettings& s) {
    // A print to a file never asks the printer system for a default printer.
    const QPrinterInfo device = s.Format == QPrinter::NativeFormat && !s.PrinterName.isEmpty()
                                    ? QPrinterInfo::printerInfo(s.PrinterName)
                                    : QPrinterInfo();
    auto printer = std::make_unique<QPrinter>(device, QPrinter::HighResolution);
    printer->setOutputFormat(s.Format);
    if (s.Format == QPrinter::NativeFormat && !s.PrinterName.isEmpty()) {
        printer->setPrinterName(s.PrinterName);
    }
    // Set after the format and the printer: choosing either resets both.
    printer->setOutputFileName(s.OutputFileName);
    printer->setResolution(s.Resolution);
    printer->setPageLayout(s.PageLayout);
    printer->setFullPage(s.FullPage);
    printer->setCopyCount(s.CopyCount);
    printer->setCollateCopies(s.CollateCopies);
    printer->setPageOrder(s.PageOrder);
    printer->setColorMode(s.ColorMode);
    printer->setDuplex(s.Duplex);
    printer->setPaperSource(s.PaperSource);
    printer->setFontEmbeddingEnabled(s.FontEmbedding);
    printer->setPdfVersion(s.PdfVersion);
    printer->setDocName(s.DocumentName);
    printer->setCreator(s.Creator);
    if (s.CupsOptions.isValid() && printer->printEngine() != nullptr) {
        printer->printEngine()->setProperty(kCupsOptionsKey, s.CupsOptions);
    }
    return printer;
}

TWorkerPrintResult PrintOnWorker(QWidget* parent, const TPrinterSettings& settings, int pages,
                                 TPagePainter paint) {
    // Held through a QPointer: closing the window deletes its children, this
    // dialog among them.
    QPointer<QProgressDialog> progress = new QProgressDialog(
        QString::fromUtf8(kPrintProgressText), QStringLiteral("取消"), 0, pages, parent);
    // Gone however this returns (a thread that cannot start throws).
    struct TCloseProgress {
        QPointer<QProgressDialog>& Dialog;
        ~TCloseProgress() { delete Dialog.data(); }
    } closer{progress};
    progress->setObjectName(QStringLiteral("PrintProgress"));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(0);
    progress->setAutoReset(false);
    progress->setAutoClose(false);
    progress->setValue(0);

    // Qt 6 draws text on any thread (Qt 5 had to be asked through
    // QFontDatabase::supportsThreadedFontRendering()); fonts are made on
    // the worker, only their family comes from this thread.
    std::atomic<int> page{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    TWorkerPrintResult result;
    std::exception_ptr error;
    QEventLoop loop;
    QTimer follow;
    follow.setInterval(kProgressFollowMs);
    QObject::connect(&follow, &QTimer::timeout, &loop, [&] {
        if (progress.isNull()) return;
        if (progress->wasCanceled()) cancelled = true;
        progress->setValue(std::max(page.load() - 1, 0));
    });
    QObject::connect(progress.data(), &QProgressDialog::canceled, &loop, [&] { cancelled = true; });
    if (parent != nullptr) {
        QObject::connect(parent, &QObject::destroyed, &loop, [&] {
            cancelled = true;
            loop.quit();
        });
    }

    // Everything the worker uses is its own or outlives the join below.
    std::thread worker([&] {
        try {
            result = RunPrint(settings, pages, paint, [&](int next, int) {
                if (cancelled) return false;
                page = next;
                return true;
            });
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
        // Queued: delivered once the loop runs, however soon this comes.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    follow.start();
    // Also left when the application quits (exit ends every loop) or the
    // window goes: then the worker stops at its next page.
    loop.exec();
    if (!finished) cancelled = true;
    follow.stop();
    worker.join();

    if (error) std::rethrow_exception(error);
    return result;
}
