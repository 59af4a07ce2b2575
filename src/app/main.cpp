// tcstation: the monitoring station's program entry.

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/CommandLine.h"
#include "app/LoopWatch.h"
#include "app/MainForm.h"
#include "app/Screenshot.h"
#include "app/StationApplication.h"
#include "serial/PortName.h"
#include "store/ProgramDirLock.h"
#include "store/StorePaths.h"

namespace {

constexpr int kExitUsage = 2;
// Descriptors the station may want: three or more per station (its port,
// its port's wake-up pipe, its history file, the flusher's copy of it) and
// some for backups, queries and Qt. 255 stations pass the usual soft limit
// of 1024; nothing here uses select(), so a higher number is safe.
constexpr rlim_t kWantedDescriptors = 16384;

// Raises the soft limit on open descriptors towards the hard one; where it
// cannot, the station goes on with what it has.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY
                              ? kWantedDescriptors
                              : std::min(kWantedDescriptors, limit.rlim_max);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A file size limit (ulimit -f) makes a write fail with EFBIG, which the
    // recording reports and outlives, instead of ending the station.
    std::signal(SIGXFSZ, SIG_IGN);
    RaiseDescriptorLimit();
    TStationApplication app(argc, argv);
    QString error;
    const std::optional<TCommandLine> options = ParseCommandLine(QApplication::arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "tcstation: %s\n%s\n", qUtf8Printable(error),
                     qUtf8Printable(CommandLineUsage()));
        return kExitUsage;
    }

    std::string programDir;
    try {
        programDir = ExeDir();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tcstation: %s\n", e.what());
        return 1;
    }
    // Before any file is touched: one station per program directory.
    std::unique_ptr<TProgramDirLock> lock;
    try {
        lock = LockProgramDir(programDir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tcstation: %s\n", e.what());
        return 1;
    }
    if (!lock) return 1;
    // Port names "COMn" are looked up under the program's directory.
    SetCommProgramDir(programDir);

    auto window = std::make_unique<TMainForm>(programDir);
    if (window->TerminateRequested()) return 0;
    window->show();
    std::unique_ptr<TLoopWatch> loopWatch;
    if (!options->LoopLog.isEmpty()) loopWatch = std::make_unique<TLoopWatch>(options->LoopLog);
    if (options->Screenshot) ScheduleScreenshot(*window, *options->Screenshot);
    return app.exec();
}
