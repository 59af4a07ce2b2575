#pragma once
// The entry of a benchmark of widgets: a QApplication on the offscreen
// platform unless told otherwise, then every benchmark asked for.

#include <benchmark/benchmark.h>

#include <QApplication>

inline int RunWidgetBenchmarks(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
