#pragma once
// The station program as a child process for the fault tests: a copy of the
// built tcstation in a program directory of its own (the station keeps its
// files beside its executable), started on the offscreen platform and ended
// the hard way.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

// Copies (or hard-links) the program into Dir; returns the copy's path.
std::string InstallStation(const std::string& programPath, const std::string& dir);

class TStationProcess {
  public:
    // Starts Program with QT_QPA_PLATFORM=offscreen; its output is appended
    // to LogFile. Raises std::runtime_error when it cannot be started.
    TStationProcess(const std::string& program, const std::string& logFile);
    ~TStationProcess();
    TStationProcess(const TStationProcess&) = delete;
    TStationProcess& operator=(const TStationProcess&) = delete;

    pid_t Pid() const { return FPid; }
    // True while it has not been reaped.
    bool Running();
    // SIGKILL and reap; nothing when it has ended already.
    void Kill();
    // Reaps it if it ended within the limit; its wait status.
    std::optional<int> Wait(std::chrono::milliseconds limit);

  private:
    pid_t FPid = -1;
    bool FReaped = false;
    int FStatus = 0;
};

// Resident set size in kB and open descriptors of a process, from /proc.
long ResidentKb(pid_t pid);
int OpenDescriptors(pid_t pid);
