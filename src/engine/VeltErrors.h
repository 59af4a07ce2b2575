#pragma once
// The engine's exception classes, its message texts and the platform file
// exceptions raised by the file layer.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Every engine error except file corruption.
class EVeltError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "Database file is corrupt"; deliberately not an EVeltError.
class EVeltFileCorrupt : public std::runtime_error {
  public:
    EVeltFileCorrupt();
};

// A file that cannot be opened or created: the path and the system's reason.
class EFOpenError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The file is locked by another opener (another process reading or writing
// it). Nothing was read or written; the same operation can be tried again
// once the other opener is done.
class EFileBusy : public EFOpenError {
  public:
    using EFOpenError::EFOpenError;
};

// The file at the database's path is no longer the one the open database
// knows: replaced (another device or inode), or changed by another writer
// (size or modification time differ from what this database left). Nothing
// was read or written; the database must be opened again.
class EFileChanged : public EFOpenError {
  public:
    using EFOpenError::EFOpenError;
};

class EFCreateError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A write that did not complete (disk full, file size limit, I/O error), or
// a flush to stable storage that failed.
class EWriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace velt_msg {
inline constexpr const char* kInvalidVeltFile = "Database file '%s' is a invalid VELT file";
inline constexpr const char* kVersionTooHigh = "Database file version is too High";
inline constexpr const char* kDatabaseOpen = "Cannot perform this operation on an open database";
inline constexpr const char* kDatabaseClosed = "Cannot perform this operation on a closed database";
inline constexpr const char* kTableClosed = "Cannot perform this operation on a closed table";
inline constexpr const char* kInvalidTableName = "Invalid table name '%s'";
inline constexpr const char* kInvalidIndexName = "Invalid index name '%s'";
inline constexpr const char* kTooManyTables = "Too many tables";
inline constexpr const char* kTooManyIndexes = "Too many indexes";
inline constexpr const char* kDuplicateTableName = "Duplicate table name '%s'";
inline constexpr const char* kDuplicateIndexName = "Duplicate index name '%s'";
inline constexpr const char* kDuplicateIndexField = "Duplicate index field offset '%d'";
inline constexpr const char* kInvalidIndexField = "Invalid index field offset '%d'";
inline constexpr const char* kFailCreateIndex = "Fail to create index";
inline constexpr const char* kTableNotFound = "Table '%s' not found";
inline constexpr const char* kRecordNotFound = "Record id '%d' not found";
inline constexpr const char* kRecordExists = "Record id '%d' already exists";
inline constexpr const char* kDatabaseNil = "Database is nil";
inline constexpr const char* kTableNil = "Table is nil";
inline constexpr const char* kFileCorrupt = "Database file is corrupt";
// Our own: appending, updating or deleting through a table opened without
// its indexes would leave the index chains short of the change.
inline constexpr const char* kTableWithoutIndexes =
    "Cannot modify a table that was opened without its indexes";
// Our own: an index needs one to eight key fields.
inline constexpr const char* kInvalidFieldCount = "Invalid index field count '%d'";
// Our own: no automatic record id is left above the largest one.
inline constexpr const char* kNoRecordIdLeft = "Record id '%d' is the largest possible";
// Our own: a count or offset past what a file of at most 2 GiB can hold.
inline constexpr const char* kFileTooLarge = "Database file would exceed 2 GiB";
}  // namespace velt_msg

// The platform's Format for the single-argument messages above: the first
// "%s" or "%d" is replaced by the argument.
std::string FormatMessage(std::string_view format, std::string_view argument);
std::string FormatMessage(std::string_view format, int32_t argument);

[[noreturn]] void RaiseEngineError(const std::string& message);
[[noreturn]] void RaiseEngineErrorFmt(std::string_view format, std::string_view argument);
[[noreturn]] void RaiseEngineErrorFmt(std::string_view format, int32_t argument);
[[noreturn]] void RaiseFileCorrupt();

// The system's text for an errno value; safe on any thread.
std::string SystemReason(int err);

// "<what> "<path>". <strerror(err)>" as EFOpenError / EWriteError.
[[noreturn]] void RaiseFileOpenError(const std::string& path, int err);
// "Database file '<path>' was changed by another program" as EFileChanged.
[[noreturn]] void RaiseFileChanged(const std::string& path);
[[noreturn]] void RaiseFileCreateError(const std::string& path, int err);
[[noreturn]] void RaiseWriteError(const std::string& path, int err);
