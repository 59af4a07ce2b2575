#pragma once
// The screenshot mode of the program (app/CommandLine.h).

#include <QString>

class TMainForm;

struct TScreenshotRequest {
    QString File;
    int Station = 1;
    int DelaySeconds = 10;
};

// Arms the screenshot on a shown window.
void ScheduleScreenshot(TMainForm& window, const TScreenshotRequest& request);
