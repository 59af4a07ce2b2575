#include "app/CommandLine.h"

namespace {

bool ReadCount(const QStringList& arguments, int& i, int minimum, int& value) {
    if (i + 1 >= arguments.size()) return false;
    bool ok = false;
    const int parsed = arguments[++i].toInt(&ok);
    if (!ok || parsed < minimum) return false;
    value = parsed;
    return true;
}

bool ReadText(const QStringList& arguments, int& i, QString& value) {
    if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty()) return false;
    value = arguments[++i];
    return true;
}

}  // namespace

std::optional<TCommandLine> ParseCommandLine(const QStringList& arguments, QString* error) {
    TCommandLine line;
    TScreenshotRequest request;
    bool screenshot = false;
    bool screenshotOptions = false;
    auto fail = [error](const QString& text) -> std::optional<TCommandLine> {
        if (error != nullptr) *error = text;
        return std::nullopt;
    };
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        bool ok = true;
        if (a == "--screenshot") {
            ok = ReadText(arguments, i, request.File);
            screenshot = true;
        } else if (a == "--select") {
            ok = ReadCount(arguments, i, 1, request.Station);
            screenshotOptions = true;
        } else if (a == "--delay") {
            ok = ReadCount(arguments, i, 0, request.DelaySeconds);
            screenshotOptions = true;
        } else if (a == "--loop-log") {
            ok = ReadText(arguments, i, line.LoopLog);
        } else {
            ok = false;
        }
        if (!ok) return fail(QStringLiteral("unexpected argument '%1'").arg(a));
    }
    if (screenshotOptions && !screenshot)
        return fail(QStringLiteral("--screenshot FILE is missing"));
    if (screenshot) line.Screenshot = request;
    return line;
}

QString CommandLineUsage() {
    return QStringLiteral(
        "usage: tcstation [--screenshot FILE [--select N] [--delay SECONDS]] [--loop-log FILE]");
}
