// The load of this server's section of "config.json" into PluginSettings, at start-up and on the
// "BWD.reload" RCON command. A load is all or nothing: the section is read whole into a new
// record, which replaces the settings and the zone list only when nothing failed, so a broken
// file never leaves a half-applied configuration behind.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/rcon.h"
#include "brimwarden/logging/logging.h"
#include "config_internal.h"
#include "file_operations.h"

namespace brimwarden {
namespace {

using Json = nlohmann::json;
using config::Fail;

constexpr std::int32_t kDefaultRayDistance = 150000;
constexpr std::int32_t kDefaultDinosPerTick = 20;

// Reads a number the way value() with an integer default does (a float is cut toward zero, a
// boolean is 0 or 1, a missing key is 0), but refuses values outside the 32-bit range instead of
// letting them wrap.
std::int32_t ReadSettingNumber(const Json& section, const char* key) {
  // value() on anything but an object raises the library's type error, with its own message.
  if (!section.is_object()) return section.value(key, 0);
  const auto found = section.find(key);
  if (found == section.end()) return 0;
  const Json& value = *found;
  bool fits = true;
  if (value.is_number_unsigned()) {
    fits = value.get<std::uint64_t>() <= std::numeric_limits<std::int32_t>::max();
  } else if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    fits = number >= std::numeric_limits<std::int32_t>::min() &&
           number <= std::numeric_limits<std::int32_t>::max();
  } else if (value.is_number_float()) {
    // Compared before the cut toward zero, which is only defined for values that fit.
    const double number = value.get<double>();
    fits = number > -2147483649.0 && number < 2147483648.0;
  }
  if (!fits) {
    throw std::runtime_error(
        fmt::format("{} in config is outside the 32-bit integer range: {}", key, value.dump()));
  }
  // Other JSON types raise the library's type error here.
  return value.get<std::int32_t>();
}

// The downward distance of the ground test must be a number that is not negative: a negative one
// turns the test upward, where it finds no ground under anyone, and a boolean is no distance.
// Zero and a missing key still take the default.
std::int32_t ReadBottomRayDistance(const Json& section) {
  constexpr const char* kKey = "BottomRayDistance";
  if (section.is_object()) {
    const auto found = section.find(kKey);
    if (found != section.end()) {
      const Json& value = *found;
      if (!value.is_number()) {
        throw std::runtime_error(
            fmt::format("{} in config is not a number: {}", kKey, value.dump()));
      }
      const bool negative = (value.is_number_integer() && !value.is_number_unsigned() &&
                             value.get<std::int64_t>() < 0) ||
                            (value.is_number_float() && value.get<double>() < 0.0);
      if (negative) {
        throw std::runtime_error(
            fmt::format("{} in config cannot be negative: {}", kKey, value.dump()));
      }
    }
  }
  return ReadSettingNumber(section, kKey);
}

// Narrows one coordinate to a float, refusing a value no float can hold.
float ReadCoordinate(const Json& value, const std::string& zone, const char* corner) {
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (!(std::fabs(number) <= FLT_MAX)) {
      throw std::runtime_error(fmt::format(
          "{} of kill zone \"{}\" in config has a coordinate that is not finite as a float: {}",
          corner, EscapedName(zone), value.dump()));
    }
    return static_cast<float>(number);
  }
  return value.get<float>();
}

// A corner is an array whose first three elements are numbers (booleans read as 1 and 0); more
// elements are ignored.
bool IsThreeNumbers(const Json& corner) {
  if (!corner.is_array() || corner.size() < 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (!corner[i].is_number() && !corner[i].is_boolean()) return false;
  }
  return true;
}

// Reads elements 2, 1 and 0 of a corner, in that order, so of several coordinates beyond a float
// the last is the one reported.
Vector3 ReadCorner(const Json& zone, const std::string& name, const char* corner) {
  // A null entry has no corners; an entry of another type raises the library's type error.
  if (!zone.is_null() && !zone.is_object()) (void)zone[std::string(corner)];
  const auto found = zone.is_object() ? zone.find(corner) : zone.end();
  if (found == zone.end()) {
    throw std::runtime_error(
        fmt::format("Kill zone \"{}\": {} is missing", EscapedName(name), corner));
  }
  const Json& elements = *found;
  if (!IsThreeNumbers(elements)) {
    throw std::runtime_error(fmt::format("Kill zone \"{}\": {} is not a list of three numbers: {}",
                                         EscapedName(name), corner, elements.dump()));
  }
  Vector3 result;
  result.Z = ReadCoordinate(elements[2], name, corner);
  result.Y = ReadCoordinate(elements[1], name, corner);
  result.X = ReadCoordinate(elements[0], name, corner);
  return result;
}

