// Pieces shared by the load and the save of "config.json": logging through the plugin's logger,
// reading and parsing the file, the lock that several server processes share, and the atomic
// replacement of the file. Game thread only, like the rest of the configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/common.h>
#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"

namespace brimwarden::config {

/// The deepest nesting of objects and arrays a configuration file may have; a section needs 5.
inline constexpr std::size_t kMaxConfigNesting = 64;

/// Writes one line through the plugin's logger; does nothing when there is no logger yet.
void LogLine(spdlog::level::level_enum level, std::string_view text) noexcept;

/// Logs `reason` at error and returns it, for the failures that end a load or a save.
std::string Fail(std::string reason) noexcept;

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

/// The first JSON value of a configuration file, and the first member name met a second time in
/// one of its objects (the library keeps the last value of such a name; a rewrite would drop the
/// others).
struct ParsedConfig {
  /// A number the library cannot hold as written: as the file writes it, and as the library
  /// prints what it read.
  struct ChangedNumber {
    std::string text;
    std::string read_as;
  };
  nlohmann::json document;
  std::optional<std::string> duplicate_member;
  /// The first such number of the document.
  std::optional<ChangedNumber> changed_number;
};

/// Parses the first JSON value of `text` as stream extraction does (whatever follows the value is
/// not examined), noting its first duplicated member name and its first changed number. Throws the
/// library's errors, and std::runtime_error for a document nested deeper than kMaxConfigNesting.
ParsedConfig ParseConfigText(const std::string& text);

/// Where text begins after the first JSON value of a file, counted from 1 in bytes.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};

/// Returns where text other than whitespace begins after the first JSON value of `text`, or
/// std::nullopt when there is none. `text` must start with a value ParseConfigText accepts.
std::optional<TextPosition> FindTextAfterFirstValue(std::string_view text);

/// Reads a section's "Kill Zones" member as the load does: null, {} and [] hold no zones. Throws,
/// with a message that names the zone, on anything malformed.
std::vector<KillZone> ReadKillZones(const nlohmann::json& zones);

/// A corner of a zone entry that holds more than three elements: the load reads the first three,
/// and a save would drop the rest.
struct LongCorner {
  const char* corner;  // "Corner1" or "Corner2"
  std::string zone;
};

/// Returns the long corners of a section's "Kill Zones", in the order the library holds the zones
/// (ascending byte order of their names), Corner1 before Corner2.
std::vector<LongCorner> FindLongCorners(const nlohmann::json& zones);

/// Returns the zones by name, the last of several with one name deciding, as a save writes them.
std::map<std::string, ZoneCorners> ZonesByName(const std::vector<KillZone>& zones);

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

}  // namespace brimwarden::config
