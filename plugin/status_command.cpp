// "BWD.status" over RCON: what the sweep is doing and what the latest load found, in one reply.
// It reads only what the plugin holds: no lookup of the server key, no game call but the reply,
// and nothing logged. Game thread only, like every command.
#include <cstdint>
#include <string>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/rcon.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/sweep/sweep.h"

namespace brimwarden {

std::string StatusText() {
  const Settings& settings = PluginSettings;
  // Shown as configured: the record holds the distance negated.
  const std::int64_t bottom_ray_distance = -static_cast<std::int64_t>(settings.BottomRayDistance);
  std::string text = fmt::format(
      "Brimwarden: server key {}; DinosPerTick {}, BottomRayDistance {}; {} kill zones; dry run {}",
      settings.ServerKey.empty() ? std::string("(none)") : settings.ServerKey,
      settings.DinosPerTick, bottom_ray_distance, settings.KillZones.size(),
      settings.DryRun ? "on" : "off");
  text += settings.LastLoadFailed ? "\nLast load: failed: " + settings.LastLoadError
                                  : std::string("\nLast load: ok");
  text += fmt::format("\nSweep: pass {}, {} creatures left in this pass; {} visits since load",
                      SweepStats.PassesStarted, CreatureRoster.Num(), SweepStats.Visits);
  text += fmt::format("\n{} since load: {} in kill zones, {} with no ground; faults contained: {}",
                      settings.DryRun ? "Would have destroyed" : "Destroyed",
                      SweepStats.DestroyedInKillZones, SweepStats.DestroyedNoGround,
                      SweepStats.FaultsContained);
  return text;
}

void StatusCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  ContainExceptions("StatusCommand",
                    [&] { host::SendRconReply(connection, packet, StatusText()); });
}

}  // namespace brimwarden
