// The dev server's world and its commands.
#include "server.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "brimwarden/logging/logging.h"
#include "events.h"

namespace brimwarden::devserver {
namespace {

using nlohmann::ordered_json;

constexpr float kTickSeconds = 1.0F / static_cast<float>(kTicksPerSecond);
constexpr std::int32_t kTamedTeam = 50000;
// A creature standing on the ground holds its position this far above the surface; a sunk one
// lies between kSunkDepthMin and kSunkDepthMin + kSunkDepthRange below it.
constexpr float kStandingHeight = 60.0F;
constexpr double kSunkDepthMin = 200.0;
constexpr double kSunkDepthRange = 3000.0;
constexpr int kPlacementAttempts = 32;
// What chaos spawns in place of the creatures it destroys.
constexpr double kChaosSunkPercent = 1.0;
constexpr double kChaosTamedPercent = 30.0;
constexpr const char* kGroundQuery = "APrimalCharacter.GetGroundLocation";
// The first game call of every visit of the sweep asks whether the roster entry is a creature;
// nothing else calls it inside a tick, so its calls there count the entries taken.
constexpr const char* kClassTest = "UObjectBaseUtility.IsA";
// Under chaos the game reuses a freed creature's memory soon, as a real allocator does: a roster
// entry left behind then reaches a new creature, tamed or not, more often than a fault.
constexpr std::size_t kChaosPagesKept = 16;

std::filesystem::path ConfigPath(const std::filesystem::path& dir) {
  return dir / "ArkApi" / "Plugins" / "Brimwarden" / "config.json";
}

float ReadCoordinate(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1.0F : 0.0F;
  return value.get<float>();
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    const unsigned char lead = byte(i);
    int length = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07U;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      const unsigned char next = byte(i + k);
      valid = (next & 0xC0U) == 0x80U;
      code = (code << 6) | (next & 0x3FU);
    }
    if (valid && ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
                  (length == 4 && (code < 0x10000 || code > 0x10FFFF)))) {
      valid = false;
    }
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FFU)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += static_cast<std::size_t>(length);
  }
  return out;
}

DevServer::DevServer(ServerOptions options, EventSink sink)
    : options_(std::move(options)), sink_(std::move(sink)) {
  std::filesystem::create_directories(options_.dir / "ArkApi" / "Plugins" / "Brimwarden");
  standin::SetServerDir(PathToUtf8(options_.dir));
  standin::SetEventListener([this](const standin::Event& event) { OnEvent(event); });
  standin::SetActorListHook([this](std::vector<AActor*>& actors) { OnActorList(actors); });
}

DevServer::~DevServer() {
  Unload();
  standin::SetActorListHook(nullptr);
  standin::SetEventListener(nullptr);
}

void DevServer::Load() { library_.Open(options_.plugin_path); }

void DevServer::Unload() { library_.Close(); }

void DevServer::OnEvent(const standin::Event& event) {
  if (event.kind == standin::EventKind::kChat) {
    // The zone commands' replies tell which players have a zone in the making.
    if (event.text.rfind("Making zone: ", 0) == 0) pending_zone_players_.insert(event.to);
    if (event.text == "Zone created" || event.text == "Zone creation cancelled") {
      pending_zone_players_.erase(event.to);
    }
  }
  if (event.kind == standin::EventKind::kDestroy) {
    const auto found = alive_index_.find(event.creature);
    if (found != alive_index_.end()) {
      // Swap-remove: the last id takes the place of the one that went.
      const std::size_t place = found->second;
      alive_index_.erase(found);
      const std::int64_t last = alive_ids_.back();
      alive_ids_.pop_back();
      if (last != event.creature) {
        alive_ids_[place] = last;
        alive_index_[last] = place;
      }
    }
  }
  if (event.kind == standin::EventKind::kRcon && rcon_capture_ != nullptr) {
    rcon_capture_->push_back(event.text);
    if (quiet_rcon_) return;
  }
  if (sink_) sink_(event);
}

// The plugin asks for the creature list when it builds its roster: at load, and in the tick that
// finds the roster empty, which ends a pass.
void DevServer::OnActorList(std::vector<AActor*>& actors) {
  std::int64_t wild = 0;
  for (AActor* actor : actors) {
    if (actor == nullptr) continue;
    const auto found = teams_.find(standin::CreatureId(actor));
    if (found != teams_.end() && found->second < kTamedTeam) ++wild;
  }
  if (in_tick_) {
    ++passes_;
    rebuilt_in_tick_ = true;
  }
  roster_at_build_ = wild;
  tick_of_build_ = standin::TickCount();
}

