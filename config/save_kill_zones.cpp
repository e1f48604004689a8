// The rewrite of this server's "Kill Zones" in "config.json" after a zone is confirmed in chat.
// The file is shared by every server instance on the machine: the rewrite reads it afresh under
// the lock beside it, changes only this server's "Kill Zones", and replaces the file atomically,
// keeping the previous content as "config.json.bak". It refuses, leaving the file as it was,
// whenever rewriting would lose something the file holds.
#include <algorithm>
#include <cmath>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "brimwarden/logging/logging.h"
#include "config_internal.h"
#include "file_operations.h"

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

bool SameCorner(const Vector3& x, const Vector3& y) {
  return x.X == y.X && x.Y == y.Y && x.Z == y.Z;
}

bool SameCorners(const ZoneCorners& in_file, const KillZone& zone) {
  return SameCorner(in_file.Corner1, zone.Corner1) && SameCorner(in_file.Corner2, zone.Corner2);
}

// The section's "Kill Zones" member, or null when there is none.
const Json* ZonesMember(const Json& document, const std::string& key) {
  if (!document.is_object()) return nullptr;
  const auto section = document.find(key);
  if (section == document.end() || !section->is_object()) return nullptr;
  const auto zones = section->find("Kill Zones");
  return zones == section->end() ? nullptr : &*zones;
}

// The zones the file holds for this section, read as the load reads them; std::nullopt when
// they cannot be read, which counts as a change.
std::optional<std::map<std::string, ZoneCorners>> ZonesInFile(const Json& document,
                                                              const std::string& key) {
  // A missing section, a missing "Kill Zones" and an empty one all hold no zones.
  const Json* const zones = ZonesMember(document, key);
  if (zones == nullptr) return std::map<std::string, ZoneCorners>{};
  try {
    return config::ZonesByName(config::ReadKillZones(*zones));
  } catch (const Json::exception&) {
    return std::nullopt;
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

// Corners are compared as the floats this process holds, not as the text of the file.
bool SameZones(const std::map<std::string, ZoneCorners>& a,
               const std::map<std::string, ZoneCorners>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](const auto& x, const auto& y) {
    return x.first == y.first && SameCorner(x.second.Corner1, y.second.Corner1) &&
           SameCorner(x.second.Corner2, y.second.Corner2);
  });
}

