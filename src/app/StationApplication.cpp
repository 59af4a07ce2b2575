#include "app/StationApplication.h"

#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <exception>

#include "app/ErrorReport.h"
#include "dialogs/Prompts.h"
#include "serial/QtCommSink.h"
#include "store/ProgramDirLock.h"

namespace {

constexpr int kFontPointSize = 10;

}  // namespace

std::unique_ptr<TProgramDirLock> LockProgramDir(const std::string& programDir) {
    std::unique_ptr<TProgramDirLock> lock = TProgramDirLock::TryAcquire(programDir);
    if (lock) return lock;
    const QString message = QString::fromUtf8(kStationRunningMessage);
    qWarning("%s (%s)", qUtf8Printable(message), programDir.c_str());
    ShowMessage(nullptr, message);
    return nullptr;
}

QString PickCjkFamily() {
    const QString preferred = QString::fromUtf8(kPreferredCjkFamily);
    const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    if (chinese.contains(preferred)) return preferred;
    for (const QString& family : chinese) {
        if (QFontDatabase::isSmoothlyScalable(family)) return family;
    }
    return chinese.isEmpty() ? QString() : chinese.first();
}

bool InstallChineseTexts(QApplication& app) {
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QLocale::setDefault(chinese);
    // "qt" names Qt's catalogs of every module (base, multimedia, ...).
    auto* translator = new QTranslator(&app);
    if (!translator->load(chinese, QStringLiteral("qt"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QApplication::installTranslator(translator);
}

TStationApplication::TStationApplication(int& argc, char** argv) : QApplication(argc, argv) {
    const QString family = PickCjkFamily();
    if (!family.isEmpty()) setFont(QFont(family, kFontPointSize));
    if (!InstallChineseTexts(*this)) {
        qWarning("Qt's Chinese translations are not installed; its own texts stay English");
    }
    InstallQtCommSinks(
        [](std::exception_ptr error) { ReportApplicationException(activeWindow(), error); });
}

bool TStationApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportApplicationException(activeWindow(), std::current_exception());
    }
    return false;
}
