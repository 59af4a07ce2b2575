#pragma once
// One station per program directory. A running station holds an exclusive
// advisory lock (flock) on the program directory itself for its whole life:
// nothing is created or written for it, and the lock goes with the process,
// however it ends. A second station finds it taken and leaves every file
// alone; tcdb's writing commands find it taken and refuse.
//
//   free --TryAcquire--> held by this process --destruction/exit--> free
//   held by another process: TryAcquire gives none, StationRunsIn is true

#include <memory>
#include <string>

class TProgramDirLock {
  public:
    // The lock of Dir, or none when another process holds it. Raises
    // std::runtime_error when Dir cannot be opened as a directory.
    static std::unique_ptr<TProgramDirLock> TryAcquire(const std::string& dir);
    ~TProgramDirLock();
    TProgramDirLock(const TProgramDirLock&) = delete;
    TProgramDirLock& operator=(const TProgramDirLock&) = delete;

  private:
    explicit TProgramDirLock(int handle) : FHandle(handle) {}
    int FHandle;
};

// True when a station holds the lock of Dir. A directory that cannot be
// opened holds no station.
bool StationRunsIn(const std::string& dir);

// The directory of a running station that File lies in (its own directory
// or one of the two above it, where the station keeps data/<address>/ and
// syspara/), or empty when there is none.
std::string RunningStationDirOf(const std::string& file);
