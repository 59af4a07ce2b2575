#include "store/StorePaths.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr const char* kSelfExe = "/proc/self/exe";
constexpr const char* kDataDir = "data/";
constexpr const char* kStationFile = "data/station.dt";
constexpr const char* kSysParaFile = "syspara/para.dt";
constexpr const char* kHistoryFile = "HistoryData.dt";
constexpr const char* kEventFile = "data/event.dt";

}  // namespace

std::string ExeDir() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink(kSelfExe, path, sizeof path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        throw std::runtime_error(std::string("Cannot find the program's directory: ") +
                                 std::strerror(n < 0 ? errno : ENAMETOOLONG));
    }
    const std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

std::string WithTrailingSlash(const std::string& programDir) {
    if (programDir.empty() || programDir.back() == '/') return programDir;
    return programDir + '/';
}

std::string StationFileName(const std::string& programDir) {
    return WithTrailingSlash(programDir) + kStationFile;
}

std::string SysParaFileName(const std::string& programDir) {
    return WithTrailingSlash(programDir) + kSysParaFile;
}

std::string EventFileName(const std::string& programDir) {
    return WithTrailingSlash(programDir) + kEventFile;
}

std::string HistoryDirName(const std::string& programDir, int32_t tmpAddr) {
    return WithTrailingSlash(programDir) + kDataDir + std::to_string(tmpAddr) + '/';
}

std::string HistoryFileName(const std::string& programDir, int32_t tmpAddr) {
    return HistoryDirName(programDir, tmpAddr) + kHistoryFile;
}
