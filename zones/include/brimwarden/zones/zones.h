// Zone authoring in chat: each player's zone being defined, and the five commands that name it,
// mark its corners and confirm or drop it. Runs on the game thread inside chat command callbacks.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "brimwarden/host/game_types.h"

namespace brimwarden {

/// The zone one player is defining. A corner at (0, 0, 0) counts as not yet marked.
struct PendingZone {
  std::string Name;
  Vector3 Corner1;
  Vector3 Corner2;
};

/// Each player's pending zone, keyed by the address of the player's controller.
extern std::map<AShooterPlayerController*, PendingZone> PendingZones;

void NewBoxCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void SetCorner1Command(AShooterPlayerController* player, FString* message,
                       EChatSendMode::Type mode);
void SetCorner2Command(AShooterPlayerController* player, FString* message,
                       EChatSendMode::Type mode);
void ConfirmCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void CancelCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);

// Zone management, for server admins in chat and for RCON clients. Names are matched exactly
// against the UTF-8 names of KillZones; replies show names as they were typed.
void ZonesCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void ZoneInfoCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void RemoveZoneCommand(AShooterPlayerController* player, FString* message,
                       EChatSendMode::Type mode);
void ZonesRconCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
void ZoneInfoRconCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
void RemoveZoneRconCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

/// Lists every zone in use with its corners, as "BWD.zones" replies.
std::string ZoneListText();

/// Removes every zone of that name from KillZones, keeping the order of the others; returns how
/// many went.
std::size_t RemoveKillZonesNamed(std::string_view name);

/// Returns the controller's own location, or (0, 0, 0) for a null controller.
Vector3 ReadPlayerPosition(AShooterPlayerController* player);

/// A coordinate (or a length) in a reply. It prints as printf's "%g" prints the value as a double
/// (at most six significant digits); fmt's plain "{}" on a float would print the shortest
/// round-trip form instead.
struct ReplyCoordinate {
  double Value;
};

/// Sends `text` to the player as one chat message from "shBrimwarden". Each byte from 0x80 shows
/// as '?' in the game's string.
void SendChatText(AShooterPlayerController* player, std::string_view text);
/// Sends UTF-8 `text` to the player as one chat message from "shBrimwarden", converted to the
/// game's 16-bit text, so that every character shows as it was typed.
void SendChatTextUtf8(AShooterPlayerController* player, std::string_view text);

/// Formats a reply with fmt and sends it to the player as one chat message. Names are passed as
/// arguments, never as part of `format`, so braces in a name print as they are.
template <typename... Args>
void SendChatReply(AShooterPlayerController* player, fmt::format_string<Args...> format,
                   Args&&... args) {
  SendChatText(player, fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace brimwarden

template <>
struct fmt::formatter<brimwarden::ReplyCoordinate> {
  // Only the empty spec: the reply texts use "{}".
  constexpr auto parse(fmt::format_parse_context& context) {
    const auto* it = context.begin();
    if (it != context.end() && *it != '}') throw fmt::format_error("invalid coordinate spec");
    return it;
  }
  template <typename Context>
  auto format(brimwarden::ReplyCoordinate coordinate, Context& context) const {
    return fmt::format_to(context.out(), "{:g}", coordinate.Value);
  }
};
