#include "polling/BackUp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "polling/HistoryOpener.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaChecks.h"
#include "store/SysParaDbMgr.h"

namespace {

// Backup files are copies of history files under this extension.
constexpr const char* kBackUpExtension = ".dt";
// The copy is built under the target's name plus this, so a copy cut short
// never looks like a backup (the viewer lists "*.dt" only).
constexpr const char* kPartialSuffix = ".part";
constexpr size_t kCopyChunk = 64 * 1024;
constexpr mode_t kBackUpFileMode = 0644;

// Owns one file descriptor.
class TFd {
  public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0) ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;

    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    // Closes now; false when closing reports an error (data not written).
    bool Close() {
        const int fd = FFd;
        FFd = -1;
        return ::close(fd) == 0;
    }

  private:
    int FFd;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Every byte of `from` into `to`, checked chunk by chunk.
bool CopyBytes(int from, int to) {
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        if (static_cast<size_t>(n) > buffer.size()) return false;
        if (!WriteAll(to, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

// A new name in a directory is durable once the directory is synced; some
// file systems cannot sync a directory, which loses nothing more than before.
void SyncDirectory(const std::filesystem::path& dir) {
    TFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Valid()) ::fsync(fd.Get());
}

}  // namespace

std::string BackUpFileName(const std::string& backUpPath, int32_t address, TDateTime day) {
    return WithTrailingSlash(backUpPath) + std::to_string(address) + "/" + FormatShortDate(day) +
           kBackUpExtension;
}

bool CopyFileDurably(const std::string& from, const std::string& to) {
    TFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source.Valid()) return false;
    struct stat info {};
    if (::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

    // The temporary name is ours alone: whatever stands there (a copy cut
    // short, or a link planted in a shared backup directory) goes first, and
    // the new file is made exclusively, so no write ever follows a link.
    const std::string partial = to + kPartialSuffix;
    if (::unlink(partial.c_str()) != 0 && errno != ENOENT) return false;
    TFd target(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      kBackUpFileMode));
    if (!target.Valid()) return false;
    const bool copied = CopyBytes(source.Get(), target.Get()) && ::fsync(target.Get()) == 0;
    const bool closed = target.Close();
    std::error_code ignored;
    if (!copied || !closed || std::filesystem::exists(to, ignored) ||
        std::rename(partial.c_str(), to.c_str()) != 0) {
        std::filesystem::remove(partial, ignored);
        return false;
    }
    SyncDirectory(std::filesystem::path(to).parent_path());
    return true;
}

TBackUp::TBackUp(const std::string& programDir, TSysParaInfo& settings, TSysParaDbMgr* paraMgr,
                 std::vector<TSysParaItem>& paraList)
    : FProgramDir(WithTrailingSlash(programDir)),
      FSettings(settings),
      FParaMgr(paraMgr),
      FParaList(paraList) {}

TDateTime TBackUp::Today() const {
    return DateOf(FClock ? FClock() : Now());
}

TBackUpResult TBackUp::BackUpStation(TStationState& station) {
    // An empty setting would put the backups at the root of the file system.
    const std::string backUpPath = ResolveBackUpDir(FProgramDir, FSettings.BackUpPath.Utf8());
    if (backUpPath.empty()) return TBackUpResult::NoBackUpPath;

    const std::filesystem::path target = BackUpFileName(backUpPath, station.Address, Today());
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error || !std::filesystem::is_directory(target.parent_path(), error)) {
        return TBackUpResult::DirectoryFailed;
    }
    // At most one backup of a station per day, whichever command makes it.
    if (std::filesystem::exists(std::filesystem::symlink_status(target, error))) {
        return TBackUpResult::AlreadyDone;
    }

    // The history manager is still open: every sample it stored is already
    // in the file, which the engine closes after each operation, and on
    // stable storage once its flushes are done.
    // An open under way ends first and its manager is released below with
    // the rest: none opened on the old file is put in place afterwards.
    FinishHistoryOpen(station);
    if (station.HistoryMgr) station.HistoryMgr->WaitFlushed();
    const std::string live = HistoryFileName(FProgramDir, station.Address);
    if (!CopyFileDurably(live, target.string())) return TBackUpResult::CopyFailed;

    if (FReleaseList) {
        FReleaseList(station);
    } else {
        station.HistoryList.reset();
    }
    station.HistoryMgr.reset();
    std::filesystem::remove(live, error);
    return TBackUpResult::Done;
}

int TBackUp::BackUpAll(const std::vector<TStationState*>& stations, int* failed) {
    int done = 0;
    int failures = 0;
    for (TStationState* station : stations) {
        if (station == nullptr) continue;
        switch (BackUpStation(*station)) {
            case TBackUpResult::Done:
                ++done;
                break;
            case TBackUpResult::AlreadyDone:
                break;
            default:
                ++failures;
                break;
        }
    }
    if (failed != nullptr) *failed = failures;
    return done;
}

TAutoBackUpResult TBackUp::BackUpTimerTimer(const std::vector<TStationState*>& stations) {
    if (!FSettings.IsBackUp) return TAutoBackUpResult::Off;
    const TDateTime today = Today();
    const TDateTime last = ParseShortDate(FSettings.LastBackUpDate.Gbk());
    if (last == 0) {
        RecordBackUpDay(today);
        return TAutoBackUpResult::DayRecorded;
    }
    // A recorded day after today means the clock was ahead when it was
    // written: waiting for the clock to reach it again could take years.
    const int64_t daysSince = int64_t{DayNumber(today)} - DayNumber(last);
    if (daysSince >= 0 && daysSince <= FSettings.BackUpInterval) return TAutoBackUpResult::NotDue;
    int failed = 0;
    const int done = BackUpAll(stations, &failed);
    // A run in which every station failed is no backup: the next tick tries again.
    if (done == 0 && failed > 0) return TAutoBackUpResult::Failed;
    RecordBackUpDay(today);
    return TAutoBackUpResult::BackedUp;
}

void TBackUp::RecordBackUpDay(TDateTime day) {
    const std::string text = FormatShortDate(day);
    FSettings.LastBackUpDate.AssignUtf8(text);
    if (FParaMgr == nullptr) return;
    try {
        WritePara(*FParaMgr, FParaList, kParaLastBackUpDate, 0, text);
    } catch (...) {
        // The day stays recorded in the settings; only a restart would read
        // the older stored day back.
    }
}
