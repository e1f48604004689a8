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
#include <cstdlib>
#include <cstring>
#include <memory>
#endif

namespace brimwarden::config {
namespace {

using Json = nlohmann::json;

// A save waits this long in all for another server's save to finish before it gives up. A save
// holds the lock for milliseconds, and the game thread waits meanwhile: a longer wait would freeze
// the game for every confirm while a hung process held the lock.
constexpr std::chrono::milliseconds kLockTimeout{250};

// Tells whether a number the library read as a double does not hold what the file writes, so that
// printing it back would change it: an integer beyond the 64-bit ranges (the library falls back to
// a double, losing digits), or a number that is not zero but became zero (below the smallest
// double). Other doubles keep their value, whatever their spelling.
bool ChangesWhenRead(double value, std::string_view text) {
  const std::size_t digits_from = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.find_first_not_of("0123456789", digits_from) == std::string_view::npos) return true;
  if (value != 0.0) return false;
  const std::string_view mantissa = text.substr(0, text.find_first_of("eE"));
  return mantissa.find_first_of("123456789") != std::string_view::npos;
}

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
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    if (!changed_number_ && ChangesWhenRead(value, text)) {
      changed_number_ = ParsedConfig::ChangedNumber{text, Json(value).dump()};
    }
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
  std::optional<std::string> TakeDuplicateMember() { return std::move(duplicate_member_); }
  std::optional<ParsedConfig::ChangedNumber> TakeChangedNumber() {
    return std::move(changed_number_);
  }

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
    if (!duplicate_member_ && parent.contains(key_)) duplicate_member_ = key_;
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
  std::optional<std::string> duplicate_member_;
  std::optional<ParsedConfig::ChangedNumber> changed_number_;
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

ParsedConfig ParseConfigText(const std::string& text) {
  ParsedConfig parsed;
  NestingCappedBuilder builder(parsed.document);
  if (!Json::sax_parse(text, &builder, Json::input_format_t::json, /*strict=*/false) &&
      builder.TooDeep()) {
    throw std::runtime_error(
        fmt::format("Config file is nested deeper than {} levels", kMaxConfigNesting));
  }
  parsed.duplicate_member = builder.TakeDuplicateMember();
  parsed.changed_number = builder.TakeChangedNumber();
  return parsed;
}

namespace {

bool IsJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t SkipDigits(std::string_view text, std::size_t i) {
  while (i < text.size() && IsDigit(text[i])) ++i;
  return i;
}

// The end of the number that starts at `i`, as the library's lexer reads it: "01" is the number 0
// followed by 1, "1e5e" the number 1e5 followed by e.
std::size_t EndOfNumber(std::string_view text, std::size_t i) {
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else {
    i = SkipDigits(text, i);
  }
  if (i + 1 < text.size() && text[i] == '.' && IsDigit(text[i + 1])) i = SkipDigits(text, i + 1);
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t exponent = i + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    if (exponent < text.size() && IsDigit(text[exponent])) i = SkipDigits(text, exponent);
  }
  return i;
}

// The end of the first JSON value of a text the parser accepted: only its top level needs exact
// token ends, inside a container the separators bound every token.
std::size_t EndOfFirstValue(std::string_view text) {
  std::size_t i = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;  // the byte order mark
  while (i < text.size() && IsJsonWhitespace(text[i])) ++i;
  std::size_t depth = 0;
  do {
    if (i >= text.size()) break;
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
    } else if (c == '{' || c == '[') {
      ++depth;
      ++i;
    } else if (c == '}' || c == ']') {
      --depth;
      ++i;
    } else if (c == 't' || c == 'n') {
      i += 4;  // true, null
    } else if (c == 'f') {
      i += 5;  // false
    } else if (c == '-' || IsDigit(c)) {
      i = EndOfNumber(text, i);
    } else {
      ++i;  // whitespace, commas and colons inside a container
    }
  } while (depth > 0);
  return std::min(i, text.size());
}

}  // namespace

std::optional<TextPosition> FindTextAfterFirstValue(std::string_view text) {
  std::size_t i = EndOfFirstValue(text);
  while (i < text.size() && IsJsonWhitespace(text[i])) ++i;
  if (i >= text.size()) return std::nullopt;
  const std::string_view before = text.substr(0, i);
  TextPosition position;
  position.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start = before.rfind('\n');
  position.column = i - (line_start == std::string_view::npos ? 0 : line_start + 1) + 1;
  return position;
}

#if defined(_WIN32)

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

