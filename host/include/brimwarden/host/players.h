// What the plugin reads of a player: whether the player is a server admin. The one place the
// admin flag is read, so that a server build maps it to the SDK's own accessor here alone.
#pragma once

#include "brimwarden/host/game_types.h"

namespace brimwarden::host {

/// Tells whether the player is a server admin. Here the flag is a whole byte of the stand-in's
/// player controller; a game's flag is often one bit of a byte shared with other flags, so a
/// server build answers through the SDK's own accessor instead.
bool IsServerAdmin(AShooterPlayerController* player);

}  // namespace brimwarden::host
