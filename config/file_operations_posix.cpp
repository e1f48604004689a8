// The file operations of "config.json" on POSIX systems: reading it, resolving links, the lock
// file (flock), writing a temporary file with the old file's owner, group and mode, the renames and
// the sync of the folder.
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "file_operations.h"

namespace brimwarden::config {
namespace {

std::string SystemError(int code) { return std::strerror(code); }

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Opens the file at `path` for reading, following links, and fills `information`; anything but a
// regular file is refused (-1), with the reason in `detail`. The open never blocks: a FIFO would
// wait for a writer, and a device such as /dev/zero would never end.
int OpenRegularFile(const std::string& path, struct stat& information, std::string& detail) {
  FdCloser file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) {
    detail = SystemError(errno);
    return -1;
  }
  if (fstat(file.fd, &information) != 0) {
    detail = SystemError(errno);
    return -1;
  }
  if (!S_ISREG(information.st_mode)) {
    detail = "not a regular file";
    return -1;
  }
  return std::exchange(file.fd, -1);
}

// Lets every account that may write `shared_with` open the lock file beside it: whoever owns the
// lock file (or root) gives it the group of that file and read and write permission wherever that
// file grants write, whatever umask created it. Best effort: another account cannot change it.
void ShareLockFile(int fd, const struct stat& lock, const std::string& shared_with) {
  struct stat shared {};
  if (stat(shared_with.c_str(), &shared) != 0) return;
  if (lock.st_uid != geteuid() && geteuid() != 0) return;
  // A failure leaves the lock file as it is: the save goes on, and the lock still works for
  // every account that can read the file.
  if (lock.st_gid != shared.st_gid && (shared.st_mode & S_IWGRP) != 0 &&
      fchown(fd, static_cast<uid_t>(-1), shared.st_gid) != 0) {
    return;  // not in that group: opening the file to the group would open it to another
  }
  // Read and write as the file has them, and read wherever it grants write.
  const mode_t mode = (shared.st_mode & 0666) | ((shared.st_mode & 0222) << 1);
  if ((lock.st_mode & 07777) != mode) fchmod(fd, mode);
}

// Gives the new file the owner and group of the old one where this process may. A server that
// does not own the file usually cannot give the new one its owner, but can keep its group when it
// belongs to it; when it cannot and the group had access, the save would take that access away.
std::optional<std::string> KeepOwnerAndGroup(int fd, const struct stat& original,
                                             const std::string& temp_path) {
  if (fchown(fd, original.st_uid, original.st_gid) == 0) return std::nullopt;
  if (fchown(fd, static_cast<uid_t>(-1), original.st_gid) == 0) return std::nullopt;
  const int error = errno;
  if ((original.st_mode & S_IRWXG) == 0) return std::nullopt;
  return fmt::format(
      "Failed to give {} the group {} of the file it replaces, which would lose its access: {}",
      temp_path, original.st_gid, SystemError(error));
}

}  // namespace

FileText ReadWholeFile(const std::string& path) {
  FileText result;
  struct stat information {};
  const FdCloser file{OpenRegularFile(path, information, result.detail)};
  if (file.fd < 0) return result;
  result.links = information.st_nlink;
  // The mode alone decides, so a server running as root respects it too.
  result.read_only = (information.st_mode & 0222) == 0;
  ReadOpenFile(
      static_cast<std::uint64_t>(information.st_size),
      [&](char* buffer, std::size_t capacity, std::string& detail) -> std::optional<std::size_t> {
        for (;;) {
          const ssize_t read_bytes = read(file.fd, buffer, capacity);
          if (read_bytes >= 0) return static_cast<std::size_t>(read_bytes);
          if (errno != EINTR) {
            detail = SystemError(errno);
            return std::nullopt;
          }
        }
      },
      result);
  return result;
}

bool CanOpenForReading(const std::string& path) {
  struct stat information {};
  std::string detail;
  const FdCloser file{OpenRegularFile(path, information, detail)};
  return file.fd >= 0;
}