FileText ReadWholeFile(const std::string& path) {
  FileText result;
  BY_HANDLE_FILE_INFORMATION information{};
  const HandleCloser file{OpenRegularFile(path, information, result.detail)};
  if (file.handle == INVALID_HANDLE_VALUE) return result;
  result.links = information.nNumberOfLinks;
  result.read_only = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  const std::uint64_t size =
      (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  if (size > kMaxConfigBytes) {
    result.status = FileText::Status::kTooLarge;
    return result;
  }
  result.text.reserve(static_cast<std::size_t>(size));
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
    if (result.text.size() > kMaxConfigBytes) {  // it grew while being read
      result.text.clear();
      result.status = FileText::Status::kTooLarge;
      return result;
    }
  }
  result.status = FileText::Status::kRead;
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
  HANDLE file =
      CreateFileW(wide_lock.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = CreateFileW(wide_lock.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  if (file == INVALID_HANDLE_VALUE) {
    return fmt::format("Failed to open lock file {}: {}", lock_path, SystemError(GetLastError()));
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          0) {
    CloseHandle(file);
    return fmt::format("Failed to open lock file {}: not a regular file", lock_path);
  }
  if (ReachedThroughLink(file, wide_lock, nullptr)) {  // a Unix link seen through Wine
    CloseHandle(file);
    return fmt::format("Failed to open lock file {}: it is a symbolic link", lock_path);
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
      return fmt::format("Failed to lock {}: another process held it for {} ms", lock_path,
                         kLockTimeout.count());
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
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

#else

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

FileText ReadWholeFile(const std::string& path) {
  FileText result;
  struct stat information {};
  const FdCloser file{OpenRegularFile(path, information, result.detail)};
  if (file.fd < 0) return result;
  result.links = information.st_nlink;
  // The mode alone decides, so a server running as root respects it too.
  result.read_only = (information.st_mode & 0222) == 0;
  if (static_cast<std::uint64_t>(information.st_size) > kMaxConfigBytes) {
    result.status = FileText::Status::kTooLarge;
    return result;
  }
  result.text.reserve(static_cast<std::size_t>(information.st_size));
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
    if (result.text.size() > kMaxConfigBytes) {  // it grew while being read
      result.text.clear();
      result.status = FileText::Status::kTooLarge;
      return result;
    }
  }
  result.status = FileText::Status::kRead;
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

std::optional<std::string> ConfigFileLock::Acquire(const std::string& lock_path,
                                                   const std::string& shared_with) {
  // Never created exclusively nor removed: another server may hold it at this moment. flock needs
  // only read access, so an account that may not write the lock file still takes it.
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EACCES) {
    fd = open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    const int error = errno;
    return fmt::format("Failed to open lock file {}: {}", lock_path,
                       error == ELOOP ? std::string("it is a symbolic link") : SystemError(error));
  }
  struct stat information {};
  if (fstat(fd, &information) != 0 || !S_ISREG(information.st_mode)) {
    close(fd);
    return fmt::format("Failed to open lock file {}: not a regular file", lock_path);
  }
  ShareLockFile(fd, information, shared_with);
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
      return fmt::format("Failed to lock {}: another process held it for {} ms", lock_path,
                         kLockTimeout.count());
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
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

#endif

std::optional<std::string> ReplaceFileKeepingBackup(const std::string& path,
                                                    std::string_view contents,
                                                    std::string_view previous) {
  const std::string temp = path + ".tmp";
  const std::string backup = path + ".bak";
  const std::string backup_temp = backup + ".tmp";
  const std::string backup_aside = backup + ".old";
  auto step = [](SaveStep which, auto action) -> std::optional<std::string> {
    if (SaveStepFaultForTests != nullptr) {
      if (auto failure = SaveStepFaultForTests(which)) return failure;
    }
    return action();
  };

  // Both new files are whole on the disk before any name changes: running out of space, or any
  // other failure to write, leaves the file and its backup untouched.
  std::optional<std::string> failure =
      step(SaveStep::kWriteBackup, [&] { return WriteTemporaryFile(backup_temp, previous, path); });
  if (failure) return failure;
  failure = step(SaveStep::kWriteFile, [&] { return WriteTemporaryFile(temp, contents, path); });
  if (failure) {
    RemoveFile(backup_temp);
    return failure;
  }

  // Then three renames in one folder. The backup is replaced only right before the file, and the
  // one it replaces is kept aside until the file is replaced, so a failed rename can put it back.
  bool backup_set_aside = false;
  bool backup_placed = false;
  failure = step(SaveStep::kSetBackupAside,
                 [&] { return SetAside(backup, backup_aside, backup_set_aside); });
  if (!failure) {
    failure = step(SaveStep::kPlaceBackup, [&] { return RenameOver(backup_temp, backup); });
    backup_placed = !failure;
  }
  if (!failure) {
    failure = step(SaveStep::kPlaceFile, [&] { return RenameOver(temp, path); });
  }
  if (!failure) {
    SyncDirectoryOf(path);
    if (backup_set_aside) RemoveFile(backup_aside);
    return std::nullopt;
  }
  if (backup_set_aside) {
    if (auto undo = RenameOver(backup_aside, backup)) *failure += "; " + *undo;
  } else if (backup_placed) {
    RemoveFile(backup);  // there was no backup before this save
  }
  RemoveFile(temp);
  RemoveFile(backup_temp);
  return failure;
}

}  // namespace brimwarden::config

namespace brimwarden {

SaveStepFault SaveStepFaultForTests = nullptr;

}  // namespace brimwarden
