// Reading, parsing, locking and replacing "config.json". Several server instances share the file,
// so every rewrite happens under an exclusive lock beside it and goes through a temporary file
// that is flushed to the disk and then renamed over the original: a crash at any moment leaves
// either the old or the new file, never a truncated one.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "brimwarden/logging/logging.h"
#include "config_internal.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#endif

namespace brimwarden::config {
namespace {

using Json = nlohmann::json;

// A save waits this long for another server's save to finish before it gives up; saves take
// milliseconds, so only a hung process holds the lock this long.
constexpr std::chrono::seconds kLockTimeout{5};

// Builds the document from the parser's events, as the library's own builder does, but refuses
// to open more than kMaxConfigNesting objects and arrays: printing a document nested thousands of
// levels deep would overflow the stack and inflate it to gigabytes.
class NestingCappedBuilder {
 public:
  explicit NestingCappedBuilder(Json& root) : root_(root) {}

  bool null() { return Put(nullptr) != nullptr; }
  bool boolean(bool value) { return Put(value) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return Put(value) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return Put(value) != nullptr; }
  bool number_float(Json::number_float_t value, const Json::string_t& /*text*/) {
    return Put(value) != nullptr;
  }
  bool string(Json::string_t& value) { return Put(std::move(value)) != nullptr; }
  bool binary(Json::binary_t& value) { return Put(Json::binary(std::move(value))) != nullptr; }
  bool start_object(std::size_t /*size*/) { return Open(Json::object()); }
  bool key(Json::string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t /*size*/) { return Open(Json::array()); }
  bool end_array() { return Close(); }
  template <typename Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const Exception& error) {
    throw error;
  }

  bool TooDeep() const { return too_deep_; }

 private:
  // Places a value where the parser is: the root, the next element of the open array, or the
  // member named by the last key of the open object (a repeated name keeps the last value).
  Json* Put(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    Json& member = parent[key_];
    member = std::move(value);
    return &member;
  }

  bool Open(Json container) {
    if (open_.size() >= kMaxConfigNesting) {
      too_deep_ = true;
      return false;
    }
    open_.push_back(Put(std::move(container)));
    return true;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  Json& root_;
  // Only the innermost open container ever grows, so these pointers stay valid.
  std::vector<Json*> open_;
  Json::string_t key_;
  bool too_deep_ = false;
};

#if defined(_WIN32)

// Paths arrive as UTF-8; a directory name that is not valid UTF-8 is taken in the system's code
// page instead, as the framework's narrow strings may be.
std::wstring WidePath(const std::string& path) {
  if (path.empty()) return {};
  const int length = static_cast<int>(path.size());
  UINT code_page = CP_UTF8;
  int wide_length =
      MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, path.data(), length, nullptr, 0);
  if (wide_length <= 0) {
    code_page = CP_ACP;
    wide_length = MultiByteToWideChar(code_page, 0, path.data(), length, nullptr, 0);
  }
  std::wstring wide(static_cast<std::size_t>(wide_length > 0 ? wide_length : 0), L'\0');
  if (wide_length > 0) {
    MultiByteToWideChar(code_page, 0, path.data(), length, wide.data(), wide_length);
  }
  return wide;
}

std::string SystemError(DWORD code) { return fmt::format("system error {}", code); }

// Shared with every kind of access, so a reader never stops another server from renaming a new
// file over this one.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

#else

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

#endif

}  // namespace

void LogLine(spdlog::level::level_enum level, std::string_view text) noexcept {
  try {
    if (const auto& logger = PluginLogger()) logger->log(level, text);
  } catch (...) {  // a failing sink must not turn a load into a crash
  }
}

std::string Fail(std::string reason) noexcept {
  LogLine(spdlog::level::err, reason);
  return reason;
}

Json ParseConfigText(const std::string& text) {
  Json document;
  NestingCappedBuilder builder(document);
  if (!Json::sax_parse(text, &builder, Json::input_format_t::json, /*strict=*/false) &&
      builder.TooDeep()) {
    throw std::runtime_error(
        fmt::format("Config file is nested deeper than {} levels", kMaxConfigNesting));
  }
  return document;
}

#if defined(_WIN32)

FileText ReadWholeFile(const std::string& path) {
  FileText result;
  HandleCloser file{CreateFileW(WidePath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    result.detail = SystemError(GetLastError());
    return result;
  }
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.handle, buffer, sizeof buffer, &read, nullptr)) {
      result.status = FileText::Status::kCannotRead;
      result.detail = SystemError(GetLastError());
      return result;
    }
    if (read == 0) break;
    result.text.append(buffer, read);
  }
  result.status = FileText::Status::kRead;
  return result;
}

