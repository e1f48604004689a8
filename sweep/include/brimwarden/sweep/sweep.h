// The mesh sweep: the roster of creatures still to visit in the current pass, and the per-tick
// step that destroys creatures with no ground under them or inside a kill zone. Runs on the game
// thread only, at load and inside the tick callback.
#pragma once

#include <cstdint>
#include <optional>

#include "brimwarden/host/game_types.h"

namespace brimwarden {

/// What the sweep has done since the library was loaded. A reload resets nothing. Only the game
/// thread touches them, and updating them costs no game call and no allocation.
struct SweepCounters {
  /// Roster builds; the one made at load starts pass 1.
  std::uint64_t PassesStarted = 0;
  /// Entries taken off the roster, including null, invalid and faulting ones.
  std::uint64_t Visits = 0;
  /// Creatures the sweep asked the game to destroy (or would have, in dry run), each counted once:
  /// in a kill zone when any zone contains it, otherwise for having no ground under it.
  std::uint64_t DestroyedInKillZones = 0;
  std::uint64_t DestroyedNoGround = 0;
  /// Faults contained around a step, one per "Prevented crash in CastRayTick".
  std::uint64_t FaultsContained = 0;
};

/// The process-wide counters of the sweep.
extern SweepCounters SweepStats;

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

/// Creatures of the creature class standing in a box: wild ones (team below 50000), which the
/// sweep destroys when it reaches them, and tamed ones, which it never visits.
struct CreatureCount {
  std::int64_t Wild = 0;
  std::int64_t Tamed = 0;
};

/// Counts the creatures the game lists whose position lies in the box, inside the fault guard.
/// Destroys nothing and leaves the roster as it is. Returns std::nullopt when a fault or an
/// exception ended the count; "Prevented crash while counting creatures" has then been logged.
std::optional<CreatureCount> CountCreaturesInBox(const Vector3& corner1, const Vector3& corner2);

/// Runs one sweep step, unguarded.
void CastRayTick();
/// The tick callback registered as "CastRayBWD": one step inside the fault guard.
void CastRayTickCallback(float delta_seconds);

}  // namespace brimwarden