void DevServer::Tick(std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    if (chaos_) RunChaos();
    in_tick_ = true;
    rebuilt_in_tick_ = false;
    const std::int64_t class_tests = standin::GameFunctionCalls(kClassTest);
    const long long start = NowNanoseconds();
    standin::Tick(kTickSeconds);
    const long long elapsed = NowNanoseconds() - start;
    in_tick_ = false;
    visited_ += standin::GameFunctionCalls(kClassTest) - class_tests;
    tick_times_.push_back(elapsed);
    if (rebuilt_in_tick_) rebuild_tick_times_.push_back(elapsed);
  }
  standin::ClearEvents();  // the events went out through the listener already
}

std::vector<std::string> DevServer::Rcon(const std::string& text, std::int32_t request_id,
                                         bool* handled) {
  std::vector<std::string> replies;
  rcon_capture_ = &replies;
  bool taken = false;
  try {
    taken = standin::SendRcon(text, request_id);
  } catch (...) {
    rcon_capture_ = nullptr;
    throw;
  }
  rcon_capture_ = nullptr;
  standin::ClearEvents();
  if (handled != nullptr) *handled = taken;
  return replies;
}

void DevServer::Populate(std::int64_t count, double sunk_percent, double tamed_percent,
                         std::uint32_t seed) {
  Random random(seed);
  PopulateWith(random, count, sunk_percent, tamed_percent);
}

void DevServer::Spawned(std::int64_t id, std::int32_t team) {
  teams_[id] = team;
  alive_index_[id] = alive_ids_.size();
  alive_ids_.push_back(id);
}

void DevServer::StartChaos(double rate, std::uint32_t seed, double fault_rate) {
  chaos_ = Chaos{rate, Random(seed)};
  standin::SetReclaimedPagesKept(kChaosPagesKept);
  standin::FailGameFunctionAtRate(kGroundQuery, fault_rate, seed);
}

// The game's own churn, before the tick: creatures destroyed (their memory reclaimed after the
// usual delay, then reused for new ones) while the plugin's roster still holds them.
void DevServer::RunChaos() {
  const auto count = static_cast<std::int64_t>(
      std::floor(static_cast<double>(alive_ids_.size()) * chaos_->rate / 100.0));
  for (std::int64_t i = 0; i < count && !alive_ids_.empty(); ++i) {
    const std::int64_t id = alive_ids_[chaos_->random.Next() % alive_ids_.size()];
    destroyed_by_game_.insert(id);
    standin::DestroyByGame(id);  // its destroy event takes it off alive_ids_
  }
  PopulateWith(chaos_->random, count, kChaosSunkPercent, kChaosTamedPercent);
}

void DevServer::PopulateWith(Random& random, std::int64_t count, double sunk_percent,
                             double tamed_percent) {
  for (std::int64_t i = 0; i < count; ++i) {
    const bool tamed = random.Unit() * 100.0 < tamed_percent;
    const bool sunk = random.Unit() * 100.0 < sunk_percent;
    const std::int32_t team = tamed ? kTamedTeam + static_cast<std::int32_t>(random.Next() % 950000)
                                    : static_cast<std::int32_t>(random.Next() % kTamedTeam);
    Vector3 position;
    float ground = 0.0F;
    for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
      position.X = static_cast<float>((random.Unit() * 2.0 - 1.0) * kWorldHalfSize);
      position.Y = static_cast<float>((random.Unit() * 2.0 - 1.0) * kWorldHalfSize);
      ground = standin::GroundHeightAt(position.X, position.Y);
      if (!std::isnan(ground)) break;
    }
    const double depth = kSunkDepthMin + random.Unit() * kSunkDepthRange;
    if (std::isnan(ground)) ground = 0.0F;  // all holes: lay it at 0, it has no ground anyway
    position.Z = sunk ? static_cast<float>(ground - depth) : ground + kStandingHeight;
    const std::int64_t id = next_creature_id_++;
    standin::SpawnCreature(id, team, position);
    Spawned(id, team);
  }
}