bool CanOpenForReading(const std::string& path) {
  const HandleCloser file{CreateFileW(WidePath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  return file.handle != INVALID_HANDLE_VALUE;
}

ConfigFileLock::~ConfigFileLock() {
  if (handle_ == nullptr) return;
  OVERLAPPED whole{};
  UnlockFileEx(handle_, 0, 1, 0, &whole);
  CloseHandle(handle_);
}

std::optional<std::string> ConfigFileLock::Acquire(const std::string& lock_path) {
  const HANDLE file = CreateFileW(WidePath(lock_path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return fmt::format("Failed to open lock file {}: {}", lock_path, SystemError(GetLastError()));
  }
  const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    OVERLAPPED first_byte{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &first_byte)) {
      handle_ = file;
      return std::nullopt;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      CloseHandle(file);
      return fmt::format("Failed to lock {}: {}", lock_path, SystemError(error));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      CloseHandle(file);
      return fmt::format("Failed to lock {}: another process held it for {} seconds", lock_path,
                         kLockTimeout.count());
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
}

std::optional<std::string> ReplaceFileAtomically(const std::string& path,
                                                 const std::string& temp_path,
                                                 std::string_view contents) {
  const std::wstring wide_temp = WidePath(temp_path);
  const std::wstring wide_path = WidePath(path);
  auto failed = [&](std::string reason) -> std::optional<std::string> {
    DeleteFileW(wide_temp.c_str());
    return reason;
  };
  {
    HandleCloser file{CreateFileW(wide_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.handle == INVALID_HANDLE_VALUE) {
      return failed(fmt::format("Failed to create {}: {}", temp_path, SystemError(GetLastError())));
    }
    while (!contents.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(contents.size(), 1U << 30));
      DWORD written = 0;
      if (!WriteFile(file.handle, contents.data(), chunk, &written, nullptr) || written == 0) {
        return failed(
            fmt::format("Failed to write {}: {}", temp_path, SystemError(GetLastError())));
      }
      contents.remove_prefix(written);
    }
    if (!FlushFileBuffers(file.handle)) {
      return failed(fmt::format("Failed to flush {}: {}", temp_path, SystemError(GetLastError())));
    }
    const HANDLE handle = std::exchange(file.handle, INVALID_HANDLE_VALUE);
    if (!CloseHandle(handle)) {
      return failed(fmt::format("Failed to close {}: {}", temp_path, SystemError(GetLastError())));
    }
  }
  // Another program holding config.json open without delete sharing (an editor, a virus scanner)
  // makes the rename fail for a moment: try again after short pauses.
  constexpr int kRetryPausesMs[] = {0, 1, 10, 20, 40};
  DWORD error = ERROR_SUCCESS;
  for (const int pause_ms : kRetryPausesMs) {
    if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    if (MoveFileExW(wide_temp.c_str(), wide_path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return std::nullopt;
    }
    error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION) {
      break;
    }
  }
  return failed(fmt::format("Failed to replace {}: {}", path, SystemError(error)));
}

#else

FileText ReadWholeFile(const std::string& path) {
  FileText result;
  const FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    result.detail = SystemError(errno);
    return result;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t read_bytes = read(file.fd, buffer, sizeof buffer);
    if (read_bytes < 0) {
      if (errno == EINTR) continue;
      result.status = FileText::Status::kCannotRead;
      result.detail = SystemError(errno);
      return result;
    }
    if (read_bytes == 0) break;
    result.text.append(buffer, static_cast<std::size_t>(read_bytes));
  }
  result.status = FileText::Status::kRead;
  return result;
}

bool CanOpenForReading(const std::string& path) {
  const FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  return file.fd >= 0;
}

ConfigFileLock::~ConfigFileLock() {
  if (fd_ >= 0) close(fd_);  // closing the file releases the lock
}

std::optional<std::string> ConfigFileLock::Acquire(const std::string& lock_path) {
  const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    return fmt::format("Failed to open lock file {}: {}", lock_path, SystemError(errno));
  }
  const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      fd_ = fd;
      return std::nullopt;
    }
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) {
      close(fd);
      return fmt::format("Failed to lock {}: {}", lock_path, SystemError(error));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      return fmt::format("Failed to lock {}: another process held it for {} seconds", lock_path,
                         kLockTimeout.count());
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
}

std::optional<std::string> ReplaceFileAtomically(const std::string& path,
                                                 const std::string& temp_path,
                                                 std::string_view contents) {
  auto failed = [&](std::string reason) -> std::optional<std::string> {
    unlink(temp_path.c_str());
    return reason;
  };
  // The new file keeps the permissions of the one it replaces.
  struct stat original {};
  const mode_t mode = stat(path.c_str(), &original) == 0 ? (original.st_mode & 07777) : 0644;
  {
    FdCloser file{open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (file.fd < 0) {
      return failed(fmt::format("Failed to create {}: {}", temp_path, SystemError(errno)));
    }
    if (fchmod(file.fd, mode) != 0 || !WriteAll(file.fd, contents)) {
      return failed(fmt::format("Failed to write {}: {}", temp_path, SystemError(errno)));
    }
    if (fsync(file.fd) != 0) {
      return failed(fmt::format("Failed to flush {}: {}", temp_path, SystemError(errno)));
    }
    if (close(std::exchange(file.fd, -1)) != 0) {
      return failed(fmt::format("Failed to close {}: {}", temp_path, SystemError(errno)));
    }
  }
  if (rename(temp_path.c_str(), path.c_str()) != 0) {
    return failed(fmt::format("Failed to replace {}: {}", path, SystemError(errno)));
  }
  // Make the rename itself durable. The file has been replaced at this point whatever happens,
  // and some file systems cannot sync a directory, so a failure here is not reported.
  const FdCloser directory{open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (directory.fd >= 0) fsync(directory.fd);
  return std::nullopt;
}

#endif

}  // namespace brimwarden::config
