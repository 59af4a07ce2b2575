#pragma once
// The platform file stream under the disk variant of the engine's file
// stream: one open regular file, positioned reads and writes, size, flush.
//
// Sharing maps onto advisory locks held for as long as the stream is open:
//   exclusive opener   flock(LOCK_EX | LOCK_NB)  - admits no other opener
//   shared opener      flock(LOCK_SH | LOCK_NB)  - admits shared openers only
// A lock that is taken already makes the open fail at once (never waits).
// Locks belong to the open file description, so a second opener in this
// process is refused as well as one in another process.
//
// An exclusive stream keeps the file's size itself (taken once the lock is
// held, then moved by its own writes): no other cooperating opener can
// change it meanwhile. A shared stream asks the system every time.
//
// Between two operations a stream may be parked instead of closed: the lock
// goes (other openers are admitted exactly as after a close), the
// descriptor stays. Resuming is the open done again on that descriptor:
//
//   open --Park--> parked (no lock) --Resume--> open (locked, as if opened)
//                     |
//                     +--Resume refused / destruction--> closed
//
// Resume refuses unless the path still names the very file the descriptor
// holds (device and inode, by stat) and its read-only attribute is as it
// was; the caller then closes and opens afresh, which reports whatever an
// open would. Size and modification time are not judged here: they are
// taken after the lock as at any open, for the caller's own checks.

#include <cstdint>
#include <memory>
#include <string>

#include "algorithms/Stream.h"

// What tells one file apart from another at the same path, and a file from
// itself after someone else wrote to it.
struct TFileIdentity {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Size = 0;
    int64_t ModifiedNs = 0;
    bool operator==(const TFileIdentity&) const = default;
};

class TPlatformFileStream final : public TStream {
  public:
    // Opens an existing regular file; never creates one. Raises EFOpenError
    // with the path and the system's reason. A file with the read-only
    // attribute is opened for reading only, whatever ReadOnly says.
    TPlatformFileStream(const std::string& path, bool readOnly, bool exclusive);
    // Creates the file or truncates an existing one, opened exclusively for
    // reading and writing. Raises EFCreateError.
    static std::unique_ptr<TPlatformFileStream> Create(const std::string& path);
    ~TPlatformFileStream() override;
    TPlatformFileStream(const TPlatformFileStream&) = delete;
    TPlatformFileStream& operator=(const TPlatformFileStream&) = delete;

    // A short read (end of file, I/O error) returns what was read.
    int32_t Read(void* buffer, int32_t count) override;
    // Writes everything or raises EWriteError with the system's reason.
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    // Asks the system to put the file's data on stable storage (fdatasync);
    // raises EWriteError when it cannot.
    void Flush();
    const std::string& Path() const { return FPath; }
    // The system's descriptor of the open file.
    int Handle() const { return FHandle; }

    // True when the file carries no write permission bit at all, our
    // counterpart of a read-only file attribute. False for a missing file.
    static bool HasReadOnlyAttribute(const std::string& path);
    // The attribute as found when this stream opened the file.
    bool ReadOnlyAttribute() const { return FReadOnlyAttribute; }
    bool Writable() const { return FWritable; }
    // The open file as the system sees it now (fstat); all zero when that
    // fails.
    TFileIdentity Identity() const;
    // The same for the file at Path (stat); all zero when there is none.
    static TFileIdentity IdentityOf(const std::string& path);
    // The identity as taken right after the lock at the open or the last
    // Resume (no further call to the system).
    const TFileIdentity& OpenedIdentity() const { return FOpened; }

    // Gives up the lock and keeps the descriptor; false (the stream is then
    // of no further use but to be destroyed) when the lock cannot be given up.
    bool Park();
    // Takes the lock again as an open of Path would; false, and the stream
    // stays parked, when Path no longer names this file, its read-only
    // attribute changed or the lock is refused.
    bool Resume(const std::string& path);

  private:
    struct TAdopt {};
    TPlatformFileStream(TAdopt, int fd, std::string path);
    int64_t FileSize() const;

    int FHandle = -1;
    bool FExclusive = true;
    TFileIdentity FOpened;
    int64_t FPosition = 0;
    int64_t FSize = 0;
    std::string FPath;
    bool FSizeKnown = false;
    bool FReadOnlyAttribute = false;
    bool FWritable = false;
};
