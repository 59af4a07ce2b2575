#pragma once
// The application's general error report: an error that escapes a handler
// is shown with its message in a plain message box, and the station keeps
// running. While one such box is open, further errors go to the log instead
// of stacking boxes that an absent operator would find by the hundred.

#include <QString>
#include <exception>

class QWidget;

void ReportApplicationError(QWidget* parent, const QString& message);
// A report that must not be lost (a station stopped recording): while another
// box is open it waits, and once that box closes the waiting reports are
// shown together in one box. Reports of the same text wait once.
void ReportApplicationErrorWhenFree(QWidget* parent, const QString& message);
// The message of an escaped exception (what() of a std::exception).
void ReportApplicationException(QWidget* parent, std::exception_ptr error);
