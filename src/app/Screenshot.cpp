#include "app/Screenshot.h"

#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/MainForm.h"

namespace {

constexpr int kMsPerSecond = 1000;

bool ReadCount(const QStringList& arguments, int& i, int minimum, int& value) {
    if (i + 1 >= arguments.size()) return false;
    bool ok = false;
    const int parsed = arguments[++i].toInt(&ok);
    if (!ok || parsed < minimum) return false;
    value = parsed;
    return true;
}

}  // namespace

std::optional<TScreenshotRequest> ParseScreenshotRequest(const QStringList& arguments,
                                                         QString* error) {
    TScreenshotRequest request;
    bool wanted = false;
    // arguments[0] is the program.
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        bool ok = true;
        if (a == "--screenshot" && i + 1 < arguments.size()) {
            request.File = arguments[++i];
            wanted = true;
        } else if (a == "--select") {
            ok = ReadCount(arguments, i, 1, request.Station);
        } else if (a == "--delay") {
            ok = ReadCount(arguments, i, 0, request.DelaySeconds);
        } else {
            ok = false;
        }
        if (!ok) {
            if (error != nullptr) *error = QStringLiteral("unexpected argument '%1'").arg(a);
            return std::nullopt;
        }
    }
    if (!wanted) {
        if (error != nullptr && arguments.size() > 1)
            *error = QStringLiteral("--screenshot FILE is missing");
        return std::nullopt;
    }
    return request;
}

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