bool SaveKillZonesOrThrow() {
  const std::string path = GetConfigPath();
  // Checked before the lock file is made, so a missing configuration leaves no trace at all.
  if (!config::CanOpenForReading(path)) {
    Fail("Failed to open config file");
    return false;
  }
  // Every server reaching the file through any link locks, writes and renames beside the file
  // itself, so they exclude each other and the links stay links.
  std::string target;
  if (const auto failure = config::ResolveLinks(path, target)) {
    Fail(*failure);
    return false;
  }
  config::ConfigFileLock lock;
  if (const auto failure = lock.Acquire(target + ".lock", target)) {
    Fail(*failure);
    return false;
  }

  // Read under the lock, after any other server's rewrite has been renamed into place.
  const config::FileText file = config::ReadWholeFile(target);
  if (file.status == config::FileText::Status::kCannotOpen) {
    Fail("Failed to open config file");
    return false;
  }
  // Properties of the file that no content changes come first. An admin who took away every
  // write permission froze the file on purpose; the mode decides, so that root respects it too.
  if (file.read_only) {
    Fail("Kill zones not saved: config.json is read-only");
    return false;
  }
  // A rename gives the new content to this name alone; the file's other names would keep the old
  // content, and the servers sharing it would part ways without a word.
  if (file.links > 1) {
    Fail(fmt::format(
        "Kill zones not saved: config.json has {} hard links, and saving would split them; share "
        "it through a symbolic link instead",
        file.links));
    return false;
  }
  if (file.status == config::FileText::Status::kTooLarge) {
    Fail("Kill zones not saved: config.json is larger than 64 MiB");
    return false;
  }
  if (file.status == config::FileText::Status::kCannotRead) {
    Fail("Failed to read config file: " + file.detail);
    return false;
  }
  config::ParsedConfig parsed = config::ParseConfigText(file.text);
  Json& document = parsed.document;
  // The rewrite would drop whatever follows the first value, such as a neighbour's section after
  // a stray brace.
  if (config::FindTextAfterFirstValue(file.text)) {
    Fail(
        "Kill zones not saved: config.json has text after its first JSON value; remove it and "
        "send BWD.reload");
    return false;
  }
  // The rewrite prints each object from what the library kept: one value per name, the others
  // dropped, such as a whole section written twice.
  if (parsed.duplicate_member) {
    Fail(fmt::format(
        "Kill zones not saved: config.json has the member {} more than once in one object; keep "
        "one and send BWD.reload",
        EscapedName(*parsed.duplicate_member)));
    return false;
  }
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
    Fail(fmt::format(
        "Kill zones not saved: the last load of config.json failed ({}); fix config.json and "
        "send BWD.reload",
        PluginSettings.LastLoadError));
    return false;
  }
  // Zones added to or removed from the file by hand, or by another server with the same key,
  // since this process last loaded or saved them would be undone by the rewrite.
  const auto in_file = ZonesInFile(document, key);
  if (!in_file || !SameZones(*in_file, PluginSettings.KillZonesInFile)) {
    Fail(
        "Kill zones not saved: this server's zones in config.json changed since they were "
        "loaded; send BWD.reload and try again");
    return false;
  }

  // The load read the first three numbers of such a corner; the rewrite would drop the rest. Even
  // a save that removes that zone refuses: the admin mends the file and reloads.
  const Json* const zones_in_file = ZonesMember(document, key);
  if (zones_in_file != nullptr) {
    const std::vector<config::LongCorner> long_corners = config::FindLongCorners(*zones_in_file);
    if (!long_corners.empty()) {
      Fail(fmt::format(
          "Kill zones not saved: {} of kill zone {} in config.json has more than three numbers; "
          "remove the rest and send BWD.reload",
          long_corners.front().corner, EscapedName(long_corners.front().zone)));
      return false;
    }
  }
  // The rewrite prints every number as the library read it.
  if (parsed.changed_number) {
    Fail(fmt::format(
        "Kill zones not saved: config.json holds the number {}, which a save would change to {}; "
        "write it as a string and send BWD.reload",
        parsed.changed_number->text, parsed.changed_number->read_as));
    return false;
  }

  // A section that is null becomes an object; a document or section of another type raises the
  // library's type error and nothing is written.
  Json& zones = document[key]["Kill Zones"];
  // The entries as the file holds them, for the members other than the corners.
  const Json previous_zones = std::exchange(zones, Json::object());
  for (const KillZone& zone : PluginSettings.KillZones) {
    // The library would write a non-finite number as null, which no later load could read.
    if (!IsFinite(zone.Corner1) || !IsFinite(zone.Corner2)) {
      Fail(fmt::format("Kill zone \"{}\" has a corner that is not finite; config file not changed",
                       zone.Name));
      return false;
    }
    // Of several zones with one name, the last in the list decides the entry. A zone the file
    // holds under its name with the same corners is the one kept: its other members (a comment,
    // say) stay. A zone confirmed in its place, or removed, takes them with it.
    Json entry = Json::object();
    if (const auto kept = in_file->find(zone.Name);
        !zone.ConfirmedSinceSave && kept != in_file->end() && SameCorners(kept->second, zone) &&
        previous_zones.is_object()) {
      if (const auto found = previous_zones.find(zone.Name);
          found != previous_zones.end() && found->is_object()) {
        entry = *found;
      }
    }
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
  std::map<std::string, ZoneCorners> saved = config::ZonesByName(PluginSettings.KillZones);

  // One generation of backup, so a zone removed or overwritten by mistake can be brought back by
  // hand: the backup takes what the file held, and only when the file takes the new content.
  if (const auto failure =
          config::ReplaceFileKeepingBackup(target, std::move(text).str(), file.text)) {
    Fail(*failure);
    return false;
  }
  PluginSettings.KillZonesInFile = std::move(saved);
  // The file now holds every zone as memory does, with no member of a zone it replaced.
  for (KillZone& zone : PluginSettings.KillZones) zone.ConfirmedSinceSave = false;
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
