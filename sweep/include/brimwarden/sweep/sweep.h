// The mesh sweep: the roster of creatures still to visit in the current pass, and the per-tick
// step that destroys creatures with no ground under them or inside a kill zone. Runs on the game
// thread only, at load and inside the tick callback.
#pragma once

#include "brimwarden/host/game_types.h"

namespace brimwarden {

/// Creatures still to be visited in the current pass, taken off the end.
extern HostArray<AActor*> CreatureRoster;

/// Refills the roster with every creature whose team number is below 50000.
void BuildCreatureRoster();
/// Tells whether the roster holds no entries.
bool RosterIsEmpty();
/// Takes the last entry off the roster and applies the shrink rule. Needs a non-empty roster.
AActor* TakeLastRosterEntry();

/// Runs `step` and contains whatever it raises: access violations, arithmetic and illegal
/// instruction faults, and every C++ exception. Returns false when it contained something; the
/// step is then abandoned where it stood and nothing is rolled back.
bool RunContained(void (*step)());

/// Runs one sweep step, unguarded.
void CastRayTick();
/// The tick callback registered as "CastRayBWD": one step inside the fault guard.
void CastRayTickCallback(float delta_seconds);

}  // namespace brimwarden
