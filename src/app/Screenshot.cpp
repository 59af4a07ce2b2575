#include "app/Screenshot.h"

#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/MainForm.h"

namespace {

constexpr int kMsPerSecond = 1000;

}  // namespace

void ScheduleScreenshot(TMainForm& window, const TScreenshotRequest& request) {
    QTreeWidgetItem* root = window.RootNode();
    if (request.Station <= root->childCount()) {
        window.StationTreeView()->setCurrentItem(root->child(request.Station - 1));
    }
    QTimer::singleShot(request.DelaySeconds * kMsPerSecond, &window, [&window, request] {
        if (!window.grab().save(request.File)) {
            std::fprintf(stderr, "tcstation: cannot write %s\n", qUtf8Printable(request.File));
        }
        window.close();
    });
}
