// The chat reply of the zone commands and the player's position, both reached through the game's
// names at every use.
#include <cstdint>
#include <string>
#include <string_view>

#include "brimwarden/host/game_names.h"
#include "brimwarden/host/text.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden {
namespace {

using host::kClientChatMessage;
using host::kControllerLocation;

constexpr std::string_view kReplySender = "shBrimwarden";
// The game shows a negative received time as "just now".
constexpr double kReplyReceivedTime = -1.0;

// Both strings take their storage from the game allocator and give it back when they go out of
// scope, after the game has copied the message. `Text` is narrow text (one character per byte) or
// 16-bit text.
template <typename Text>
void SendChatBody(AShooterPlayerController* player, Text text) {
  const FString sender(kReplySender);
  const FString body(text);
  ChatMessage message{};
  message.SenderName = AsChatField(sender);
  message.Message = AsChatField(body);
  message.ReceivedTime = kReplyReceivedTime;
  kClientChatMessage(player, message);
}

}  // namespace

void SendChatText(AShooterPlayerController* player, std::string_view text) {
  SendChatBody(player, text);
}

void SendChatTextUtf8(AShooterPlayerController* player, std::string_view text) {
  const std::u16string wide = host::ToUtf16(text);
  SendChatBody(player, std::u16string_view(wide));
}

Vector3 ReadPlayerPosition(AShooterPlayerController* player) {
  if (player == nullptr) return {};
  return kControllerLocation(player);
}

}  // namespace brimwarden
