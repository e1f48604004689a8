// The creature roster: built from the game's list of creatures, consumed from the end by the
// sweep step. Runs on the game thread only, at load and inside the guarded tick callback.
//
// The build may be cut short by a fault anywhere: inside the game's list call, while reading a
// team number through a pointer the game handed over, or inside the allocator. The game's list and
// the filtered array are therefore built in two scratch arrays of this file, and the roster itself
// is replaced only by the final swap. Until then it is empty with no storage, so after a fault it
// never holds an entry that failed the filter. A fault skips every destructor between it and the
// guard, so the scratch arrays are not locals: storage a fault leaves in them is returned by the
// next build.
#include <cstdint>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/sweep/sweep.h"
#include "game_operations.h"

namespace brimwarden {
namespace {

// The game's unfiltered list, and the filtered array being built from it.
HostArray<AActor*> g_game_list;
HostArray<AActor*> g_filtered;

// Storage the roster may keep free after taking an entry: shrinking is deferred until at least
// this many bytes are free, or until fewer than two thirds of the slots are used, and in either
// case until more than kMaxSlackSlots slots are free (or the roster is empty).
constexpr std::int64_t kMaxSlackBytes = 16384;
constexpr std::int64_t kMaxSlackSlots = 64;
constexpr std::int64_t kEntryBytes = 8;
static_assert(sizeof(void*) == kEntryBytes);  // entries are 8-byte pointers

// Closes the pass that ends here and opens the next one's counts: the wipe guard's, which it
// judges per pass, and the dry run's, whose pair moves to "last pass" when DryRun held throughout.
void StartPass() {
  ++SweepStats.PassesStarted;
  WipeGuardState& guard = PluginSettings.WipeGuard;
  guard.Visited = 0;
  guard.Condemned = 0;
  guard.OffUntilNextPass = false;
  SweepStats.HasDryRunLastPass = SweepStats.DryRunWholePass;
  SweepStats.DryRunLastPassInKillZones = SweepStats.DryRunPassInKillZones;
  SweepStats.DryRunLastPassNoGround = SweepStats.DryRunPassNoGround;
  SweepStats.DryRunPassInKillZones = 0;
  SweepStats.DryRunPassNoGround = 0;
  SweepStats.DryRunWholePass = PluginSettings.DryRun;
}

}  // namespace

void BuildCreatureRoster() {
  StartPass();
  // Normally both are empty with no storage; after a build cut short, this returns what it left.
  g_filtered.FreeStorage();
  g_game_list.FreeStorage();

  UClass* const creature_class = sweep::kGetCreatureClass();
  UWorld* const world = host::CurrentWorld();
  // The game refills the array it is given in place, with the roster's storage if it has any
  // (it has none once the sweep has emptied it).
  g_game_list.Swap(CreatureRoster);
  sweep::kGetAllActorsOfClass(world, creature_class, &g_game_list);

  for (std::int32_t index = 0; index < g_game_list.Num(); ++index) {
    sweep::PrefetchActorAhead(g_game_list, index);
    AActor* const actor = g_game_list[index];
    if (actor == nullptr) continue;
    if (sweep::kTargetingTeam(actor) >= sweep::kFirstExcludedTeam) continue;
    g_filtered.Add(actor);
  }

  g_game_list.FreeStorage();
  CreatureRoster.Swap(g_filtered);
}

bool RosterIsEmpty() { return CreatureRoster.Num() == 0; }

AActor* TakeLastRosterEntry() {
  AActor* const entry = CreatureRoster.Pop();
  const std::int64_t count = CreatureRoster.Num();
  const std::int64_t capacity = CreatureRoster.Max();
  const std::int64_t free_slots = capacity - count;
  const bool too_much_slack =
      free_slots * kEntryBytes >= kMaxSlackBytes || 3 * count < 2 * capacity;
  if (too_much_slack && (free_slots > kMaxSlackSlots || count == 0) && count != capacity) {
    // Reallocating to 0 bytes when the last entry goes: whatever the allocator answers (null
    // from the game's) becomes the storage, with capacity 0.
    CreatureRoster.Reallocate(static_cast<std::int32_t>(count));
  }
  return entry;
}

}  // namespace brimwarden
