#pragma once
// The station's application object. Whatever an event handler raises is
// caught here, before it could unwind through Qt's event loop, and shown by
// the general error report; the station keeps running.

#include <QApplication>
#include <QFont>
#include <QString>
#include <memory>
#include <string>

class TProgramDirLock;

// Said when a station runs in the program directory already.
inline constexpr const char* kStationRunningMessage = "同一程序目录中已有温度控制系统在运行！";

// The program directory's lock for this process. When another station holds
// it: the message goes to the log and a message box, and none is returned
// (the caller ends without touching any file).
std::unique_ptr<TProgramDirLock> LockProgramDir(const std::string& programDir);

// The family the station prefers for its Chinese texts.
inline constexpr const char* kPreferredCjkFamily = "Noto Sans CJK SC";

// A family that has Simplified Chinese glyphs: the preferred one when it is
// installed, else the first scalable one the system offers; empty when the
// system has none.
QString PickCjkFamily();

// Makes Qt's own texts (standard buttons, the print, file and font dialogs)
// Simplified Chinese from Qt's translations, and the calendar's month and day
// names from the Chinese locale, so the whole window speaks one language.
// The station's own texts are not translated; they are Chinese already.
// False when Qt's translations are not installed: those texts stay English.
bool InstallChineseTexts(QApplication& app);

class TStationApplication : public QApplication {
    Q_OBJECT
  public:
    // Sets the application font to PickCjkFamily() (when there is one),
    // installs Qt's Chinese texts and the serial ports' Qt notification
    // sinks, which report what a port event handler raises.
    TStationApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;
};
