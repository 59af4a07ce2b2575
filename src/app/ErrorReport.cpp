#include "app/ErrorReport.h"

#include <QtGlobal>

#include "dialogs/Prompts.h"

namespace {

// A message box runs a nested event loop in which the next error can come.
bool gReporting = false;

}  // namespace

void ReportApplicationError(QWidget* parent, const QString& message) {
    if (gReporting) {
        qWarning("%s", qUtf8Printable(message));
        return;
    }
    gReporting = true;
    try {
        ShowMessage(parent, message);
    } catch (...) {
        // Showing the report must not raise a second error.
    }
    gReporting = false;
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
