// The dev server's world: the plugin library loaded the way the framework loads it, the stand-in
// world it acts on, and the bookkeeping that the summary, the status and the map report.
//
// Everything here runs on the game thread: the thread that runs commands, ticks and RCON requests
// one at a time, as the real server calls the plugin.
//
// DevServer's members live by job: server.cpp (the library, ticks, RCON and the bookkeeping),
// population.cpp (creatures placed at random, chaos), commands.cpp (one script command),
// server_config.cpp (what config.json says), reports.cpp (summary and status), svg_map.cpp (the
// map picture).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "brimwarden/standin/standin.h"
#include "platform.h"
#include "script.h"

namespace brimwarden::devserver {

/// The edge of the square world that `populate` fills and the map shows: [-kWorldHalfSize,
/// kWorldHalfSize] on X and Y.
inline constexpr float kWorldHalfSize = 100000.0F;
/// The server's tick rate.
inline constexpr int kTicksPerSecond = 30;
/// The lowest team number of a tamed creature; the sweep leaves those alone.
inline constexpr std::int32_t kTamedTeam = 50000;

/// A kill zone as this server's section of config.json holds it.
struct ZoneBox {
  std::string name;
  Vector3 low;
  Vector3 high;
  bool Contains(const Vector3& p) const {
    return low.X <= p.X && p.X <= high.X && low.Y <= p.Y && p.Y <= high.Y && low.Z <= p.Z &&
           p.Z <= high.Z;
  }
};

/// A small deterministic generator (splitmix64): the same numbers on every platform, unlike the
/// standard distributions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// A number in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

/// Why a creature is gone, or that it is not.
enum class Fate { kAlive, kByGame, kInZone, kNoGround };

struct ServerOptions {
  std::filesystem::path dir;          // the server directory
  std::filesystem::path plugin_path;  // the plugin library
  std::string server_key;             // as the plugin will find it on the command line
};

class DevServer {
 public:
  using EventSink = std::function<void(const standin::Event&)>;

  /// Prepares the server directory and the stand-in; does not load the plugin yet.
  DevServer(ServerOptions options, EventSink sink);
  /// Unloads the plugin if it is loaded and detaches from the stand-in.
  ~DevServer();
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;

  /// Loads the plugin library. Throws std::runtime_error.
  void Load();
  void Unload();
  bool IsLoaded() const { return library_.IsOpen(); }

  /// Runs one command of the script language. Throws std::runtime_error when it cannot run
  /// (an unknown player, a creature id used twice...). Prompt-only commands are not handled here.
  void Execute(const Command& command);

  /// Runs `count` server ticks, timing each.
  void Tick(std::int64_t count);

  /// Sends an RCON command as a client with this request id would; returns the reply texts.
  /// `handled` tells whether any registered command took it.
  std::vector<std::string> Rcon(const std::string& text, std::int32_t request_id, bool* handled);
  /// The next request id for an RCON command sent from a script.
  std::int32_t NextRconId() { return next_rcon_id_++; }

  /// Adds `count` creatures at random positions, ids continuing after the highest so far.
  void Populate(std::int64_t count, double sunk_percent, double tamed_percent, std::uint32_t seed);
  /// From the next tick on, the game destroys `rate` percent of the living creatures each tick
  /// (rounded down) and spawns as many new ones, and `fault_rate` percent of the ground queries
  /// fail. Both drawn with `seed`.
  void StartChaos(double rate, std::uint32_t seed, double fault_rate);

  /// Reads this server's kill zones from config.json (none when it cannot be read).
  std::vector<ZoneBox> ConfigZones() const;
  /// Tells why a creature is gone, given the zones to test.
  Fate FateOf(const standin::CreatureInfo& creature, const std::vector<ZoneBox>& zones) const;
  /// Tells whether a creature lies below the terrain surface or over a hole.
  static bool IsSunk(const Vector3& position);

  /// The summary line: counts that depend only on what was run.
  nlohmann::ordered_json Summary() const;
  /// Readable status lines for the prompt. The zones the plugin holds in memory come from its own
  /// "BWD.zones", asked over the RCON path without an event.
  std::vector<std::string> Status();
  /// Writes the map picture. Throws std::runtime_error.
  void WriteMap(const std::filesystem::path& path) const;

  const ServerOptions& Options() const { return options_; }
  std::int64_t Passes() const { return passes_; }
  /// The wild creatures the latest roster build listed.
  std::int64_t RosterAtBuild() const { return roster_at_build_; }
  /// Tells whether a tick of the stand-in is running (so an event comes from the plugin's step).
  bool InTick() const { return in_tick_; }
  /// Tells whether this server's section of config.json asks for a dry run.
  bool ConfiguredDryRun() const;
  /// The roster entries the sweep took since the start of the run, across loads of the library.
  std::int64_t Visited() const { return visited_; }
  /// Duration of every tick run so far, in nanoseconds, and which of them rebuilt the roster.
  const std::vector<long long>& TickTimes() const { return tick_times_; }
  const std::vector<long long>& RebuildTickTimes() const { return rebuild_tick_times_; }

 private:
  void OnEvent(const standin::Event& event);
  void OnActorList(std::vector<AActor*>& actors);
  void PopulateWith(Random& random, std::int64_t count, double sunk_percent, double tamed_percent);
  void Spawned(std::int64_t id, std::int32_t team);
  void RunChaos();
  /// Reads this server's section of config.json; null when it cannot be read.
  nlohmann::json ConfigSection() const;
  std::int32_t ConfiguredDinosPerTick() const;
  std::vector<std::string> PluginZoneLines();

  ServerOptions options_;
  EventSink sink_;
  LoadedLibrary library_;
  std::unordered_map<std::int64_t, std::int32_t> teams_;  // every creature spawned: its team
  std::set<std::int64_t> destroyed_by_game_;
  // The creatures alive, for the chaos to choose from: ids, and each id's place among them.
  std::vector<std::int64_t> alive_ids_;
  std::unordered_map<std::int64_t, std::size_t> alive_index_;
  std::int64_t wild_alive_ = 0;  // of those, the ones with a wild team
  struct Chaos {
    double rate;
    Random random;
  };
  std::optional<Chaos> chaos_;
  std::int64_t next_creature_id_ = 1;
  std::int32_t next_rcon_id_ = 1;
  std::set<std::string> pending_zone_players_;
  std::vector<std::string>* rcon_capture_ = nullptr;
  bool quiet_rcon_ = false;  // a captured reply is not passed on as an event

  bool in_tick_ = false;
  bool rebuilt_in_tick_ = false;
  std::int64_t passes_ = 0;
  std::int64_t visited_ = 0;
  std::int64_t roster_at_build_ = 0;
  std::int64_t tick_of_build_ = 0;
  std::vector<long long> tick_times_;
  std::vector<long long> rebuild_tick_times_;
};

}  // namespace brimwarden::devserver
