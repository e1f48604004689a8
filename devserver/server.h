// The dev server's world: the plugin library loaded the way the framework loads it, the stand-in
// world it acts on, and the bookkeeping that the summary, the status and the map report.
//
// Everything here runs on the game thread: the thread that runs commands, ticks and RCON requests
// one at a time, as the real server calls the plugin.
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
  std::int64_t Visited() const { return visited_; }
  /// Duration of every tick run so far, in nanoseconds, and which of them rebuilt the roster.
  const std::vector<long long>& TickTimes() const { return tick_times_; }
  const std::vector<long long>& RebuildTickTimes() const { return rebuild_tick_times_; }

 private:
  void OnEvent(const standin::Event& event);
  void OnActorList(std::vector<AActor*>& actors);
  std::int32_t ConfiguredDinosPerTick() const;
  std::vector<std::string> PluginZoneLines();

  ServerOptions options_;
  EventSink sink_;
  LoadedLibrary library_;
  std::unordered_map<std::int64_t, std::int32_t> teams_;  // every creature spawned: its team
  std::set<std::int64_t> destroyed_by_game_;
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

/// Converts UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace brimwarden::devserver
