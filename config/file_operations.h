// The file operations of "config.json", one implementation per platform
// (file_operations_posix.cpp, file_operations_windows.cpp) over what both share
// (file_operations.cpp), and the replacement of the file and its backup built on them
// (replace_file.cpp). Several server processes share the file: every rewrite happens under an
// exclusive lock beside it and goes through a temporary file that is flushed and renamed over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace brimwarden::config {

/// The largest configuration file read: a larger one is refused before it is read.
inline constexpr std::uint64_t kMaxConfigBytes = std::uint64_t{64} * 1024 * 1024;

/// The whole content of a file, or why it could not be had.
struct FileText {
  // kCannotOpen also stands for anything that is not a regular file; kTooLarge for a file of more
  // than kMaxConfigBytes, of which nothing is read.
  enum class Status { kRead, kCannotOpen, kCannotRead, kTooLarge };
  Status status = Status::kCannotOpen;
  std::string text;
  std::string detail;       // the system's reason when status is kCannotOpen or kCannotRead
  std::uint64_t links = 1;  // the number of names (hard links) the file has
  // No write permission for anyone (on Windows, the read-only attribute): the admin froze it.
  bool read_only = false;
};

/// Reads the regular file at `path` (UTF-8, links followed) whole, never blocking on the open.
/// Other processes may rename over it meanwhile.
FileText ReadWholeFile(const std::string& path);

/// Tells whether `path` names a regular file (links followed) that can be opened for reading.
bool CanOpenForReading(const std::string& path);

/// Sets `target` to the path of the file that `path` finally names through symbolic links (and on
/// Windows junctions), or to `path` itself when it is no link. Returns the reason on failure.
std::optional<std::string> ResolveLinks(const std::string& path, std::string& target);

/// An exclusive lock held through a lock file that is never removed. The operating system drops
/// the lock when the holder closes the file or dies, so a killed server cannot leave it stuck.
class ConfigFileLock {
 public:
  ConfigFileLock() = default;
  ~ConfigFileLock();
  ConfigFileLock(const ConfigFileLock&) = delete;
  ConfigFileLock& operator=(const ConfigFileLock&) = delete;

  /// Takes the lock on `lock_path`, creating the file if needed, waiting at most 250 ms in all for
  /// another holder. The file is shared and permanent: it is opened without following a link and
  /// without exclusive creation, read-only where it cannot be written, and must be a regular file.
  /// On POSIX its owner makes it open to every account that may write `shared_with` (the file it
  /// guards). Returns the reason on failure.
  std::optional<std::string> Acquire(const std::string& lock_path, const std::string& shared_with);

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

/// Writes `contents` to `temp_path`, created afresh (never through a link), flushes it to the disk,
/// and gives it the owner, group and permissions (on Windows the security descriptor and
/// attributes) of the file at `like`. On failure the temporary file is removed and the reason
/// returned.
std::optional<std::string> WriteTemporaryFile(const std::string& temp_path,
                                              std::string_view contents, const std::string& like);

/// Renames `from` over `to` (on Windows retrying while another program holds `to` for a moment).
std::optional<std::string> RenameOver(const std::string& from, const std::string& to);

/// Renames `from` to `to` when it exists, setting `set_aside`; when `from` does not exist,
/// `set_aside` tells whether something is at `to` already, left there by an interrupted save.
std::optional<std::string> SetAside(const std::string& from, const std::string& to,
                                    bool& set_aside);

/// Removes the file at `path`, if any, never what a link there leads to.
void RemoveFile(const std::string& path);

/// Makes the renames done in the folder of `path` durable, where the system can.
void SyncDirectoryOf(const std::string& path);

/// Replaces the file at `path` with `contents`, and its backup `path`.bak with `previous` (what
/// the file held), each through a temporary file beside it written whole and flushed first. The
/// backup is replaced only when the file is: on any failure both hold what they held before, the
/// temporary files are removed, and the reason is returned. `path` holds its old or its new
/// content whatever happens, and the backup is one whole earlier version or, between two renames
/// of a killed save, set aside as `path`.bak.old.
std::optional<std::string> ReplaceFileKeepingBackup(const std::string& path,
                                                    std::string_view contents,
                                                    std::string_view previous);

/// What one attempt at taking a lock found.
enum class LockAttempt { kTaken, kHeldByAnother, kFailed };

/// Takes a lock through `attempt`, which sets its argument to the system's reason when it returns
/// kFailed. While another process holds the lock it tries again after pauses of 1 ms, doubling up
/// to 10 ms, for at most 250 ms in all. Returns the reason, which names `lock_path`, on failure.
std::optional<std::string> WaitForLock(const std::string& lock_path,
                                       const std::function<LockAttempt(std::string&)>& attempt);

/// Reads an open file of `size` bytes whole into `result`, as ReadWholeFile does, through `read`:
/// it fills at most the given number of bytes of a buffer and returns how many it read (0 at the
/// end), or std::nullopt with the system's reason in its last argument.
using ReadChunk = std::function<std::optional<std::size_t>(char*, std::size_t, std::string&)>;
void ReadOpenFile(std::uint64_t size, const ReadChunk& read, FileText& result);

}  // namespace brimwarden::config
