// The five zone commands. Each runs inside a chat command callback on the game thread, answers its
// sender with one chat message (a "/confirm" that replaces a zone adds a second), and contains
// whatever is thrown inside it: the changes made before the throw stay, the message goes to the log
// at error.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "brimwarden/config/config.h"
#include "brimwarden/host/game_names.h"
#include "brimwarden/host/text.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/zones/zones.h"
#include "command_support.h"

namespace brimwarden {
namespace {

// "/newbox" and the one character after it.
constexpr std::int32_t kNewBoxPrefixLength = 8;

constexpr char kNotAdminReply[] = "Only server admins can define kill zones";
constexpr char kZoneCreatedReply[] = "Zone created";
constexpr char kZoneNotSavedReply[] =
    "Zone created, but it could not be saved to config.json: it stays active until the plugin "
    "reloads its configuration";
constexpr char kCancelledReply[] = "Zone creation cancelled";
constexpr char kSweepOffUntilLoadReply[] =
    "Zone created, but the sweep is off until this server's section loads: send BWD.reload";
constexpr char kSweepOffReply[] = "Zone created, but the sweep is off: DinosPerTick is 0 or less";

using zones::IsCornerSet;
using zones::kCornersMissingReply;
using zones::kNotStartedReply;

template <typename Body>
void RunAdminCommand(const char* where, AShooterPlayerController* player, Body&& body) {
  zones::RunAdminCommand(where, kNotAdminReply, player, std::forward<Body>(body));
}

// Looks the player up; that lookup alone decides whether the player has an entry. Without one,
// sends the not-started reply and returns the end of the table.
auto FindPendingZone(AShooterPlayerController* player) {
  const auto found = PendingZones.find(player);
  if (found == PendingZones.end()) SendChatReply(player, kNotStartedReply);
  return found;
}

using CornerReply = fmt::format_string<ReplyCoordinate, ReplyCoordinate, ReplyCoordinate>;

void SetCorner(AShooterPlayerController* player, Vector3 PendingZone::*corner, CornerReply reply) {
  const auto found = FindPendingZone(player);
  if (found == PendingZones.end()) return;
  const Vector3 position = ReadPlayerPosition(player);
  found->second.*corner = position;
  // Only the reply is rounded; the stored corner keeps its full value.
  SendChatReply(player, reply, ReplyCoordinate{position.X}, ReplyCoordinate{position.Y},
                ReplyCoordinate{position.Z});
}

}  // namespace

void NewBoxCommand(AShooterPlayerController* player, FString* message,
                   EChatSendMode::Type /*mode*/) {
  RunAdminCommand("NewBoxCommand", player, [&] {
    // Everything after "/newbox " belongs to the name, untouched: leading spaces, further words.
    std::string name;
    if (message != nullptr && message->Len() > kNewBoxPrefixLength) {
      name = host::ToUtf8(message->View().substr(kNewBoxPrefixLength));
    }
    // The reply goes out before the table changes.
    SendChatReply(player,
                  "Making zone: {} please go to both respective corners and use /setcorner1 and "
                  "/setcorner2",
                  name);
    PendingZones.insert_or_assign(player, PendingZone{std::move(name), {}, {}});
  });
}

void SetCorner1Command(AShooterPlayerController* player, FString* /*message*/,
                       EChatSendMode::Type /*mode*/) {
  RunAdminCommand("SetCorner1Command", player, [&] {
    SetCorner(player, &PendingZone::Corner1, "Corner 1 set to XYZ: {} {} {}");
  });
}

void SetCorner2Command(AShooterPlayerController* player, FString* /*message*/,
                       EChatSendMode::Type /*mode*/) {
  RunAdminCommand("SetCorner2Command", player, [&] {
    SetCorner(player, &PendingZone::Corner2, "Corner 2 set to XYZ: {} {} {}");
  });
}

void ConfirmCommand(AShooterPlayerController* player, FString* /*message*/,
                    EChatSendMode::Type /*mode*/) {
  RunAdminCommand("ConfirmCommand", player, [&] {
    const auto found = FindPendingZone(player);
    if (found == PendingZones.end()) return;
    const PendingZone& pending = found->second;
    if (!IsCornerSet(pending.Corner1) || !IsCornerSet(pending.Corner2)) {
      SendChatReply(player, kCornersMissingReply);
      return;
    }
    // The file holds one zone per name, and so does memory: an earlier zone of this name would
    // otherwise go on destroying creatures in a box that no zone of the file covers.
    std::optional<KillZone> replaced;
    for (const KillZone& zone : PluginSettings.KillZones) {
      if (zone.Name == pending.Name) {
        replaced = zone;
        break;
      }
    }
    RemoveKillZonesNamed(pending.Name);
    // The corners are kept in the order they were marked; the sweep accepts either order.
    PluginSettings.KillZones.push_back(
        KillZone{pending.Name, pending.Corner1, pending.Corner2, /*ConfirmedSinceSave=*/true});
    PendingZones.erase(found);
    // The zone is active whatever becomes of the save; a save that throws has been logged and
    // counts as failed, so the player is told the zone lives only until the next reload.
    bool saved = false;
    ContainExceptions("ConfirmCommand: SaveKillZones", [&] { saved = SaveKillZones(); });
    // A saved zone that nothing sweeps would mislead: the admin is told what is missing.
    if (!saved) {
      SendChatReply(player, kZoneNotSavedReply);
    } else if (PluginSettings.DinosPerTick > 0) {
      SendChatReply(player, kZoneCreatedReply);
    } else if (PluginSettings.LastLoadFailed) {
      SendChatReply(player, kSweepOffUntilLoadReply);
    } else {
      SendChatReply(player, kSweepOffReply);
    }
    // Two admins may pick one name: the second learns what the first had made.
    if (replaced) {
      SendChatTextUtf8(
          player,
          fmt::format("It replaced the earlier zone {}: {} {} {} to {} {} {}",
                      EscapedName(replaced->Name), ReplyCoordinate{replaced->Corner1.X},
                      ReplyCoordinate{replaced->Corner1.Y}, ReplyCoordinate{replaced->Corner1.Z},
                      ReplyCoordinate{replaced->Corner2.X}, ReplyCoordinate{replaced->Corner2.Y},
                      ReplyCoordinate{replaced->Corner2.Z}));
    }
  });
}

void CancelCommand(AShooterPlayerController* player, FString* /*message*/,
                   EChatSendMode::Type /*mode*/) {
  RunAdminCommand("CancelCommand", player, [&] {
    const auto found = FindPendingZone(player);
    if (found == PendingZones.end()) return;
    PendingZones.erase(found);
    SendChatReply(player, kCancelledReply);
  });
}

}  // namespace brimwarden
