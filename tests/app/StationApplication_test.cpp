// The application object itself: these tests run in a TStationApplication
// (their own main), so what escapes a handler meets the real notify.

#include "app/StationApplication.h"

#include <gtest/gtest.h>

#include <QEvent>
#include <QFontDatabase>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "app/ErrorReport.h"
#include "app/StationTestSupport.h"

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
