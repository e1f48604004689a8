// The file operations of "config.json" on Windows: reading it, resolving links, the lock file,
// writing a temporary file with the old file's security and attributes, and the renames. Under
// Wine a Unix symbolic link looks like a plain file, so every step that must not follow a link
// compares the final path the system gives with the name it opened.
#if defined(_WIN32)

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "file_operations.h"

namespace brimwarden::config {
namespace {

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

std::string NarrowPath(const std::wstring& path) {
  if (path.empty()) return {};
  const int wide_length = static_cast<int>(path.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_length, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, path.data(), wide_length, narrow.data(), length, nullptr,
                        nullptr);
  }
  return narrow;
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

// The path the system gives for an open file or folder, every link and junction resolved.
std::optional<std::wstring> FinalPath(HANDLE handle) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(length + 1, L'\0');
  }
  return std::nullopt;
}

// The attributes a save carries over to the new file. Read-only is not among them: a read-only
// file cannot be replaced at all, and a read-only leftover could not be removed.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Gives the file at `path` the owner, group and access list of the file at `like`, each where
// this process may set it; the access list is required.
std::optional<std::string> CopySecurity(const std::wstring& like, const std::wstring& path,
                                        const std::string& path_text) {
  constexpr SECURITY_INFORMATION kAll =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  GetFileSecurityW(like.c_str(), kAll, nullptr, 0, &needed);
  if (needed == 0) {
    return fmt::format("Failed to read the security descriptor for {}: {}", path_text,
                       SystemError(GetLastError()));
  }
  std::vector<unsigned char> descriptor(needed);
  if (!GetFileSecurityW(like.c_str(), kAll, descriptor.data(), needed, &needed)) {
    return fmt::format("Failed to read the security descriptor for {}: {}", path_text,
                       SystemError(GetLastError()));
  }
  // Setting another account as the owner takes a privilege a server rarely has.
  const SECURITY_INFORMATION attempts[] = {
      kAll, GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION};
  for (const SECURITY_INFORMATION parts : attempts) {
    if (SetFileSecurityW(path.c_str(), parts, descriptor.data())) return std::nullopt;
  }
  return fmt::format("Failed to give {} the security descriptor of the file it replaces: {}",
                     path_text, SystemError(GetLastError()));
}

