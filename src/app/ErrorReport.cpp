#include "app/ErrorReport.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <QtGlobal>

#include "dialogs/Prompts.h"

namespace {

// A message box runs a nested event loop in which the next error can come.
bool gReporting = false;

// Reports waiting for the open box to close, in arrival order.
QStringList gWaiting;
QPointer<QWidget> gWaitingParent;
// One box never lists more than this many waiting reports.
constexpr int kMaxListed = 10;

void ShowOnce(QWidget* parent, const QString& message) {
    gReporting = true;
    try {
        ShowMessage(parent, message);
    } catch (...) {
        // Showing the report must not raise a second error.
    }
    gReporting = false;
}

// Shows what waited while the last box was open; what arrives while this
// box is open waits for the next round.
void ShowWaiting() {
    while (!gWaiting.isEmpty() && !gReporting) {
        QStringList listed = gWaiting;
        gWaiting.clear();
        const qsizetype more = listed.size() - kMaxListed;
        if (more > 0) {
            listed.erase(listed.begin() + kMaxListed, listed.end());
            listed.append(QStringLiteral("……另有 %1 条。").arg(more));
        }
        ShowOnce(gWaitingParent.data(), listed.join(QLatin1Char('\n')));
    }
}

}  // namespace

void ReportApplicationError(QWidget* parent, const QString& message) {
    if (gReporting) {
        qWarning("%s", qUtf8Printable(message));
        return;
    }
    ShowOnce(parent, message);
    ShowWaiting();
}

void ReportApplicationErrorWhenFree(QWidget* parent, const QString& message) {
    qWarning("%s", qUtf8Printable(message));
    if (!gWaiting.contains(message)) gWaiting.append(message);
    gWaitingParent = parent;
    ShowWaiting();
}

void ReportApplicationException(QWidget* parent, std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ReportApplicationError(parent, QString::fromUtf8(e.what()));
    } catch (...) {
        ReportApplicationError(parent, QStringLiteral("Unknown error"));
    }
}
