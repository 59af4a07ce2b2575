#include "dialogs/CsvExportDialog.h"

#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QProgressDialog>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <exception>
#include <optional>
#include <thread>

#include "dialogs/Prompts.h"

namespace {

// Exports shorter than this never show the progress dialog.
constexpr int kProgressDelayMs = 500;
// How often the progress dialog follows the worker writing the file.
constexpr int kProgressFollowMs = 50;

QString RealSaveFileDialog(QWidget* parent, const QString& suggestedName, const QString& filter) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("导出"), suggestedName, filter);
}

// Main thread only, like every widget.
TSaveFileDialog& SaveFileDialog() {
    static TSaveFileDialog dialog;
    return dialog;
}

QString Sanitized(QString name) {
    for (QChar& c : name) {
        if (c < QChar(0x20) || QStringLiteral("/\\:*?\"<>|").contains(c)) c = QChar('_');
    }
    return name.trimmed();
}

}  // namespace

QString AskSaveFileName(QWidget* parent, const QString& suggestedName, const QString& filter) {
    if (SaveFileDialog()) return SaveFileDialog()(parent, suggestedName, filter);
    return RealSaveFileDialog(parent, suggestedName, filter);
}

TSaveFileDialog SetSaveFileDialog(TSaveFileDialog dialog) {
    return std::exchange(SaveFileDialog(), std::move(dialog));
}

QString ExportFileName(const QString& source, TDateTime begin, TDateTime end) {
    QString name = Sanitized(source);
    if (begin != 0 || end != 0) {
        name += QChar('_') + QString::fromStdString(FormatShortDate(begin)) + QChar('_') +
                QString::fromStdString(FormatShortDate(end));
    }
    if (name.isEmpty()) name = QStringLiteral("导出");
    return name + QStringLiteral(".csv");
}

QString ExportFailureText(const ECsvExportError& error) {
    QString reason;
    switch (error.Error()) {
        case EACCES:
        case EPERM:
        case EROFS:
            reason = QStringLiteral("没有写入该位置的权限。");
            break;
        case ENOSPC:
        case EDQUOT:
            reason = QStringLiteral("磁盘空间不足。");
            break;
        case ENOENT:
        case ENOTDIR:
            reason = QStringLiteral("目标文件夹不存在。");
            break;
        case EISDIR:
            reason = QStringLiteral("已有同名的文件夹。");
            break;
        default:
            reason = QString::fromLocal8Bit(error.what());
            break;
    }
    return QString::fromUtf8(kExportFailedMessage) + QChar('\n') + reason;
}

bool ExportRowsToCsv(QWidget* parent, const QString& suggestedName, const TCsvRow& headers,
                     size_t rowCount, const TCsvRowSource& rows) {
    const QString path =
        AskSaveFileName(parent, suggestedName, QString::fromUtf8(kExportFileFilter));
    if (path.isEmpty()) return false;

    // The dialog counts in ints; its steps are the writer's, not rows.
    const int steps = static_cast<int>(rowCount / kCsvProgressStep + 1);
    QProgressDialog progress(QString::fromUtf8(kExportProgressText), QStringLiteral("取消"), 0,
                             steps, parent);
    progress.setObjectName(QStringLiteral("ExportProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(kProgressDelayMs);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setValue(0);

    // The file is written on a worker while this thread runs an event loop
    // that follows it: the window keeps answering however long the export.
    std::atomic<size_t> done{0};
    std::atomic<bool> cancelled{false};
    std::optional<TCsvExportResult> result;
    std::exception_ptr error;
    QEventLoop loop;
    QTimer follow;
    follow.setInterval(kProgressFollowMs);
    QObject::connect(&follow, &QTimer::timeout, &loop, [&] {
        if (progress.wasCanceled()) cancelled = true;
        progress.setValue(static_cast<int>(done / kCsvProgressStep));
    });
    QObject::connect(&progress, &QProgressDialog::canceled, &loop, [&] { cancelled = true; });
    const std::string fileName = QFile::encodeName(path).toStdString();
    std::thread worker([&] {
        try {
            result = ExportCsv(fileName, headers, rowCount, rows, [&](size_t written, size_t) {
                done = written;
                return !cancelled;
            });
        } catch (...) {
            error = std::current_exception();
        }
        // Queued: delivered once the loop runs, however soon this comes.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    follow.start();
    loop.exec();
    follow.stop();
    worker.join();

    try {
        if (error) std::rethrow_exception(error);
        return result == TCsvExportResult::Written;
    } catch (const ECsvExportError& e) {
        progress.close();
        ShowMessage(parent, ExportFailureText(e));
    } catch (const std::exception& e) {
        // Out of memory and the like: reported here, never through the
        // event loop that called the button's slot.
        progress.close();
        ShowMessage(parent, QString::fromUtf8(kExportFailedMessage) + QChar('\n') +
                                QString::fromLocal8Bit(e.what()));
    }
    return false;
}
