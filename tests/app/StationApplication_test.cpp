// The application object itself: these tests run in a TStationApplication
// (their own main), so what escapes a handler meets the real notify.

#include "app/StationApplication.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFontDatabase>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "app/ErrorReport.h"
#include "app/StationTestSupport.h"
#include "dialogs/Prompts.h"
#include "store/ProgramDirLock.h"

namespace {

class TThrowingObject : public QObject {
  public:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) throw std::runtime_error("Fail to create database");
        return QObject::event(event);
    }
};

}  // namespace

TEST(TStationApplication, AnExceptionOfAnEventHandlerIsReportedAndDelivered) {
    TMessageLog log;
    TThrowingObject object;
    QEvent event(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&object, &event));
    EXPECT_EQ(log.Messages(), QStringList({"Fail to create database"}));
}

TEST(TStationApplication, TheEventLoopKeepsRunningAfterAHandlerRaised) {
    TMessageLog log;
    bool later = false;
    QTimer::singleShot(0, [] { throw std::logic_error("first"); });
    QTimer::singleShot(10, [&] { later = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return later; }, 10000));
    EXPECT_EQ(log.Messages(), QStringList({"first"}));
}

TEST(TStationApplication, ErrorsWhileAReportIsOpenDoNotStackBoxes) {
    QStringList shown;
    TScopedMessageHandler handler([&](QWidget*, const QString& text) {
        shown << text;
        // The box's own loop meets the next error.
        ReportApplicationError(nullptr, QStringLiteral("second"));
    });
    ReportApplicationError(nullptr, QStringLiteral("first"));
    ReportApplicationError(nullptr, QStringLiteral("third"));
    EXPECT_EQ(shown, QStringList({"first", "third"}));
}

// A second station on the same program directory is told so and gets no
// lock; the first keeps it. The lock goes with its holder.
TEST(TStationApplication, ASecondStationOnTheDirectoryIsToldAndGetsNoLock) {
    const QTemporaryDir dir;
    QStringList shown;
    TScopedMessageHandler handler([&](QWidget*, const QString& text) { shown << text; });
    auto first = LockProgramDir(dir.path().toStdString());
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_EQ(LockProgramDir(dir.path().toStdString()), nullptr);
    EXPECT_EQ(shown, QStringList({QString::fromUtf8(kStationRunningMessage)}));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    first.reset();
    EXPECT_NE(LockProgramDir(dir.path().toStdString()), nullptr);
}

TEST(TStationApplication, TheFontHasChineseGlyphsPreferringNotoSansCjkSc) {
    const QString family = PickCjkFamily();
    const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    if (chinese.isEmpty()) GTEST_SKIP() << "no font with Chinese glyphs is installed";
    EXPECT_TRUE(chinese.contains(family)) << family.toStdString();
    if (chinese.contains(kPreferredCjkFamily)) {
        EXPECT_EQ(family, kPreferredCjkFamily);
    }
    EXPECT_EQ(QApplication::font().family(), family);
}

// Qt's own texts speak Chinese like the rest of the window; the station's
// own texts stay exactly as written.
TEST(TStationApplication, QtsOwnTextsAreSimplifiedChinese) {
    ASSERT_TRUE(InstallChineseTexts(*qApp))
        << "Qt's translations are missing (scripts/setup.sh installs them)";
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
    QDialogButtonBox buttons(QDialogButtonBox::Save | QDialogButtonBox::Close);
    EXPECT_EQ(buttons.button(QDialogButtonBox::Save)->text(), QStringLiteral("保存"));
    // The calendar pop-up's month and day names.
    EXPECT_EQ(QLocale().standaloneMonthName(1), QStringLiteral("一月"));
    EXPECT_EQ(QLocale().dayName(1), QStringLiteral("星期一"));
    // Numbers keep the decimal point every text of the station uses.
    EXPECT_EQ(QLocale().toString(12.5, 'f', 1), QStringLiteral("12.5"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK"), QStringLiteral("确定"));
    EXPECT_EQ(QCoreApplication::translate("TMainForm", "增加设备(&E)..."),
              QStringLiteral("增加设备(&E)..."));
}

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    TStationApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
