// "BWD.status" over RCON: what the sweep is doing and what the latest load found, in one reply;
// beside it "BWD.recent", the sweep's last destroys, and "BWD.resume", which ends a pause of the
// wipe guard.
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
      "Brimwarden: server key {}; DinosPerTick {}, BottomRayDistance {}, MaxDestroyShare {:g}; {} "
      "kill zones; dry run {}",
      settings.ServerKey.empty() ? std::string("(none)") : EscapedName(settings.ServerKey),
      settings.DinosPerTick, bottom_ray_distance, settings.MaxDestroyShare,
      settings.KillZones.size(), settings.DryRun ? "on" : "off");
  text += settings.LastLoadFailed ? "\nLast load: failed: " + settings.LastLoadError
                                  : std::string("\nLast load: ok");
  text += fmt::format("\nSweep: pass {}, {} creatures left in this pass; {} visits since load",
                      SweepStats.PassesStarted, CreatureRoster.Num(), SweepStats.Visits);
  text += fmt::format(
      "\nDestroyed since load: {} in kill zones, {} with no ground; faults contained: {}",
      SweepStats.DestroyedInKillZones, SweepStats.DestroyedNoGround, SweepStats.FaultsContained);
  if (settings.DryRun) {
    text += fmt::format(
        "\nDry run, this pass so far: would destroy {} in kill zones, {} with no ground; last "
        "pass: ",
        SweepStats.DryRunPassInKillZones, SweepStats.DryRunPassNoGround);
    text += SweepStats.HasDryRunLastPass ? fmt::format("{} in kill zones, {} with no ground",
                                                       SweepStats.DryRunLastPassInKillZones,
                                                       SweepStats.DryRunLastPassNoGround)
                                         : std::string("none");
  }
  const WipeGuardState& guard = settings.WipeGuard;
  if (guard.Paused) {
    text += fmt::format(
        "\nPaused by the wipe guard in pass {}: {} of {} creatures visited would have been "
        "destroyed; send BWD.resume to go on",
        guard.TripPass, guard.TripCondemned, guard.TripVisited);
  }
  return text;
}

std::string RecentDestroysText() {
  const std::size_t count = RecentDestroys.Count();
  if (count == 0) return "Nothing destroyed since load";
  std::string text = fmt::format("Last {} destroyed, newest first:", count);
  for (std::size_t age = 0; age < count; ++age) {
    const DestroyRecord& record = RecentDestroys.Newest(age);
    text +=
        fmt::format("\nPass {}: creature at {:g} {:g} {:g} ({})", record.Pass,
                    static_cast<double>(record.Position.X), static_cast<double>(record.Position.Y),
                    static_cast<double>(record.Position.Z), EscapedName(record.Cause));
  }
  return text;
}

std::string ResumeText() {
  return ResumeSweep() ? "Sweep resumed; the wipe guard judges again from the next pass"
                       : "The sweep is not paused";
}

void StatusCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  ContainExceptions("StatusCommand",
                    [&] { host::SendRconReply(connection, packet, StatusText()); });
}

void ResumeCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  ContainExceptions("ResumeCommand",
                    [&] { host::SendRconReply(connection, packet, ResumeText()); });
}

void RecentCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  ContainExceptions("RecentCommand",
                    [&] { host::SendRconReply(connection, packet, RecentDestroysText()); });
}

}  // namespace brimwarden
