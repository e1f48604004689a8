// Zone management: listing the kill zones, inspecting one with a live count of the creatures it
// holds, and removing one, in chat for server admins and over RCON. Each handler runs inside a
// command callback on the game thread and contains whatever is thrown inside it; its game calls
// for the count run inside the fault guard.
//
// Chat commands answer with one message per line; RCON commands with one reply, the same lines
// joined by newlines. Names are converted to the game's text as proper UTF-16 in these replies.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/rcon.h"
#include "brimwarden/host/text.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/sweep/sweep.h"
#include "brimwarden/zones/zones.h"
#include "command_support.h"

namespace brimwarden {
namespace {

constexpr std::string_view kNotAdminReply = "Only server admins can manage kill zones";
constexpr std::string_view kRemovedNotSavedReply =
    "Zone removed, but config.json could not be saved: the file still holds it";
// Chat shows this many zones at most; RCON lists them all.
constexpr std::size_t kMaxZonesInChat = 10;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Each command's name argument starts after the command word and the one character after it.
constexpr std::size_t kZoneInfoPrefixLength = std::string_view("/zoneinfo ").size();
constexpr std::size_t kRemoveZonePrefixLength = std::string_view("/removezone ").size();
constexpr std::size_t kZoneInfoRconPrefixLength = std::string_view("BWD.zoneinfo ").size();
constexpr std::size_t kRemoveZoneRconPrefixLength = std::string_view("BWD.removezone ").size();

using Lines = std::vector<std::string>;

// Takes the name as "/newbox" does: everything after the prefix, untouched; empty when the text
// is no longer than the prefix.
std::string NameArgument(std::u16string_view text, std::size_t prefix_length) {
  if (text.size() <= prefix_length) return {};
  return host::ToUtf8(text.substr(prefix_length));
}

std::u16string_view MessageText(const FString* message) {
  return message == nullptr ? std::u16string_view{} : message->View();
}

ReplyCoordinate Size(float corner1, float corner2) {
  return {std::fabs(static_cast<double>(corner1) - static_cast<double>(corner2))};
}

std::string CornersLine(std::string_view label, const Vector3& c1, const Vector3& c2) {
  return fmt::format("{}: {} {} {} to {} {} {}", label, ReplyCoordinate{c1.X},
                     ReplyCoordinate{c1.Y}, ReplyCoordinate{c1.Z}, ReplyCoordinate{c2.X},
                     ReplyCoordinate{c2.Y}, ReplyCoordinate{c2.Z});
}

// The one place that words the count, whatever became of it. The wild ones are said to be
// destroyed only while the sweep would really destroy them.
std::string InsideNowLine(const std::optional<CreatureCount>& count) {
  if (!count) return "Inside now: could not count (see the server log)";
  std::string_view not_destroyed;
  if (PluginSettings.DinosPerTick <= 0) {
    not_destroyed = "the sweep is off";
  } else if (PluginSettings.WipeGuard.Paused) {
    not_destroyed = "the sweep is paused";
  } else if (PluginSettings.DryRun) {
    not_destroyed = "dry run";
  }
  if (!not_destroyed.empty()) {
    return fmt::format(
        "Inside now: {} wild creatures ({}: not destroyed), {} tamed (never touched)", count->Wild,
        not_destroyed, count->Tamed);
  }
  return fmt::format(
      "Inside now: {} wild creatures (destroyed as the sweep reaches them), {} tamed (never "
      "touched)",
      count->Wild, count->Tamed);
}

Lines ZoneListLines(std::size_t limit) {
  const std::vector<KillZone>& zones = PluginSettings.KillZones;
  Lines lines{fmt::format("Kill zones: {}", zones.size())};
  const std::size_t shown = std::min(zones.size(), limit);
  for (std::size_t index = 0; index < shown; ++index) {
    lines.push_back(
        CornersLine(EscapedName(zones[index].Name), zones[index].Corner1, zones[index].Corner2));
  }
  if (shown < zones.size()) {
    lines.push_back(
        fmt::format("... and {} more; BWD.zones over RCON lists them all", zones.size() - shown));
  }
  return lines;
}

// The box with its size, then the live count of the creatures inside it.
Lines BoxInfoLines(std::string_view label, const Vector3& c1, const Vector3& c2) {
  Lines lines{fmt::format("{}, size {} x {} x {}", CornersLine(label, c1, c2), Size(c1.X, c2.X),
                          Size(c1.Y, c2.Y), Size(c1.Z, c2.Z))};
  lines.push_back(InsideNowLine(CountCreaturesInBox(c1, c2)));
  return lines;
}

// The first zone of that name, or the reply that there is none.
Lines ZoneInfoLines(const std::string& name) {
  const std::vector<KillZone>& zones = PluginSettings.KillZones;
  const auto found = std::find_if(zones.begin(), zones.end(),
                                  [&](const KillZone& zone) { return zone.Name == name; });
  if (found == zones.end()) return {fmt::format("No kill zone named {}", EscapedName(name))};
  return BoxInfoLines(EscapedName(found->Name), found->Corner1, found->Corner2);
}

// The preview of the player's pending zone: what "/confirm" is about to destroy.
Lines PendingZoneInfoLines(AShooterPlayerController* player) {
  const auto found = PendingZones.find(player);
  if (found == PendingZones.end()) return {zones::kNotStartedReply};
  const PendingZone& pending = found->second;
  if (!zones::IsCornerSet(pending.Corner1) || !zones::IsCornerSet(pending.Corner2)) {
    return {zones::kCornersMissingReply};
  }
  return BoxInfoLines(EscapedName(pending.Name) + " (not confirmed)", pending.Corner1,
                      pending.Corner2);
}

// Takes every zone of that name out of KillZones at once, so the sweep stops using it from its
// next visit, then saves the section as "/confirm" does.
std::string RemoveZone(std::string_view where, const std::string& name) {
  if (RemoveKillZonesNamed(name) == 0) {
    return fmt::format("No kill zone named {}", EscapedName(name));
  }
  bool saved = false;
  ContainExceptions(std::string(where) + ": SaveKillZones", [&] { saved = SaveKillZones(); });
  if (!saved) return std::string(kRemovedNotSavedReply);
  return fmt::format("Zone removed: {}", EscapedName(name));
}

void SendChatLines(AShooterPlayerController* player, const Lines& lines) {
  for (const std::string& line : lines) SendChatTextUtf8(player, line);
}

template <typename Body>
void RunManagementCommand(const char* where, AShooterPlayerController* player, Body&& body) {
  zones::RunAdminCommand(where, kNotAdminReply, player, [&] { SendChatLines(player, body()); });
}

// One RCON reply: the lines joined by newlines.
std::string JoinLines(const Lines& lines) {
  std::string reply;
  for (const std::string& line : lines) {
    if (!reply.empty()) reply += '\n';
    reply += line;
  }
  return reply;
}

template <typename Body>
void RunRconCommand(const char* where, RCONClientConnection* connection, RCONPacket* packet,
                    Body&& body) {
  ContainExceptions(where, [&] {
    host::SendRconReply(connection, packet, JoinLines(body(host::RconCommandText(packet))));
  });
}

}  // namespace

namespace {

// A named predicate rather than a lambda: clang writes a lambda's type into the debug information
// with the source file's path as the compiler saw it, which no path map reaches here, and the
// release builds must not depend on the folder they were built in.
struct HasName {
  std::string_view name;
  bool operator()(const KillZone& zone) const { return zone.Name == name; }
};

}  // namespace

std::string ZoneListText() { return JoinLines(ZoneListLines(kNoLimit)); }

std::size_t RemoveKillZonesNamed(std::string_view name) {
  return std::erase_if(PluginSettings.KillZones, HasName{name});
}

void ZonesCommand(AShooterPlayerController* player, FString* /*message*/,
                  EChatSendMode::Type /*mode*/) {
  RunManagementCommand("ZonesCommand", player, [] { return ZoneListLines(kMaxZonesInChat); });
}

void ZoneInfoCommand(AShooterPlayerController* player, FString* message,
                     EChatSendMode::Type /*mode*/) {
  RunManagementCommand("ZoneInfoCommand", player, [&] {
    // In chat, no name means the player's own zone in the making.
    const std::string name = NameArgument(MessageText(message), kZoneInfoPrefixLength);
    return name.empty() ? PendingZoneInfoLines(player) : ZoneInfoLines(name);
  });
}

void RemoveZoneCommand(AShooterPlayerController* player, FString* message,
                       EChatSendMode::Type /*mode*/) {
  RunManagementCommand("RemoveZoneCommand", player, [&] {
    const std::string name = NameArgument(MessageText(message), kRemoveZonePrefixLength);
    return Lines{RemoveZone("RemoveZoneCommand", name)};
  });
}

void ZonesRconCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  RunRconCommand("ZonesRconCommand", connection, packet,
                 [](std::u16string_view /*text*/) { return ZoneListLines(kNoLimit); });
}

void ZoneInfoRconCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  RunRconCommand("ZoneInfoRconCommand", connection, packet, [](std::u16string_view text) {
    return ZoneInfoLines(NameArgument(text, kZoneInfoRconPrefixLength));
  });
}

void RemoveZoneRconCommand(RCONClientConnection* connection, RCONPacket* packet,
                           UWorld* /*world*/) {
  RunRconCommand("RemoveZoneRconCommand", connection, packet, [](std::u16string_view text) {
    return Lines{
        RemoveZone("RemoveZoneRconCommand", NameArgument(text, kRemoveZoneRconPrefixLength))};
  });
}

}  // namespace brimwarden
