#pragma once
// TBackUpLocationForm, "BackUpLocationForm": browses one history file,
// usually a backup copy, in the same report and chart as the main window's
// history page (the shared THistoryPanel, three series without the iron
// core). A separate, non-modal window: the main window makes it once and
// shows the same instance every time; closing it only hides it, and the open
// file and the last results stay until the next "打开文件...".
//
//   起始日期：[Begin] － [End] [查询]     [打印...] [导出...] [打开文件...]
//   ┌ HistoryListView / HistoryChart ─────────────────────────────────┐
//   └ 报表 ─ 曲线 ────────────────────────────────────────────────────┘
//
//   no file --打开文件..., a path chosen, the manager made--> file open
//   any     --打开文件... (the old file is closed first)---> no file
//           (cancelled: the caption stays as it was; or the file is not a
//           history file)
//
// The panel borrows the result list: it is cleared before the list changes
// or goes.
//
// "查询" clears the report and reads the range on a worker through the
// window's manager, which nothing else uses meanwhile: opening another file
// and closing the window wait for the worker first. "查询" again while one
// runs cancels it, leaving the report empty.

#include <QString>
#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/Items.h"

class QPushButton;
class THisInfoDbMgr;
class THistoryPanel;

// The captions of the window.
inline constexpr const char* kBackUpViewerCaption = "BackUpLocationForm";
inline constexpr const char* kOpenedCaptionPrefix = "已打开备份文件 - ";
inline constexpr const char* kOpenFailedCaption = "无法打开数据文件，请检查数据文件是否正确！";
// The filter of the file open dialog.
inline constexpr const char* kBackUpFileFilter = "*.dt";

class TBackUpLocationForm : public QWidget {
    Q_OBJECT
  public:
    // The file open dialog: the chosen path, or an empty text when the
    // operator cancels. Tests put their own in place.
    using TOpenFileDialog = std::function<QString(QWidget* parent, const QString& filter)>;

    static constexpr int kInitialWidth = 643;
    static constexpr int kInitialHeight = 476;

    // A window of its own, also when it has an owner (which destroys it).
    explicit TBackUpLocationForm(QWidget* owner = nullptr);
    ~TBackUpLocationForm() override;
    TBackUpLocationForm(const TBackUpLocationForm&) = delete;
    TBackUpLocationForm& operator=(const TBackUpLocationForm&) = delete;

    // An empty one restores the real file dialog.
    void SetOpenFileDialog(TOpenFileDialog dialog);
    // Where a failed query's error goes once what was read is shown; the
    // default shows its message in a plain message box.
    using TQueryErrorHandler = std::function<void(QWidget* parent, std::exception_ptr error)>;
    void SetQueryErrorHandler(TQueryErrorHandler handler);

    // "打开文件...": closes the open file, clears the results, asks for a
    // file and opens it as a history file (a missing file is created empty).
    void OpenFileButtonClick();
    // "查询": clears the report; with a file open and begin before end, reads
    // the samples of the range on a worker and shows them, newest first.
    // Engine errors go to the query error handler after what was read is
    // shown. While a query runs it only cancels that one.
    void QueryButtonClick();

    bool FileOpened() const { return FHistoryMgr != nullptr; }
    // The path last chosen (also when it could not be opened).
    const std::string& FileName() const { return FFileName; }
    // The rows of the last query (none: an empty list).
    const std::vector<TTmpReading>& Results() const;

    THistoryPanel* HistoryPanel() const { return FPanel; }
    QPushButton* OpenFileButton() const { return FOpenFileButton; }

  private:
    void ReleaseResults();

    std::string FFileName;
    TReadingList FResults;                       // shown by the panel
    std::unique_ptr<THisInfoDbMgr> FHistoryMgr;  // none while no file is open
    // Held by the worker that reads through FHistoryMgr: a cancelled one
    // may still be finishing its step when the next starts.
    std::mutex FHistoryMgrInUse;
    TOpenFileDialog FOpenFileDialog;
    TQueryErrorHandler FQueryError;

    // Children of the window.
    THistoryPanel* FPanel;
    QPushButton* FOpenFileButton;
};
