// Pieces shared by the load and the save of "config.json": parsing the file, the text after its
// first value, reading and comparing the zones, and the one way a failure is reported. The file
// operations are in file_operations.h. Game thread only, like the rest of the configuration.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/logging/logging.h"

namespace brimwarden::config {

/// The deepest nesting of objects and arrays a configuration file may have; a section needs 5.
inline constexpr std::size_t kMaxConfigNesting = 64;

/// Logs `reason` at error and returns it, for the failures that end a load or a save.
inline std::string Fail(std::string reason) noexcept {
  Log(LogLevel::kError, reason);
  return reason;
}

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

/// Returns the value of the first "-serverkey=" argument (any case) of the command line the server
/// was started with, as UTF-8, or "" without one. One file per platform: command_line_posix.cpp,
/// command_line_windows.cpp.
std::string ServerKeyFromCommandLine();

/// Returns the zones by name, the last of several with one name deciding, as a save writes them.
std::map<std::string, ZoneCorners> ZonesByName(const std::vector<KillZone>& zones);

}  // namespace brimwarden::config
