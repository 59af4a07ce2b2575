// tcsim: simulated temperature controllers on pseudo-terminals, one Modbus RTU
// slave per line, for running and testing the station without hardware.

#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <exception>
#include <memory>

#include "SimOptions.h"
#include "SimServer.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
    TSimOptions options;
    try {
        options = ParseSimOptions(argc, argv);
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "tcsim: %s\n%s", error.what(), SimUsageText().c_str());
        return kExitUsage;
    }
    if (options.Help) {
        std::fputs(SimUsageText().c_str(), stdout);
        return kExitOk;
    }

    // The stop signals are taken through a descriptor in the poll loop, so
    // they never interrupt a reply half written; blocked before any link
    // exists, so none is missed and the links are always removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        std::perror("tcsim: sigprocmask");
        return kExitFailure;
    }
    // A reader of stdout that went away must not kill us before the links
    // are removed.
    signal(SIGPIPE, SIG_IGN);
    TFd signalFd(signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!signalFd.Valid()) {
        std::perror("tcsim: signalfd");
        return kExitFailure;
    }

    try {
        TSimServer server(options);
        std::string ready = server.ReadyLine();
        std::fprintf(stdout, "%s\n", ready.c_str());
        std::fflush(stdout);
        return server.Run(signalFd.Get()) ? kExitOk : kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tcsim: %s\n", error.what());
        return kExitFailure;
    }
}