std::optional<std::string> ResolveLinks(const std::string& path, std::string& target) {
  struct stat information {};
  if (lstat(path.c_str(), &information) != 0) {
    return fmt::format("Failed to open {}: {}", path, SystemError(errno));
  }
  if (!S_ISLNK(information.st_mode)) {
    target = path;
    return std::nullopt;
  }
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (!resolved) {
    return fmt::format("Failed to resolve the links of {}: {}", path, SystemError(errno));
  }
  target = resolved.get();
  return std::nullopt;
}

ConfigFileLock::~ConfigFileLock() {
  if (fd_ >= 0) close(fd_);  // closing the file releases the lock
}

std::optional<std::string> ConfigFileLock::Acquire(const std::string& lock_path,
                                                   const std::string& shared_with) {
  // Never created exclusively nor removed: another server may hold it at this moment. flock needs
  // only read access, so an account that may not write the lock file still takes it.
  FdCloser file{
      open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666)};
  if (file.fd < 0 && errno == EACCES) {
    file.fd = open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (file.fd < 0) {
    const int error = errno;
    return fmt::format("Failed to open lock file {}: {}", lock_path,
                       error == ELOOP ? std::string("it is a symbolic link") : SystemError(error));
  }
  struct stat information {};
  if (fstat(file.fd, &information) != 0 || !S_ISREG(information.st_mode)) {
    return fmt::format("Failed to open lock file {}: not a regular file", lock_path);
  }
  ShareLockFile(file.fd, information, shared_with);
  auto failure = WaitForLock(lock_path, [&](std::string& reason) {
    int error = 0;
    do {
      if (flock(file.fd, LOCK_EX | LOCK_NB) == 0) return LockAttempt::kTaken;
      error = errno;
    } while (error == EINTR);
    if (error == EWOULDBLOCK) return LockAttempt::kHeldByAnother;
    reason = SystemError(error);
    return LockAttempt::kFailed;
  });
  if (!failure) fd_ = std::exchange(file.fd, -1);
  return failure;
}

std::optional<std::string> WriteTemporaryFile(const std::string& temp_path,
                                              std::string_view contents, const std::string& like) {
  struct stat original {};
  if (stat(like.c_str(), &original) != 0) {
    return fmt::format("Failed to read the owner and permissions of {}: {}", like,
                       SystemError(errno));
  }
  // A leftover of a killed save, or anything planted under the name, is removed, never reused; the
  // create below neither follows a link nor opens what is there.
  unlink(temp_path.c_str());
  FdCloser file{
      open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (file.fd < 0) {
    return fmt::format("Failed to create {}: {}", temp_path, SystemError(errno));
  }
  auto failed = [&](std::string reason) -> std::optional<std::string> {
    unlink(temp_path.c_str());
    return reason;
  };
  if (auto failure = KeepOwnerAndGroup(file.fd, original, temp_path)) {
    return failed(std::move(*failure));
  }
  // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
  if (fchmod(file.fd, original.st_mode & 07777) != 0 || !WriteAll(file.fd, contents)) {
    return failed(fmt::format("Failed to write {}: {}", temp_path, SystemError(errno)));
  }
  if (fsync(file.fd) != 0) {
    return failed(fmt::format("Failed to flush {}: {}", temp_path, SystemError(errno)));
  }
  if (close(std::exchange(file.fd, -1)) != 0) {
    return failed(fmt::format("Failed to close {}: {}", temp_path, SystemError(errno)));
  }
  return std::nullopt;
}

std::optional<std::string> RenameOver(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    return fmt::format("Failed to replace {}: {}", to, SystemError(errno));
  }
  return std::nullopt;
}

std::optional<std::string> SetAside(const std::string& from, const std::string& to,
                                    bool& set_aside) {
  set_aside = false;
  if (rename(from.c_str(), to.c_str()) == 0) {
    set_aside = true;
    return std::nullopt;
  }
  const int error = errno;
  if (error != ENOENT) return fmt::format("Failed to replace {}: {}", to, SystemError(error));
  // What a save killed between its renames left aside is the backup before it.
  struct stat information {};
  set_aside = lstat(to.c_str(), &information) == 0;
  return std::nullopt;
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

void SyncDirectoryOf(const std::string& path) {
  // Some file systems cannot sync a directory; the renames are done whatever happens here.
  const FdCloser directory{open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd >= 0) fsync(directory.fd);
}

}  // namespace brimwarden::config

#endif  // !defined(_WIN32)