// Tells whether the file open as `handle` under `path` is reached through a link: its final path
// is not its folder's final path followed by its own name. Under Wine a Unix symbolic link shows
// no reparse point, and this is the only sign of one. Sets `final_path` to the file's final path
// (empty when the system cannot give it, which counts as a link).
bool ReachedThroughLink(HANDLE handle, const std::wstring& path, std::wstring* final_path) {
  const std::optional<std::wstring> resolved = FinalPath(handle);
  if (final_path != nullptr) final_path->clear();
  if (!resolved) return true;
  if (final_path != nullptr) *final_path = *resolved;
  const std::size_t slash = path.find_last_of(L"/\\");
  const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
  const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const HandleCloser directory{CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (directory.handle == INVALID_HANDLE_VALUE) return true;
  std::optional<std::wstring> expected = FinalPath(directory.handle);
  if (!expected) return true;
  if (expected->empty() || expected->back() != L'\\') expected->push_back(L'\\');
  *expected += name;
  return CompareStringOrdinal(expected->data(), static_cast<int>(expected->size()),
                              resolved->data(), static_cast<int>(resolved->size()),
                              TRUE) != CSTR_EQUAL;
}

// What stands at a name, seen without following a link there: its attributes, and whether it is a
// Unix link that Wine shows as a plain file (reached through it, the name leads elsewhere).
struct EntryAtName {
  DWORD attributes = 0;
  bool linked_elsewhere = false;
};

// Looks at the entry at `path` without following it. Returns the system's error code when it
// cannot be opened or inspected, else ERROR_SUCCESS.
DWORD InspectEntry(const std::wstring& path, EntryAtName& entry_at_name) {
  const HandleCloser entry{
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (entry.handle == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(entry.handle, &information)) return GetLastError();
  entry_at_name.attributes = information.dwFileAttributes;
  entry_at_name.linked_elsewhere =
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      ReachedThroughLink(entry.handle, path, nullptr);
  return ERROR_SUCCESS;
}

// Removes what a killed save left under a temporary name, or what someone put there, without ever
// touching what it links to. Windows removes a symbolic link itself; Wine would remove the file a
// Unix link leads to, so such a link is left for a person to remove and the save fails.
std::optional<std::string> RemoveStaleEntry(const std::wstring& path, const std::string& text) {
  EntryAtName entry;
  if (InspectEntry(path, entry) != ERROR_SUCCESS) {
    return fmt::format("Failed to create {}: something that cannot be opened is in its place",
                       text);
  }
  const DWORD attributes = entry.attributes;
  if (entry.linked_elsewhere) {
    return fmt::format("Failed to create {}: a link to another file is in its place; remove it",
                       text);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    RemoveDirectoryW(path.c_str());  // a directory link or junction: the link alone goes
  } else {
    DeleteFileW(path.c_str());  // a directory stays, and the create reports it
  }
  return std::nullopt;
}

// Opens the file at `path` for reading, following links, and fills `information`; anything but a
// regular file on a disk is refused (INVALID_HANDLE_VALUE), with the reason in `detail`.
HANDLE OpenRegularFile(const std::string& path, BY_HANDLE_FILE_INFORMATION& information,
                       std::string& detail) {
  HandleCloser file{CreateFileW(WidePath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    detail = SystemError(GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  if (GetFileType(file.handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.handle, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    detail = "not a regular file";
    return INVALID_HANDLE_VALUE;
  }
  return std::exchange(file.handle, INVALID_HANDLE_VALUE);
}

}  // namespace

FileText ReadWholeFile(const std::string& path) {
  FileText result;
  BY_HANDLE_FILE_INFORMATION information{};
  const HandleCloser file{OpenRegularFile(path, information, result.detail)};
  if (file.handle == INVALID_HANDLE_VALUE) return result;
  result.links = information.nNumberOfLinks;
  result.read_only = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  const std::uint64_t size =
      (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  ReadOpenFile(
      size,
      [&](char* buffer, std::size_t capacity, std::string& detail) -> std::optional<std::size_t> {
        DWORD read = 0;
        if (!ReadFile(file.handle, buffer, static_cast<DWORD>(capacity), &read, nullptr)) {
          detail = SystemError(GetLastError());
          return std::nullopt;
        }
        return read;
      },
      result);
  return result;
}

bool CanOpenForReading(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION information{};
  std::string detail;
  const HandleCloser file{OpenRegularFile(path, information, detail)};
  return file.handle != INVALID_HANDLE_VALUE;
}

std::optional<std::string> ResolveLinks(const std::string& path, std::string& target) {
  const std::wstring wide = WidePath(path);
  const HandleCloser file{CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) {
    return fmt::format("Failed to open {}: {}", path, SystemError(GetLastError()));
  }
  std::wstring final_path;
  if (!ReachedThroughLink(file.handle, wide, &final_path)) {
    target = path;
    return std::nullopt;
  }
  if (final_path.empty()) {
    return fmt::format("Failed to resolve the links of {}: {}", path, SystemError(GetLastError()));
  }
  target = NarrowPath(final_path);
  return std::nullopt;
}

ConfigFileLock::~ConfigFileLock() {
  if (handle_ == nullptr) return;
  OVERLAPPED whole{};
  UnlockFileEx(handle_, 0, 1, 0, &whole);
  CloseHandle(handle_);
}

std::optional<std::string> ConfigFileLock::Acquire(const std::string& lock_path,
                                                   const std::string& /*shared_with*/) {
  // Never created exclusively nor removed: another server may hold it at this moment. The lock
  // needs only read access, so an account that may not write the lock file still takes it.
  const std::wstring wide_lock = WidePath(lock_path);
  HandleCloser file{CreateFileW(wide_lock.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file.handle = CreateFileW(wide_lock.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  if (file.handle == INVALID_HANDLE_VALUE) {
    return fmt::format("Failed to open lock file {}: {}", lock_path, SystemError(GetLastError()));
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file.handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.handle, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          0) {
    return fmt::format("Failed to open lock file {}: not a regular file", lock_path);
  }
  if (ReachedThroughLink(file.handle, wide_lock, nullptr)) {  // a Unix link seen through Wine
    return fmt::format("Failed to open lock file {}: it is a symbolic link", lock_path);
  }
  auto failure = WaitForLock(lock_path, [&](std::string& reason) {
    OVERLAPPED first_byte{};
    if (LockFileEx(file.handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &first_byte)) {
      return LockAttempt::kTaken;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
      return LockAttempt::kHeldByAnother;
    }
    reason = SystemError(error);
    return LockAttempt::kFailed;
  });
  if (!failure) handle_ = std::exchange(file.handle, INVALID_HANDLE_VALUE);
  return failure;
}

std::optional<std::string> WriteTemporaryFile(const std::string& temp_path,
                                              std::string_view contents, const std::string& like) {
  const std::wstring wide_temp = WidePath(temp_path);
  const std::wstring wide_like = WidePath(like);
  const DWORD like_attributes = GetFileAttributesW(wide_like.c_str());
  if (like_attributes == INVALID_FILE_ATTRIBUTES) {
    return fmt::format("Failed to read the attributes of {}: {}", like,
                       SystemError(GetLastError()));
  }
  auto failed = [&](std::string reason) -> std::optional<std::string> {
    DeleteFileW(wide_temp.c_str());
    return reason;
  };
  {
    // The create neither follows a link nor opens what is there. A leftover of a killed save, or
    // anything planted under the name, is removed first, never reused.
    auto create = [&] {
      return CreateFileW(wide_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HandleCloser file{create()};
    if (file.handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
      if (auto failure = RemoveStaleEntry(wide_temp, temp_path)) return failure;
      file.handle = create();
    }
    if (file.handle == INVALID_HANDLE_VALUE) {
      return fmt::format("Failed to create {}: {}", temp_path, SystemError(GetLastError()));
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
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = like_attributes & kKeptAttributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(file.handle, FileBasicInfo, &basic, sizeof basic)) {
      return failed(fmt::format("Failed to set the attributes of {}: {}", temp_path,
                                SystemError(GetLastError())));
    }
    const HANDLE handle = std::exchange(file.handle, INVALID_HANDLE_VALUE);
    if (!CloseHandle(handle)) {
      return failed(fmt::format("Failed to close {}: {}", temp_path, SystemError(GetLastError())));
    }
  }
  if (auto failure = CopySecurity(wide_like, wide_temp, temp_path)) {
    return failed(std::move(*failure));
  }
  return std::nullopt;
}

std::optional<std::string> RenameOver(const std::string& from, const std::string& to) {
  const std::wstring wide_from = WidePath(from);
  const std::wstring wide_to = WidePath(to);
  // Another program holding the target open without delete sharing (an editor, a virus scanner)
  // makes the rename fail for a moment: try again after short pauses.
  constexpr int kRetryPausesMs[] = {0, 1, 10, 20, 40};
  DWORD error = ERROR_SUCCESS;
  for (const int pause_ms : kRetryPausesMs) {
    if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    if (MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return std::nullopt;
    }
    error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION) {
      break;
    }
  }
  return fmt::format("Failed to replace {}: {}", to, SystemError(error));
}

std::optional<std::string> SetAside(const std::string& from, const std::string& to,
                                    bool& set_aside) {
  set_aside = false;
  const std::wstring wide_from = WidePath(from);
  const std::wstring wide_to = WidePath(to);
  EntryAtName entry;
  if (const DWORD error = InspectEntry(wide_from, entry); error != ERROR_SUCCESS) {
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return fmt::format("Failed to open {}: {}", from, SystemError(error));
    }
    // What a save killed between its renames left aside is the backup before it.
    set_aside = GetFileAttributesW(wide_to.c_str()) != INVALID_FILE_ATTRIBUTES;
    return std::nullopt;
  }
  // Wine would move the file a Unix link leads to: such a link is no backup to keep, and the
  // new backup simply replaces it.
  if (entry.linked_elsewhere) return std::nullopt;
  if (auto failure = RenameOver(from, to)) return failure;
  set_aside = true;
  return std::nullopt;
}

void RemoveFile(const std::string& path) {
  // Never through a link Wine would follow: RemoveStaleEntry leaves such a link alone.
  RemoveStaleEntry(WidePath(path), path);
}

void SyncDirectoryOf(const std::string& /*path*/) {
  // MOVEFILE_WRITE_THROUGH has made each rename durable.
}

}  // namespace brimwarden::config

#endif  // defined(_WIN32)
