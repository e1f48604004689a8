// The load of this server's section of "config.json" into PluginSettings, at start-up and on the
// "BWD.reload" RCON command. A load is all or nothing: the section is read whole into a new
// record, which replaces the settings and the zone list only when nothing failed, so a broken
// file never leaves a half-applied configuration behind.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/game_names.h"
#include "brimwarden/host/rcon_packet.h"
#include "brimwarden/logging/logging.h"
#include "config_internal.h"

namespace brimwarden {
namespace {

using Json = nlohmann::json;
using config::Fail;
using config::LogLine;

constexpr std::int32_t kDefaultRayDistance = 150000;
constexpr std::int32_t kDefaultDinosPerTick = 20;

using host::kSendRconMessage;

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

// Narrows one coordinate to a float, refusing a value no float can hold.
float ReadCoordinate(const Json& value, const std::string& zone, const char* corner) {
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (!(std::fabs(number) <= FLT_MAX)) {
      throw std::runtime_error(fmt::format(
          "{} of kill zone \"{}\" in config has a coordinate that is not finite as a float: {}",
          corner, zone, value.dump()));
    }
    return static_cast<float>(number);
  }
  return value.get<float>();
}

// Reads elements 2, 1 and 0 of a corner, in that order, so of several bad elements the last is
// the one reported; a missing corner or element reads as null and raises the library's type error.
Vector3 ReadCorner(Json& zone, const std::string& name, const char* corner) {
  Json& elements = zone[corner];
  Vector3 result;
  result.Z = ReadCoordinate(elements[2], name, corner);
  result.Y = ReadCoordinate(elements[1], name, corner);
  result.X = ReadCoordinate(elements[0], name, corner);
  return result;
}

void ReplaceZeroByDefault(std::int32_t& setting, std::int32_t fallback, const char* warning) {
  if (setting != 0) return;
  LogLine(spdlog::level::warn, warning);
  setting = fallback;
}

std::optional<std::string> LoadConfigOrThrow() {
  const config::FileText file = config::ReadWholeFile(GetConfigPath());
  if (file.status == config::FileText::Status::kCannotOpen) {
    return Fail("Failed to open config file");
  }
  if (file.status == config::FileText::Status::kCannotRead) {
    return Fail("Failed to read config file: " + file.detail);
  }
  Json document = config::ParseConfigText(file.text);
  if (document.is_null()) return Fail("Failed to load config");

  const std::string key = GetServerKey();
  if (key.empty()) return Fail("Failed to get server key");
  if (!document.is_object() || !document.contains(key)) {
    return Fail("Server key not found in config");
  }
  Json section = std::move(document[key]);
  if (section.is_null()) return Fail("Failed to load config for server key");

  Settings settings;
  settings.TopRayDistance = ReadSettingNumber(section, "TopRayDistance");
  settings.BottomRayDistance = ReadSettingNumber(section, "BottomRayDistance");
  settings.DinosPerTick = ReadSettingNumber(section, "DinosPerTick");
  ReplaceZeroByDefault(settings.TopRayDistance, kDefaultRayDistance,
                       "TopRayDistance not set in config, using 150k");
  ReplaceZeroByDefault(settings.BottomRayDistance, kDefaultRayDistance,
                       "BottomRayDistance not set in config, using 150k");
  ReplaceZeroByDefault(settings.DinosPerTick, kDefaultDinosPerTick,
                       "DinosPerTick not set in config, using 20");
  if (settings.BottomRayDistance == std::numeric_limits<std::int32_t>::min()) {
    throw std::runtime_error(fmt::format("BottomRayDistance in config cannot be negated: {}",
                                         settings.BottomRayDistance));
  }
  settings.BottomRayDistance = -settings.BottomRayDistance;

  if (section.contains("Kill Zones")) {
    Json& zones = section["Kill Zones"];
    // The library would walk an array or a single value too, under made-up names.
    if (!zones.is_object() && !zones.is_null()) {
      throw std::runtime_error(
          fmt::format("Kill Zones in config is not an object but {}", zones.type_name()));
    }
    // Members come in ascending byte order of their names. Reading a corner through the
    // non-constant accessors makes a missing piece read as null, so every malformed entry ends
    // in the library's type error; the section is thrown away in that case anyway.
    for (auto& [name, zone] : zones.items()) {
      KillZone kill_zone;
      kill_zone.Name = name;
      kill_zone.Corner1 = ReadCorner(zone, name, "Corner1");
      kill_zone.Corner2 = ReadCorner(zone, name, "Corner2");
      settings.KillZones.push_back(std::move(kill_zone));
    }
  }

  PluginSettings = std::move(settings);
  ConfigDocument = std::move(section);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> LoadConfig() {
  std::optional<std::string> failure;
  try {
    failure = LoadConfigOrThrow();
  } catch (const std::exception& error) {
    // The library's own message, at error: a bad file is a failure, and the caller goes on.
    failure = Fail(error.what());
  }
  // Everything else stays as it was; a successful load brought a record with the flag clear.
  if (failure) PluginSettings.LastLoadFailed = true;
  return failure;
}

void ReloadConfigCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  ContainExceptions("ReloadConfigCommand", [&] {
    const std::optional<std::string> failure = LoadConfig();
    const std::string reply =
        failure ? "Config reload failed: " + *failure : std::string("Config Reloaded.");
    FString message(config::Utf8ToUtf16(reply));
    kSendRconMessage(connection, host::RconRequestId(packet), 0, &message);
  });
}

}  // namespace brimwarden
