// The sweep step: takes up to DinosPerTick entries off the end of the roster and destroys each
// creature that stands inside a kill zone or has no ground under it. Runs on the game thread,
// inside the tick callback, which contains every fault of the step.
//
// Nothing in the step owns a resource: a hardware fault leaves it without running destructors.
#include <cstdint>

#include "box.h"
#include "brimwarden/config/config.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/sweep/sweep.h"
#include "game_operations.h"

namespace brimwarden {
namespace {

constexpr const char* kPreventedCrash = "Prevented crash in CastRayTick";

void RequestDestroy(AActor* creature) { sweep::kDestroy(creature, true, true); }

// Examines one creature taken off the roster. The zone list and the ray distance are read afresh
// here, so a reload or a confirmed zone applies from the next visit on.
void VisitCreature(AActor* creature) {
  UClass* const creature_class = sweep::kGetCreatureClass();
  if (!sweep::kIsA(reinterpret_cast<UObject*>(creature), creature_class)) return;
  USceneComponent* const root = sweep::kRootComponent(creature);
  if (root == nullptr) return;
  const Vector3 position = sweep::kRelativeLocation(root);

  // Every containing zone asks once; the game accepts repeated requests for one actor.
  for (const KillZone& zone : PluginSettings.KillZones) {
    if (sweep::BoxContains(zone.Corner1, zone.Corner2, position)) RequestDestroy(creature);
  }

  Vector3 ground{0.0F, 0.0F, 0.0F};
  const Vector3 offset_up{0.0F, 0.0F, 0.0F};
  const Vector3 offset_down{0.0F, 0.0F, static_cast<float>(PluginSettings.BottomRayDistance)};
  sweep::kGetGroundLocation(reinterpret_cast<APrimalCharacter*>(creature), &ground, &offset_up,
                            &offset_down);
  // The game reports "no ground" as a ground point at height exactly 0 (-0 compares equal).
  if (ground.Z == 0.0F) RequestDestroy(creature);
}

}  // namespace

void CastRayTick() {
  // DinosPerTick is read at every iteration; 0 or less makes the step do nothing at all.
  for (std::int32_t taken = 0; taken < PluginSettings.DinosPerTick; ++taken) {
    if (RosterIsEmpty()) {
      // A new pass starts at the next step: none of the new entries is visited in this one.
      BuildCreatureRoster();
      return;
    }
    // The entry leaves the roster before any game call touches it, so one that faults is not
    // visited again.
    AActor* const creature = TakeLastRosterEntry();
    if (creature != nullptr) VisitCreature(creature);
  }
}

void CastRayTickCallback(float /*delta_seconds*/) {
  // Logged after the guard has returned: never from inside a signal handler.
  if (!RunContained(&CastRayTick)) LogErrorLine(kPreventedCrash);
}

}  // namespace brimwarden
