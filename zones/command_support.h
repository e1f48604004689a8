// Pieces shared by the zone chat commands: the admin rule (only a server admin's command runs;
// anyone else gets the command's refusal and nothing changes), the replies about a pending zone,
// and the test of a marked corner. Game thread only.
#pragma once

#include <cstdint>
#include <string_view>

#include "brimwarden/host/game_types.h"
#include "brimwarden/host/players.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden::zones {

inline constexpr char kNotStartedReply[] =
    "You have not started a zone, use /newbox <name> to start a new zone";
inline constexpr char kCornersMissingReply[] =
    "You have not set both corners, use /setcorner1 and /setcorner2 to set the corners";

/// Tells whether a corner has been marked: (0, 0, 0) is unset. -0.0 compares equal to 0.0 and
/// counts as unset; a NaN component counts as set.
inline bool IsCornerSet(const Vector3& corner) {
  return corner.X != 0.0F || corner.Y != 0.0F || corner.Z != 0.0F;
}

/// Runs `body` for a server admin and contains whatever it throws, logged under `where`. A null
/// controller is ignored; anyone else gets `refusal`.
template <typename Body>
void RunAdminCommand(std::string_view where, std::string_view refusal,
                     AShooterPlayerController* player, Body&& body) {
  if (player == nullptr) return;
  ContainExceptions(where, [&] {
    if (!host::IsServerAdmin(player)) {
      SendChatText(player, refusal);
      return;
    }
    body();
  });
}

}  // namespace brimwarden::zones
