// The count of the creatures standing in a box, for the zone commands' "Inside now" line. Runs on
// the game thread inside a chat or RCON command callback, one listing of the world per count.
//
// The game calls run inside the fault guard, whose step is a plain function: the box and the
// tallies pass through this file's process-wide state. A fault skips every destructor between it
// and the guard, so the game's list lives in a scratch array of this file rather than in a local:
// storage a fault strands there is returned by the next count, or at library teardown.
#include <cstdint>
#include <optional>

#include "box.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/sweep/sweep.h"
#include "game_operations.h"

namespace brimwarden {
namespace {

constexpr const char* kPreventedCountCrash = "Prevented crash while counting creatures";
// Creatures at or above this team number are tamed, the sweep never visits them.
constexpr std::int32_t kFirstTamedTeam = 50000;

struct CountState {
  Vector3 corner1;
  Vector3 corner2;
  CreatureCount tally;
};
CountState g_count;
HostArray<AActor*> g_count_list;

void CountStep() {
  g_count_list.FreeStorage();  // what a count cut short left behind
  UClass* const creature_class = sweep::kGetCreatureClass();
  UWorld* const world = host::CurrentWorld();
  sweep::kGetAllActorsOfClass(world, creature_class, &g_count_list);

  for (std::int32_t index = 0; index < g_count_list.Num(); ++index) {
    sweep::PrefetchActorAhead(g_count_list, index);
    AActor* const actor = g_count_list[index];
    if (actor == nullptr) continue;
    USceneComponent* const root = sweep::kRootComponent(actor);
    if (root == nullptr) continue;
    if (!sweep::BoxContains(g_count.corner1, g_count.corner2, sweep::kRelativeLocation(root))) {
      continue;
    }
    if (sweep::kTargetingTeam(actor) < kFirstTamedTeam) {
      ++g_count.tally.Wild;
    } else {
      ++g_count.tally.Tamed;
    }
  }
  g_count_list.FreeStorage();
}

}  // namespace

std::optional<CreatureCount> CountCreaturesInBox(const Vector3& corner1, const Vector3& corner2) {
  g_count = CountState{corner1, corner2, CreatureCount{}};
  // Logged after the guard has returned: never from inside a signal handler.
  if (!RunContained(&CountStep)) {
    Log(LogLevel::kError, kPreventedCountCrash);
    return std::nullopt;
  }
  return g_count.tally;
}

}  // namespace brimwarden
