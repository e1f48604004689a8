// The reports on the world: the summary line that ends a script, and the status lines at the
// prompt.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <string_view>
#include <utility>

#include "brimwarden/logging/logging.h"
#include "events.h"
#include "server.h"

namespace brimwarden::devserver {

using nlohmann::ordered_json;

bool DevServer::IsSunk(const Vector3& position) {
  const float ground = standin::GroundHeightAt(position.X, position.Y);
  return std::isnan(ground) || position.Z < ground;
}

Fate DevServer::FateOf(const standin::CreatureInfo& creature,
                       const std::vector<ZoneBox>& zones) const {
  if (!creature.destroyed) return Fate::kAlive;
  if (destroyed_by_game_.count(creature.id) != 0) return Fate::kByGame;
  for (const ZoneBox& zone : zones) {
    if (zone.Contains(creature.position)) return Fate::kInZone;
  }
  return Fate::kNoGround;
}

ordered_json DevServer::Summary() const {
  const std::vector<ZoneBox> zones = ConfigZones();
  std::int64_t creatures = 0;
  std::int64_t alive = 0;
  std::int64_t by_game = 0;
  std::int64_t no_ground = 0;
  std::int64_t tamed_destroyed = 0;
  std::int64_t sunk_wild = 0;
  std::int64_t sunk_wild_alive = 0;
  std::map<std::string, std::int64_t> in_zone;
  for (const ZoneBox& zone : zones) in_zone[zone.name] = 0;
  for (const standin::CreatureInfo& creature : standin::Creatures()) {
    ++creatures;
    const bool tamed = creature.team >= kTamedTeam;
    if (!tamed && IsSunk(creature.position)) {
      ++sunk_wild;
      if (!creature.destroyed) ++sunk_wild_alive;
    }
    switch (FateOf(creature, zones)) {
      case Fate::kAlive:
        ++alive;
        continue;
      case Fate::kByGame:
        ++by_game;
        continue;
      case Fate::kInZone:
        for (const ZoneBox& zone : zones) {
          if (zone.Contains(creature.position)) {
            ++in_zone[zone.name];
            break;
          }
        }
        break;
      case Fate::kNoGround:
        ++no_ground;
        break;
    }
    if (tamed) ++tamed_destroyed;
  }
  ordered_json zone_counts = ordered_json::object();
  for (const auto& [name, count] : in_zone) zone_counts[name] = count;
  ordered_json summary;
  summary["event"] = "summary";
  summary["ticks"] = standin::TickCount();
  summary["passes"] = passes_;
  summary["visited"] = visited_;
  summary["creatures"] = creatures;
  summary["alive"] = alive;
  summary["destroyed"] = creatures - alive;
  summary["destroyed_by_game"] = by_game;
  summary["destroyed_no_ground"] = no_ground;
  summary["destroyed_in_zone"] = std::move(zone_counts);
  summary["tamed_destroyed"] = tamed_destroyed;
  summary["sunk_wild"] = sunk_wild;
  summary["sunk_wild_alive"] = sunk_wild_alive;
  // Only in a dry run, so that every other summary keeps its bytes.
  if (ConfiguredDryRun()) summary["dry_run"] = true;
  return summary;
}

// The status asks the plugin itself, so that a zone removed in chat or over RCON shows at once,
// whatever became of the save. Request id 0: script requests count up from 1.
std::vector<std::string> DevServer::PluginZoneLines() {
  constexpr std::string_view kHeading = "zones held by the plugin: ";
  if (!IsLoaded()) return {std::string(kHeading) + "none (the plugin is not loaded)"};
  bool handled = false;
  std::vector<std::string> replies;
  quiet_rcon_ = true;
  try {
    replies = Rcon("BWD.zones", 0, &handled);
  } catch (...) {
    quiet_rcon_ = false;
    throw;
  }
  quiet_rcon_ = false;
  if (!handled || replies.size() != 1) {
    return {std::string(kHeading) + "unknown (BWD.zones did not answer)"};
  }
  std::vector<std::string> lines;
  std::istringstream reply(ShownLines(replies.front()));
  std::string line;
  constexpr std::string_view kCount = "Kill zones: ";
  while (std::getline(reply, line)) {
    if (lines.empty()) {
      lines.push_back(std::string(kHeading) +
                      (line.rfind(kCount, 0) == 0 ? line.substr(kCount.size()) : line));
    } else {
      lines.push_back("  " + line);
    }
  }
  return lines;
}

std::vector<std::string> DevServer::Status() {
  std::vector<std::string> lines;
  const std::vector<ZoneBox> zones = ConfigZones();
  const std::int32_t per_tick = ConfiguredDinosPerTick();
  const std::int64_t since_build = standin::TickCount() - tick_of_build_;
  const std::int64_t roster =
      per_tick <= 0 ? roster_at_build_
                    : std::max<std::int64_t>(0, roster_at_build_ - since_build * per_tick);
  const std::size_t creatures = standin::Creatures().size();
  std::ostringstream out;
  out << "plugin " << (IsLoaded() ? "loaded" : "not loaded") << ", server key \""
      << EscapedName(options_.server_key) << "\", ticks " << standin::TickCount() << ", passes "
      << passes_;
  lines.push_back(out.str());
  lines.push_back("creatures " + std::to_string(creatures) + ", alive " +
                  std::to_string(standin::AliveCreatureCount()));
  lines.push_back(std::string("dry run: ") + (ConfiguredDryRun() ? "on" : "off") +
                  " (DryRun in config.json)" +
                  (chaos_ ? ", chaos: " + std::to_string(chaos_->rate) + "% a tick" : ""));
  lines.push_back("roster: about " + std::to_string(roster) + " left of " +
                  std::to_string(roster_at_build_) + " in this pass (DinosPerTick " +
                  std::to_string(per_tick) + " in config.json)");
  for (std::string& line : PluginZoneLines()) lines.push_back(std::move(line));
  std::string zone_line = "zones in config.json: " + std::to_string(zones.size());
  for (const ZoneBox& zone : zones) zone_line += " [" + EscapedName(zone.name) + "]";
  lines.push_back(zone_line);
  std::string pending = "pending zones: " + std::to_string(pending_zone_players_.size());
  for (const std::string& player : pending_zone_players_) {
    pending += " (" + EscapedName(player) + ")";
  }
  lines.push_back(pending);
  for (const char* kind : {"tick", "rcon", "chat"}) {
    std::string registered = std::string("registered ") + kind + ":";
    for (const std::string& name : standin::RegisteredNames(kind)) {
      registered += " " + EscapedName(name);
    }
    lines.push_back(registered);
  }
  return lines;
}

}  // namespace brimwarden::devserver
