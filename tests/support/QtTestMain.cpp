// main() for GoogleTest executables that need a Qt application object.
// Widgets run on the offscreen platform unless the caller chose another one,
// so the tests need no display (also when CTest lists them at build time).

#include <gtest/gtest.h>

#include <QCoreApplication>
#ifndef TC_QT_CORE_ONLY
#include <QApplication>
#endif

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
#ifdef TC_QT_CORE_ONLY
    QCoreApplication app(argc, argv);
#else
    QApplication app(argc, argv);
#endif
    return RUN_ALL_TESTS();
}
