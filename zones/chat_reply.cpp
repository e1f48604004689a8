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

// Both strings take their storage from the game allocator. The game takes the message by value
// and destroys it, freeing its strings through "FMemory.Free" (also when the call ends in an
// exception), so they are handed over at the call and never freed here. Until then they are
// ours: a failed allocation or name lookup frees what was made. `Text` is narrow text (one
// character per byte) or 16-bit text.
template <typename Text>
void SendChatBody(AShooterPlayerController* player, Text text) {
  FString sender(kReplySender);
  FString body(text);
  const auto deliver = kClientChatMessage.Resolve();
  ChatMessage message{};
  message.SenderName = HandOverToChatField(sender);
  message.Message = HandOverToChatField(body);
  message.ReceivedTime = kReplyReceivedTime;
  deliver(player, message);
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
