// The RCON request as a command handler receives it, and the reply to it. The request id's place
// is the game's; where the command text lies in the packet is an assumption about the game's
// layout, kept here alone so that it can be corrected in one place.
#pragma once

#include <cstdint>
#include <string_view>

#include "brimwarden/host/game_types.h"

namespace brimwarden::host {

/// Returns the id of the request: the packet's second signed 32-bit field.
std::int32_t RconRequestId(const RCONPacket* packet);

/// Returns the text the client sent, the command word included, as the packet's body holds it.
/// The view lives as long as the packet.
std::u16string_view RconCommandText(const RCONPacket* packet);

/// Sends `utf8` to the client as the reply to `packet`, through
/// "RCONClientConnection.SendMessageW".
void SendRconReply(RCONClientConnection* connection, const RCONPacket* packet,
                   std::string_view utf8);

}  // namespace brimwarden::host
