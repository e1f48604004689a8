#include "brimwarden/host/players.h"

#include "brimwarden/host/game_names.h"

namespace brimwarden::host {

bool IsServerAdmin(AShooterPlayerController* player) { return kIsAdmin(player) != 0; }

}  // namespace brimwarden::host
