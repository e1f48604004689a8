// What the plugin reads of a received RCON request.
#pragma once

#include <cstdint>
#include <cstring>

#include "brimwarden/host/game_types.h"

namespace brimwarden::host {

/// Returns the request id: the packet starts with its length and then the id, both signed 32-bit.
inline std::int32_t RconRequestId(const RCONPacket* packet) {
  std::int32_t id = 0;
  std::memcpy(&id, reinterpret_cast<const unsigned char*>(packet) + sizeof(std::int32_t),
              sizeof id);
  return id;
}

}  // namespace brimwarden::host