// An optional boolean; anything else, null included, fails the load rather than guessing.
bool ReadDryRun(const Json& section) {
  const auto found = section.find("DryRun");
  if (found == section.end()) return false;
  if (!found->is_boolean()) {
    throw std::runtime_error(fmt::format("DryRun in config is not a boolean: {}", found->dump()));
  }
  return found->get<bool>();
}

// An optional number above 0 and at most 1; anything else fails the load, since a wrong share
// would either stop the sweep for nothing or let a typo wipe the world.
double ReadMaxDestroyShare(const Json& section) {
  const auto found = section.find("MaxDestroyShare");
  if (found == section.end()) return 0.5;
  const double share = found->is_number() ? found->get<double>() : 0.0;
  if (!found->is_number() || !(share > 0.0 && share <= 1.0)) {
    throw std::runtime_error(fmt::format(
        "MaxDestroyShare in config must be a number above 0 and at most 1: {}", found->dump()));
  }
  return share;
}

// Replaces a setting of 0 by its default and keeps the warning for when the load is applied.
void ReplaceZeroByDefault(std::int32_t& setting, std::int32_t fallback, const char* warning,
                          std::vector<const char*>& warnings) {
  if (setting != 0) return;
  warnings.push_back(warning);
  setting = fallback;
}

// The members a section may hold; a name beginning with "_" is a comment.
constexpr std::string_view kSettingNames[] = {"TopRayDistance", "BottomRayDistance",
                                              "DinosPerTick",   "Kill Zones",
                                              "DryRun",         "MaxDestroyShare"};

// A misspelled setting ("Dryrun", "KillZones") would otherwise be ignored without a word, and the
// admin would believe it in force. Members come in ascending byte order of their names.
void WarnOfMembersThatAreNoSetting(const Json& section) {
  for (const auto& [name, value] : section.items()) {
    if (name.starts_with('_') || std::find(std::begin(kSettingNames), std::end(kSettingNames),
                                           name) != std::end(kSettingNames)) {
      continue;
    }
    Log(LogLevel::kWarning,
        fmt::format("config.json: {} in this server's section is not a setting and is "
                    "ignored; check its spelling",
                    EscapedName(name)));
  }
}

// Loads from the file at `path` and the section `key`; either one, when null, is asked of the
// framework, as the plugin's own load does.
std::optional<std::string> LoadConfigOrThrow(const std::string* path,
                                             const std::string* key_given) {
  const config::FileText file = config::ReadWholeFile(path != nullptr ? *path : GetConfigPath());
  if (file.status == config::FileText::Status::kCannotOpen) {
    return Fail("Failed to open config file");
  }
  if (file.status == config::FileText::Status::kCannotRead) {
    return Fail("Failed to read config file: " + file.detail);
  }
  if (file.status == config::FileText::Status::kTooLarge) {
    return Fail("config.json is larger than 64 MiB");
  }
  config::ParsedConfig parsed = config::ParseConfigText(file.text);
  Json& document = parsed.document;
  if (const auto trailing = config::FindTextAfterFirstValue(file.text)) {
    Log(LogLevel::kWarning,
        fmt::format("config.json has text after its first JSON value (line {}, column {}); it "
                    "is ignored, and zones cannot be saved until it is removed",
                    trailing->line, trailing->column));
  }
  if (document.is_null()) return Fail("Failed to load config");

  const std::string key = key_given != nullptr ? *key_given : GetServerKey();
  PluginSettings.ServerKey = key;
  if (key.empty()) return Fail("Failed to get server key");
  if (!document.is_object() || !document.contains(key)) {
    return Fail("Server key not found in config");
  }
  Json section = std::move(document[key]);
  if (section.is_null()) return Fail("Failed to load config for server key");

  // Every member is read and checked before anything is applied or logged, so a failed load
  // leaves no trace but its error.
  Settings settings;
  std::vector<const char*> warnings;
  settings.ServerKey = key;
  settings.TopRayDistance = ReadSettingNumber(section, "TopRayDistance");
  settings.BottomRayDistance = ReadBottomRayDistance(section);
  settings.DinosPerTick = ReadSettingNumber(section, "DinosPerTick");
  ReplaceZeroByDefault(settings.TopRayDistance, kDefaultRayDistance,
                       "TopRayDistance not set in config, using 150k", warnings);
  ReplaceZeroByDefault(settings.BottomRayDistance, kDefaultRayDistance,
                       "BottomRayDistance not set in config, using 150k", warnings);
  ReplaceZeroByDefault(settings.DinosPerTick, kDefaultDinosPerTick,
                       "DinosPerTick not set in config, using 20", warnings);
  settings.BottomRayDistance = -settings.BottomRayDistance;
  settings.DryRun = ReadDryRun(section);
  settings.MaxDestroyShare = ReadMaxDestroyShare(section);

  std::vector<config::LongCorner> long_corners;
  if (const auto zones = section.find("Kill Zones"); zones != section.end()) {
    settings.KillZones = config::ReadKillZones(*zones);
    long_corners = config::FindLongCorners(*zones);
  }
  settings.KillZonesInFile = config::ZonesByName(settings.KillZones);

  // Like the text after the value, a property of the file: said before the section's own warnings.
  if (parsed.duplicate_member) {
    Log(LogLevel::kWarning,
        fmt::format("config.json has the member {} more than once in one object; the last one "
                    "is used",
                    EscapedName(*parsed.duplicate_member)));
  }
  for (const char* warning : warnings) Log(LogLevel::kWarning, warning);
  for (const config::LongCorner& found : long_corners) {
    Log(LogLevel::kWarning,
        fmt::format("config.json: {} of kill zone {} has more than three numbers; a save would "
                    "drop the rest",
                    found.corner, EscapedName(found.zone)));
  }
  WarnOfMembersThatAreNoSetting(section);
  PluginSettings = std::move(settings);
  ConfigDocument = std::move(section);
  return std::nullopt;
}

}  // namespace

