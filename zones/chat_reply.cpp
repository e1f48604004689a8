// The chat reply of the zone commands and the player's position, both reached through the game's
// names at every use.
#include <cstdint>
#include <string_view>

#include "brimwarden/host/game_names.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden {
namespace {

using host::kClientChatMessage;
using host::kControllerLocation;

constexpr std::string_view kReplySender = "shBrimwarden";
// The game shows a negative received time as "just now".
constexpr double kReplyReceivedTime = -1.0;

}  // namespace

void SendChatText(AShooterPlayerController* player, std::string_view text) {
  // Both strings take their storage from the game allocator and give it back when they go out of
  // scope, after the game has copied the message.
  const FString sender(kReplySender);
  const FString body(text);
  ChatMessage message{};
  message.SenderName = AsChatField(sender);
  message.Message = AsChatField(body);
  message.ReceivedTime = kReplyReceivedTime;
  kClientChatMessage(player, message);
}

Vector3 ReadPlayerPosition(AShooterPlayerController* player) {
  if (player == nullptr) return {};
  return kControllerLocation(player);
}

}  // namespace brimwarden
