#include "brimwarden/host/rcon.h"

#include <cstddef>
#include <cstring>

#include "brimwarden/host/game_names.h"
#include "brimwarden/host/text.h"

namespace brimwarden::host {
namespace {

// The packet: its length, the request id and the type, each signed 32-bit, then the body as a
// game string (character pointer, count with the terminator, capacity) at pointer alignment.
constexpr std::size_t kRequestIdOffset = sizeof(std::int32_t);
constexpr std::size_t kBodyOffset = 2 * sizeof(void*);

const unsigned char* Bytes(const RCONPacket* packet) {
  return reinterpret_cast<const unsigned char*>(packet);
}

}  // namespace

std::int32_t RconRequestId(const RCONPacket* packet) {
  std::int32_t id = 0;
  std::memcpy(&id, Bytes(packet) + kRequestIdOffset, sizeof id);
  return id;
}

std::u16string_view RconCommandText(const RCONPacket* packet) {
  FStringView16 body;
  std::memcpy(&body, Bytes(packet) + kBodyOffset, sizeof body);
  if (body.Data == nullptr || body.Count <= 0) return {};
  return {body.Data, static_cast<std::size_t>(body.Count - 1)};
}

void SendRconReply(RCONClientConnection* connection, const RCONPacket* packet,
                   std::string_view utf8) {
  // The reply's storage comes from the game allocator and goes back once the game has sent it.
  FString message(ToUtf16(utf8));
  kSendRconMessage(connection, RconRequestId(packet), 0, &message);
}

}  // namespace brimwarden::host
