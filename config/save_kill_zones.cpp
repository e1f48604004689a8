// The rewrite of this server's "Kill Zones" in "config.json" after a zone is confirmed in chat.
// The file is shared by every server instance on the machine: the rewrite reads it afresh under
// the lock beside it, changes only this server's "Kill Zones", and replaces the file atomically.
#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "config_internal.h"

namespace brimwarden {
namespace {

using Json = nlohmann::json;
using config::Fail;

bool IsFinite(const Vector3& corner) {
  return std::isfinite(corner.X) && std::isfinite(corner.Y) && std::isfinite(corner.Z);
}

// Floats widened to doubles, so the file shows the exact value the sweep uses.
Json CornerArray(const Vector3& corner) {
  return Json::array({static_cast<double>(corner.X), static_cast<double>(corner.Y),
                      static_cast<double>(corner.Z)});
}

bool SaveKillZonesOrThrow() {
  const std::string path = GetConfigPath();
  // Checked before the lock file is made, so a missing configuration leaves no trace at all.
  if (!config::CanOpenForReading(path)) {
    Fail("Failed to open config file");
    return false;
  }
  config::ConfigFileLock lock;
  if (const auto failure = lock.Acquire(path + ".lock")) {
    Fail(*failure);
    return false;
  }

  // Read under the lock, after any other server's rewrite has been renamed into place.
  const config::FileText file = config::ReadWholeFile(path);
  if (file.status == config::FileText::Status::kCannotOpen) {
    Fail("Failed to open config file");
    return false;
  }
  if (file.status == config::FileText::Status::kCannotRead) {
    Fail("Failed to read config file: " + file.detail);
    return false;
  }
  Json document = config::ParseConfigText(file.text);
  if (document.is_null()) {
    Fail("Failed to load config");
    return false;
  }
  const std::string key = GetServerKey();
  if (key.empty()) {
    Fail("Failed to get server key");
    return false;
  }

  // After a failed load the zone list holds none of the zones of this server's section: writing
  // it would wipe them. A section that does not exist yet has nothing to lose.
  if (PluginSettings.LastLoadFailed && document.is_object() && document.contains(key)) {
    Fail(
        "Kill zones not saved: this server's section could not be loaded; fix config.json and "
        "send BWD.reload");
    return false;
  }

  // A section that is null becomes an object; a document or section of another type raises the
  // library's type error and nothing is written.
  Json& zones = document[key]["Kill Zones"];
  zones = Json::object();
  for (const KillZone& zone : PluginSettings.KillZones) {
    // The library would write a non-finite number as null, which no later load could read.
    if (!IsFinite(zone.Corner1) || !IsFinite(zone.Corner2)) {
      Fail(fmt::format("Kill zone \"{}\" has a corner that is not finite; config file not changed",
                       zone.Name));
      return false;
    }
    // Of several zones with one name, the last in the list decides the entry.
    Json entry = Json::object();
    entry["Corner1"] = CornerArray(zone.Corner1);
    entry["Corner2"] = CornerArray(zone.Corner2);
    zones[zone.Name] = std::move(entry);
  }

  // Printed whole before anything touches the disk: a name that is not valid UTF-8 makes the
  // library throw here, and the file stays as it was.
  // A string stream swallows a failure to grow and keeps what it had: make it throw instead, so
  // a truncated text can never replace the file.
  std::ostringstream text;
  text.exceptions(std::ios::badbit | std::ios::failbit);
  text << std::setw(4) << document << '\n';

  if (const auto failure =
          config::ReplaceFileAtomically(path, path + ".tmp", std::move(text).str())) {
    Fail(*failure);
    return false;
  }
  return true;
}

}  // namespace

bool SaveKillZones() {
  try {
    return SaveKillZonesOrThrow();
  } catch (const std::exception& error) {
    Fail(error.what());
    return false;
  }
}

}  // namespace brimwarden
