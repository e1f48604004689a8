// This server's settings and kill zones, read from its section of the shared "config.json", and the
// rewrite of its "Kill Zones" into that file. Called on the game thread only: at load, from the
// "BWD.reload" RCON command and from the "/confirm" chat command.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "brimwarden/host/game_types.h"

namespace brimwarden {

/// A named axis-aligned box; the corners are any two opposite corners, in either order.
struct KillZone {
  std::string Name;
  Vector3 Corner1;
  Vector3 Corner2;
  /// Set for a zone confirmed in chat since the file was last written: the file's entry under
  /// its name, if any, belongs to the zone it replaced, and its other members go with that zone.
  bool ConfirmedSinceSave = false;
};

/// The corners of one zone as the file holds them, read as the load reads them.
struct ZoneCorners {
  Vector3 Corner1;
  Vector3 Corner2;
};

/// The wipe guard's state: what the sweep has visited and condemned in the current pass, and
/// whether the guard has paused it. Only the sweep and the "BWD.resume" command change it.
struct WipeGuardState {
  /// Visits of this pass that reached the kill-zone test (valid, wild at the visit).
  std::uint64_t Visited = 0;
  /// Those of them condemned (inside a zone, or no ground), each creature once.
  std::uint64_t Condemned = 0;
  /// While true the sweep visits, tests and counts as always but destroys nothing.
  bool Paused = false;
  /// Set by "BWD.resume": the guard does not judge again until the next roster build.
  bool OffUntilNextPass = false;
  /// The pass and the counts at the moment the guard tripped.
  std::uint64_t TripPass = 0;
  std::uint64_t TripCondemned = 0;
  std::uint64_t TripVisited = 0;
};

/// This server's settings. BottomRayDistance is held negated.
struct Settings {
  std::int32_t TopRayDistance = 0;
  std::int32_t BottomRayDistance = 0;
  std::int32_t DinosPerTick = 0;
  std::vector<KillZone> KillZones;
  /// While true the sweep runs as usual but destroys nothing; it logs what it would destroy.
  bool DryRun = false;
  /// How many "would destroy" lines the sweep has logged in dry run. Every successful load brings a
  /// fresh record, so the cap on those lines starts again after each one.
  std::int32_t DryRunLinesLogged = 0;
  /// The share of the creatures visited in a pass above which the wipe guard pauses the sweep
  /// (once at least kWipeGuardMinimum are condemned); 1 means it never trips.
  double MaxDestroyShare = 0.5;
  /// Every successful load brings a fresh guard: armed, not paused, counts at 0.
  WipeGuardState WipeGuard;
  /// The server key as the latest load found it (empty when there was none). Kept from the load
  /// before when the latest one stopped before looking it up.
  std::string ServerKey;
  /// Whether the latest load of this server's section failed. While it has, KillZones does not
  /// reflect the file, and a save would wipe the zones the file holds.
  bool LastLoadFailed = false;
  /// Why the latest load failed, as the reload reply gives it; empty after a load that worked.
  std::string LastLoadError;
  /// This section's zones as this process last loaded or saved them, by name. A save rewrites the
  /// file's zones only while the file still holds exactly these, so edits made by others since
  /// are never overwritten. Kept apart from KillZones, which commands change in memory.
  std::map<std::string, ZoneCorners> KillZonesInFile;
};

/// The wipe guard never trips before this many creatures of one pass are condemned.
inline constexpr std::uint64_t kWipeGuardMinimum = 50;

/// The process-wide settings record that the sweep and the zone commands read.
extern Settings PluginSettings;
/// The section read by the last load.
extern nlohmann::json ConfigDocument;

/// Returns the full path of "config.json", asking the framework for the server's directory.
std::string GetConfigPath();
/// Returns this server's key from its command line (empty when none) and logs it.
std::string GetServerKey();
/// Returns the value of the first argument that starts with "-serverkey=" (the prefix in any
/// case), even when that value is empty; empty when no argument starts so. Values keep their case.
std::string FindServerKey(const std::vector<std::string>& arguments);
std::u16string FindServerKey(const std::vector<std::u16string>& arguments);
/// Reads this server's section into PluginSettings, all or nothing. Returns std::nullopt on
/// success, else the reason of the failure, which has been logged at error. Never throws the JSON
/// library's errors.
std::optional<std::string> LoadConfig();
/// Loads as LoadConfig does, but from the file at `path` and its section `key`, without asking
/// the framework for either: what the configuration check tool runs.
std::optional<std::string> LoadConfigSection(const std::string& path, const std::string& key);
/// Returns the names of the file's top-level members (its server sections) in ascending byte
/// order, none when the file's value is no object, or std::nullopt when the file cannot be read
/// or parsed (a load then says why). Logs nothing.
std::optional<std::vector<std::string>> ReadSectionNames(const std::string& path);
/// The "BWD.reload" RCON command: reloads and replies with the outcome.
void ReloadConfigCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
/// Rewrites this server's "Kill Zones" in "config.json" from PluginSettings.KillZones. Returns true
/// when the file was replaced; every failure or refusal has been logged at error and leaves the
/// file as it was. It refuses, in this order, a file nobody may write, one with more than one hard
/// link, one larger than 64 MiB, one with text after its first JSON value or with a member named
/// twice in one object; then after a failed load of an existing section, when the file's zones of
/// this section are no longer the ones last loaded or saved, while a corner of them holds more than
/// three numbers, and while the file holds a number the JSON library cannot hold as written. A kept
/// zone's entry keeps its members other than the corners.
bool SaveKillZones();

/// The steps by which a save replaces "config.json" and its backup, in the order they run: the
/// backup's temporary file written, the new file's temporary file written, the old backup set
/// aside, the new backup renamed into place, the new file renamed into place.
enum class SaveStep { kWriteBackup, kWriteFile, kSetBackupAside, kPlaceBackup, kPlaceFile };
/// When set, called before each SaveStep: a reason it returns is taken as that step's failure.
/// Lets tests make each step fail in turn on every system; null in the plugin.
using SaveStepFault = std::optional<std::string> (*)(SaveStep step);
extern SaveStepFault SaveStepFaultForTests;

}  // namespace brimwarden
