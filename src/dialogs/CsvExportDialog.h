#pragma once
// "导出...": rows shown in a window written as a CSV file the operator names.
// Any page with a header row and rows can use it; the history panel (history
// page and backup viewer) does.
//
//   save dialog (seam) --cancel--> nothing happens
//        | a path
//   ExportCsv on a worker, a progress dialog --"取消"--> no file
//        | done                      --failure--> "导出失败！" + reason, no file
//   the file is in place
//
// The save dialog goes through a replaceable handler, so tests name the file
// at once instead of leaving a modal dialog waiting.

#include <QString>
#include <functional>
#include <utility>

#include "store/CsvExport.h"

class QWidget;

inline constexpr const char* kExportFailedMessage = "导出失败！";
inline constexpr const char* kExportFileFilter = "CSV 文件 (*.csv)";
inline constexpr const char* kExportProgressText = "正在导出...";

// The chosen path, or an empty text when the operator cancels.
using TSaveFileDialog =
    std::function<QString(QWidget* parent, const QString& suggestedName, const QString& filter)>;

QString AskSaveFileName(QWidget* parent, const QString& suggestedName, const QString& filter);
// Installs a dialog and returns the one it replaces; an empty one restores
// the real file dialog.
TSaveFileDialog SetSaveFileDialog(TSaveFileDialog dialog);

class TScopedSaveFileDialog {
  public:
    explicit TScopedSaveFileDialog(TSaveFileDialog dialog)
        : FPrevious(SetSaveFileDialog(std::move(dialog))) {}
    ~TScopedSaveFileDialog() { SetSaveFileDialog(std::move(FPrevious)); }
    TScopedSaveFileDialog(const TScopedSaveFileDialog&) = delete;
    TScopedSaveFileDialog& operator=(const TScopedSaveFileDialog&) = delete;

  private:
    TSaveFileDialog FPrevious;
};

// "<source>_<from>_<to>.csv" with the dates as yyyy-M-d; characters no file
// name may hold become '_'. Without a range only the source names it.
QString ExportFileName(const QString& source, TDateTime begin, TDateTime end);

// The failure message: kExportFailedMessage and the reason in words.
QString ExportFailureText(const ECsvExportError& error);

// Asks for the file (suggesting `suggestedName`), then writes the header and
// the rows with a progress dialog the operator can cancel. A failure is shown
// through ShowMessage. True when the file was written. The file is written
// on a worker thread while the caller's thread runs an event loop, so the row
// source is called on that worker and must stay valid until this returns:
// give it rows of your own, which nothing changes or releases meanwhile.
bool ExportRowsToCsv(QWidget* parent, const QString& suggestedName, const TCsvRow& headers,
                     size_t rowCount, const TCsvRowSource& rows);
