#include "store/ProgramDirLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace {

// Levels above a file's own directory where its program directory may be.
constexpr int kLevelsAbove = 2;

int OpenDirectory(const std::string& dir) {
    return ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int TryLock(int fd, int operation) {
    int rc;
    do {
        rc = ::flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

}  // namespace

std::unique_ptr<TProgramDirLock> TProgramDirLock::TryAcquire(const std::string& dir) {
    const int fd = OpenDirectory(dir);
    if (fd < 0) {
        throw std::runtime_error("Cannot open directory '" + dir + "'. " + std::strerror(errno));
    }
    const int err = TryLock(fd, LOCK_EX);
    if (err == 0) return std::unique_ptr<TProgramDirLock>(new TProgramDirLock(fd));
    ::close(fd);
    if (err == EWOULDBLOCK) return nullptr;
    throw std::runtime_error("Cannot lock directory '" + dir + "'. " + std::strerror(err));
}

TProgramDirLock::~TProgramDirLock() {
    ::close(FHandle);  // releases the lock
}

bool StationRunsIn(const std::string& dir) {
    const int fd = OpenDirectory(dir);
    if (fd < 0) return false;
    // A shared probe: two tcdb commands asking at once do not see each other
    // as a station.
    const bool held = TryLock(fd, LOCK_SH) == EWOULDBLOCK;
    ::close(fd);
    return held;
}

std::string RunningStationDirOf(const std::string& file) {
    std::error_code error;
    std::filesystem::path dir = std::filesystem::absolute(file, error).parent_path();
    if (error) return {};
    for (int level = 0; level <= kLevelsAbove && !dir.empty(); ++level) {
        if (StationRunsIn(dir.string())) return dir.string();
        if (dir == dir.root_path()) break;
        dir = dir.parent_path();
    }
    return {};
}
