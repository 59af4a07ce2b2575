// The application object itself: these tests run in a TStationApplication
// (their own main), so what escapes a handler meets the real notify.

#include "app/StationApplication.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QEvent>
#include <QFontDatabase>
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

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    TStationApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