void DevServer::Execute(const Command& command) {
  switch (command.kind) {
    case CommandKind::kTerrainFlat:
      standin::SetFlatTerrain(command.height);
      return;
    case CommandKind::kTerrainHills:
      standin::SetHillsTerrain(command.seed);
      return;
    case CommandKind::kCreature:
      if (teams_.count(command.id) != 0) {
        throw std::runtime_error("creature " + std::to_string(command.id) + " already exists");
      }
      standin::SpawnCreature(command.id, command.team, command.position);
      Spawned(command.id, command.team);
      next_creature_id_ = std::max(next_creature_id_, command.id + 1);
      return;
    case CommandKind::kPopulate:
      Populate(command.count, command.sunk_percent, command.tamed_percent, command.seed);
      return;
    case CommandKind::kPlayer:
      if (standin::FindPlayer(command.name) != nullptr) {
        throw std::runtime_error("player " + command.name + " already exists");
      }
      standin::AddPlayer(command.name, command.admin);
      return;
    case CommandKind::kMove:
    case CommandKind::kChat: {
      AShooterPlayerController* player = standin::FindPlayer(command.name);
      if (player == nullptr) throw std::runtime_error("no player named " + command.name);
      if (command.kind == CommandKind::kMove) {
        standin::MovePlayer(player, command.position);
      } else {
        standin::SendChat(player, Utf8ToUtf16(command.text));
        standin::ClearEvents();
      }
      return;
    }
    case CommandKind::kRcon:
      Rcon(command.text, NextRconId(), nullptr);
      return;
    case CommandKind::kTick:
      Tick(command.count);
      return;
    case CommandKind::kUnload:
      if (!IsLoaded()) throw std::runtime_error("the plugin is not loaded");
      Unload();
      return;
    case CommandKind::kLoad:
      if (IsLoaded()) throw std::runtime_error("the plugin is already loaded");
      Load();
      return;
    case CommandKind::kWrite: {
      const std::filesystem::path path = options_.dir / PathFromUtf8(command.name);
      std::filesystem::create_directories(path.parent_path());
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << command.text;
      out.close();
      if (!out) throw std::runtime_error("cannot write " + PathToUtf8(path));
      return;
    }
    case CommandKind::kDestroy:
      if (teams_.count(command.id) == 0) {
        throw std::runtime_error("no creature " + std::to_string(command.id));
      }
      if (standin::IsDestroyed(command.id)) {
        throw std::runtime_error("creature " + std::to_string(command.id) +
                                 " is already destroyed");
      }
      destroyed_by_game_.insert(command.id);
      standin::DestroyByGame(command.id);
      return;
    case CommandKind::kTeam:
      if (teams_.count(command.id) == 0) {
        throw std::runtime_error("no creature " + std::to_string(command.id));
      }
      if (standin::IsDestroyed(command.id)) {
        throw std::runtime_error("creature " + std::to_string(command.id) +
                                 " is already destroyed");
      }
      standin::SetTeam(command.id, command.team);
      teams_[command.id] = command.team;
      return;
    case CommandKind::kChaos:
      StartChaos(command.rate, command.seed, command.fault_rate);
      return;
    case CommandKind::kHelp:
    case CommandKind::kStatus:
    case CommandKind::kMap:
    case CommandKind::kRun:
    case CommandKind::kQuit:
      break;
  }
  throw std::runtime_error("this command works only at the prompt");
}

std::vector<ZoneBox> DevServer::ConfigZones() const {
  std::vector<ZoneBox> zones;
  try {
    std::ifstream in(ConfigPath(options_.dir), std::ios::binary);
    if (!in) return zones;
    nlohmann::json document;
    in >> document;
    const nlohmann::json& section = document.at(options_.server_key);
    if (!section.is_object() || !section.contains("Kill Zones")) return zones;
    for (const auto& [name, zone] : section.at("Kill Zones").items()) {
      const nlohmann::json& c1 = zone.at("Corner1");
      const nlohmann::json& c2 = zone.at("Corner2");
      const Vector3 a{ReadCoordinate(c1.at(0)), ReadCoordinate(c1.at(1)), ReadCoordinate(c1.at(2))};
      const Vector3 b{ReadCoordinate(c2.at(0)), ReadCoordinate(c2.at(1)), ReadCoordinate(c2.at(2))};
      zones.push_back({name,
                       {std::min(a.X, b.X), std::min(a.Y, b.Y), std::min(a.Z, b.Z)},
                       {std::max(a.X, b.X), std::max(a.Y, b.Y), std::max(a.Z, b.Z)}});
    }
  } catch (const std::exception&) {
    // A file the plugin itself would refuse: the zones read so far are all there are.
  }
  return zones;
}

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

nlohmann::json DevServer::ConfigSection() const {
  try {
    std::ifstream in(ConfigPath(options_.dir), std::ios::binary);
    nlohmann::json document;
    in >> document;
    return document.at(options_.server_key);
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::int32_t DevServer::ConfiguredDinosPerTick() const {
  try {
    const auto value = ConfigSection().value("DinosPerTick", 0);
    return value == 0 ? 20 : value;
  } catch (const std::exception&) {
    return 0;
  }
}

bool DevServer::ConfiguredDryRun() const {
  const nlohmann::json section = ConfigSection();
  if (!section.is_object()) return false;
  const auto found = section.find("DryRun");
  return found != section.end() && found->is_boolean() && found->get<bool>();
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
