#include "engine/PlatformFileStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "engine/VeltErrors.h"

namespace {

constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask

void CloseQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

// Opens without waiting: O_NONBLOCK keeps open() from blocking on a FIFO
// and has no effect on the regular files that pass the check afterwards.
// Access times are left alone where the system lets us (they would cost a
// metadata write per operation).
int OpenNoWait(const std::string& path, int flags, mode_t mode = 0) {
    flags |= O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(path.c_str(), flags | O_NOATIME, mode);
    if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags, mode);
    return fd;
}

TFileIdentity IdentityOfStat(const struct stat& st) {
    constexpr int64_t kNsPerSecond = 1000000000;
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * kNsPerSecond + st.st_mtim.tv_nsec};
}

// Returns 0 or errno; Identity and Mode receive the file's identity (its
// size among it) and mode, from the one fstat an open makes.
int CheckRegular(int fd, TFileIdentity& identity, mode_t& mode) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    identity = IdentityOfStat(st);
    mode = st.st_mode;
    return 0;
}

int Lock(int fd, int operation) {
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

int Lock(int fd, bool exclusive) {
    return Lock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
}

}  // namespace

bool TPlatformFileStream::HasReadOnlyAttribute(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return (st.st_mode & kAnyWriteBit) == 0;
}

TPlatformFileStream::TPlatformFileStream(const std::string& path, bool readOnly, bool exclusive)
    : FExclusive(exclusive), FPath(path), FSizeKnown(exclusive) {
    int fd = OpenNoWait(path, readOnly ? O_RDONLY : O_RDWR);
    if (fd < 0 && errno == EACCES && !readOnly && HasReadOnlyAttribute(path)) {
        readOnly = true;  // a read-only file, for a user the system holds to it
        fd = OpenNoWait(path, O_RDONLY);
    }
    if (fd < 0) RaiseFileOpenError(path, errno);
    // The size is taken once the lock is ours: before it, another opener
    // may still be growing the file.
    mode_t mode = 0;
    int err = Lock(fd, exclusive);
    if (err == 0) err = CheckRegular(fd, FOpened, mode);
    if (err != 0) {
        CloseQuietly(fd);
        RaiseFileOpenError(path, err);
    }
    FHandle = fd;
    FSize = FOpened.Size;
    // A privileged user could write a file without write permission; the
    // stream refuses to, as it would for anyone else.
    FReadOnlyAttribute = (mode & kAnyWriteBit) == 0;
    FWritable = !readOnly && !FReadOnlyAttribute;
}

TFileIdentity TPlatformFileStream::Identity() const {
    struct stat st {};
    if (FHandle < 0 || ::fstat(FHandle, &st) != 0) return {};
    return IdentityOfStat(st);
}

TFileIdentity TPlatformFileStream::IdentityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return IdentityOfStat(st);
}

TPlatformFileStream::TPlatformFileStream(TAdopt, int fd, std::string path)
    : FHandle(fd), FPath(std::move(path)), FSizeKnown(true), FWritable(true) {}

std::unique_ptr<TPlatformFileStream> TPlatformFileStream::Create(const std::string& path) {
    // A file without write permission is not overwritten, even by a
    // privileged user: it is our read-only file.
    if (HasReadOnlyAttribute(path)) RaiseFileCreateError(path, EACCES);
    // Truncate only after the lock is ours, so that a file another opener
    // holds is never cut under it.
    const int fd = OpenNoWait(path, O_RDWR | O_CREAT, kNewFileMode);
    if (fd < 0) RaiseFileCreateError(path, errno);
    TFileIdentity identity;
    mode_t mode = 0;
    int err = Lock(fd, true);
    if (err == 0) err = CheckRegular(fd, identity, mode);
    if (err == 0 && ::ftruncate(fd, 0) != 0) err = errno;
    if (err != 0) {
        CloseQuietly(fd);
        RaiseFileCreateError(path, err);
    }
    return std::unique_ptr<TPlatformFileStream>(new TPlatformFileStream(TAdopt{}, fd, path));
}

TPlatformFileStream::~TPlatformFileStream() {
    CloseQuietly(FHandle);
}

bool TPlatformFileStream::Park() {
    return FHandle >= 0 && Lock(FHandle, LOCK_UN) == 0;
}

bool TPlatformFileStream::Resume(const std::string& path) {
    if (FHandle < 0) return false;
    // The path first: a file renamed over it, or deleted, leaves our
    // descriptor on a file the path no longer names.
    const TFileIdentity named = IdentityOf(path);
    if (named.Inode == 0 || named.Device != FOpened.Device || named.Inode != FOpened.Inode) {
        return false;
    }
    TFileIdentity identity;
    mode_t mode = 0;
    if (Lock(FHandle, FExclusive) != 0) return false;
    // A changed read-only attribute would have opened the file another way.
    if (CheckRegular(FHandle, identity, mode) != 0 ||
        ((mode & kAnyWriteBit) == 0) != FReadOnlyAttribute) {
        Lock(FHandle, LOCK_UN);
        return false;
    }
    FOpened = identity;
    FSize = identity.Size;
    FPosition = 0;
    FPath = path;
    return true;
}

int64_t TPlatformFileStream::FileSize() const {
    if (FSizeKnown) return FSize;
    struct stat st {};
    if (::fstat(FHandle, &st) != 0) return 0;
    return st.st_size;
}

int32_t TPlatformFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(FHandle, out + done, static_cast<size_t>(count - done),
                                  static_cast<off_t>(FPosition));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<int32_t>(n);
        FPosition += n;
    }
    return done;
}

int32_t TPlatformFileStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    if (!FWritable) RaiseWriteError(FPath, EBADF);
    const auto* in = static_cast<const uint8_t*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(FHandle, in + done, static_cast<size_t>(count - done),
                                   static_cast<off_t>(FPosition));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) RaiseWriteError(FPath, errno);
        if (n == 0) RaiseWriteError(FPath, ENOSPC);
        done += static_cast<int32_t>(n);
        FPosition += n;
        if (FPosition > FSize) FSize = FPosition;
    }
    return done;
}

int64_t TPlatformFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = 0;
    switch (origin) {
        case TSeekOrigin::Beginning:
            base = 0;
            break;
        case TSeekOrigin::Current:
            base = FPosition;
            break;
        case TSeekOrigin::End:
            base = FileSize();
            break;
    }
    const int64_t target = base + offset;
    if (target >= 0) FPosition = target;
    return FPosition;
}

void TPlatformFileStream::SetSize(int64_t size) {
    if (!FWritable) RaiseWriteError(FPath, EBADF);
    if (size < 0) size = 0;
    if (::ftruncate(FHandle, static_cast<off_t>(size)) != 0) RaiseWriteError(FPath, errno);
    FSize = size;
    if (FPosition > size) FPosition = size;
}

void TPlatformFileStream::Flush() {
    if (::fdatasync(FHandle) != 0) RaiseWriteError(FPath, errno);
}