namespace config {

std::vector<KillZone> ReadKillZones(const Json& zones) {
  std::vector<KillZone> result;
  // Null, an empty object and an empty array all hold no zones; an array that holds anything, or
  // a value of another type, is refused: the library would walk it under made-up names.
  if (zones.is_null() || (zones.is_array() && zones.empty())) return result;
  if (!zones.is_object()) {
    throw std::runtime_error(
        fmt::format("Kill Zones in config is not an object but {}", zones.type_name()));
  }
  // Members come in ascending byte order of their names.
  for (const auto& [name, zone] : zones.items()) {
    KillZone kill_zone;
    kill_zone.Name = name;
    kill_zone.Corner1 = ReadCorner(zone, name, "Corner1");
    kill_zone.Corner2 = ReadCorner(zone, name, "Corner2");
    result.push_back(std::move(kill_zone));
  }
  return result;
}

std::vector<LongCorner> FindLongCorners(const Json& zones) {
  std::vector<LongCorner> found;
  if (!zones.is_object()) return found;
  for (const auto& [name, zone] : zones.items()) {
    if (!zone.is_object()) continue;
    for (const char* corner : {"Corner1", "Corner2"}) {
      const auto elements = zone.find(corner);
      if (elements != zone.end() && elements->is_array() && elements->size() > 3) {
        found.push_back({corner, name});
      }
    }
  }
  return found;
}

std::map<std::string, ZoneCorners> ZonesByName(const std::vector<KillZone>& zones) {
  std::map<std::string, ZoneCorners> by_name;
  // Of several zones with one name, the last decides, as in the file a save writes.
  for (const KillZone& zone : zones) by_name[zone.Name] = {zone.Corner1, zone.Corner2};
  return by_name;
}

}  // namespace config

namespace {

std::optional<std::string> RunLoad(const std::string* path, const std::string* key) {
  std::optional<std::string> failure;
  try {
    failure = LoadConfigOrThrow(path, key);
  } catch (const std::exception& error) {
    // The library's own message, at error: a bad file is a failure, and the caller goes on.
    failure = Fail(error.what());
  }
  // Everything else stays as it was; a successful load brought a record with the flag clear.
  if (failure) {
    PluginSettings.LastLoadFailed = true;
    try {
      PluginSettings.LastLoadError = *failure;
    } catch (...) {  // out of memory: the flag alone still refuses the save
    }
  }
  return failure;
}

}  // namespace

std::optional<std::string> LoadConfig() { return RunLoad(nullptr, nullptr); }

std::optional<std::vector<std::string>> ReadSectionNames(const std::string& path) {
  try {
    const config::FileText file = config::ReadWholeFile(path);
    if (file.status != config::FileText::Status::kRead) return std::nullopt;
    const Json document = config::ParseConfigText(file.text).document;
    std::vector<std::string> names;
    if (document.is_object()) {
      for (const auto& [name, section] : document.items()) names.push_back(name);
    }
    return names;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> LoadConfigSection(const std::string& path, const std::string& key) {
  return RunLoad(&path, &key);
}

void ReloadConfigCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  ContainExceptions("ReloadConfigCommand", [&] {
    const std::optional<std::string> failure = LoadConfig();
    const std::string reply =
        failure ? "Config reload failed: " + *failure : std::string("Config Reloaded.");
    host::SendRconReply(connection, packet, reply);
  });
}

}  // namespace brimwarden
