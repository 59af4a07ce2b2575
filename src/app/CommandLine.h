#pragma once
// The program's command line, for the documentation:
//
//   tcstation [--screenshot FILE [--select N] [--delay SECONDS]] [--loop-log FILE]
//
// --screenshot selects the N-th station (from 1; default 1) once the window
// is up, waits SECONDS (default 10) while the station runs as usual, saves
// an image of the window to FILE and closes it. --loop-log appends the event
// loop's longest stall every 10 s to FILE (app/LoopWatch.h). Without
// options the station simply runs.

#include <QString>
#include <QStringList>
#include <optional>

#include "app/Screenshot.h"

struct TCommandLine {
    std::optional<TScreenshotRequest> Screenshot;
    QString LoopLog;  // empty: not watched
};

// `arguments[0]` is the program. None with `error` set when they are
// malformed: an unknown option, a missing or bad value, --select or --delay
// without --screenshot.
std::optional<TCommandLine> ParseCommandLine(const QStringList& arguments, QString* error);

// The usage line printed with an error.
QString CommandLineUsage();
