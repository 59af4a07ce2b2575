#pragma once
// The one command-line option of the program, for the documentation:
//
//   tcstation --screenshot FILE [--select N] [--delay SECONDS]
//
// selects the N-th station (from 1; default 1) once the window is up, waits
// SECONDS (default 10) while the station runs as usual, saves an image of
// the window to FILE and closes it. Without --screenshot the program takes
// no arguments.

#include <QString>
#include <QStringList>
#include <optional>

class TMainForm;

struct TScreenshotRequest {
    QString File;
    int Station = 1;
    int DelaySeconds = 10;
};

// None when the arguments ask for no screenshot; Error set when they are
// malformed.
std::optional<TScreenshotRequest> ParseScreenshotRequest(const QStringList& arguments,
                                                         QString* error);

// Arms the screenshot on a shown window.
void ScheduleScreenshot(TMainForm& window, const TScreenshotRequest& request);
