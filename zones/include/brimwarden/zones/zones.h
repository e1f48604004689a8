// Zone authoring in chat: each player's zone being defined, and the five commands that name it,
// mark its corners and confirm or drop it. Runs on the game thread inside chat command callbacks.
#pragma once

#include <map>
#include <string>

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
void SetCorner1Command(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void SetCorner2Command(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void ConfirmCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);
void CancelCommand(AShooterPlayerController* player, FString* message, EChatSendMode::Type mode);

/// Returns the controller's own location, or (0, 0, 0) for a null controller.
Vector3 ReadPlayerPosition(AShooterPlayerController* player);

}  // namespace brimwarden
