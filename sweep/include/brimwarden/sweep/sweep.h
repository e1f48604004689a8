// The mesh sweep: the roster of creatures still to visit in the current pass, and the per-tick
// step that destroys creatures with no ground under them or inside a kill zone. Runs on the game
// thread only, at load and inside the tick callback.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "brimwarden/host/game_types.h"

namespace brimwarden {

/// What the sweep has done since the library was loaded. A reload resets nothing. Only the game
/// thread touches them, and updating them costs no game call and no allocation.
struct SweepCounters {
  /// Roster builds; the one made at load starts pass 1.
  std::uint64_t PassesStarted = 0;
  /// Entries taken off the roster, including null, invalid and faulting ones.
  std::uint64_t Visits = 0;
  /// Creatures the sweep asked the game to destroy, each counted once: in a kill zone when any
  /// zone contains it, otherwise for having no ground under it. Dry-run verdicts never count.
  std::uint64_t DestroyedInKillZones = 0;
  std::uint64_t DestroyedNoGround = 0;
  /// Faults contained around a step, one per "Prevented crash in CastRayTick".
  std::uint64_t FaultsContained = 0;
  /// Visits of the current pass condemned while DryRun was on, whether logged or not.
  std::uint64_t DryRunPassInKillZones = 0;
  std::uint64_t DryRunPassNoGround = 0;
  /// Whether DryRun was on at the current pass's roster build and at every visit since.
  bool DryRunWholePass = false;
  /// The previous pass's dry-run pair, kept only when DryRun held for the whole of it.
  bool HasDryRunLastPass = false;
  std::uint64_t DryRunLastPassInKillZones = 0;
  std::uint64_t DryRunLastPassNoGround = 0;
};

/// One creature the sweep asked the game to destroy.
struct DestroyRecord {
  /// The pass number as "BWD.status" showed it at the visit.
  std::uint64_t Pass = 0;
  Vector3 Position{0.0F, 0.0F, 0.0F};
  /// The first zone containing it, or "no ground".
  std::string Cause;
};

/// The last kDestroyHistorySize destroys since the library was loaded, in a ring. Each record's
/// cause keeps its storage from one use to the next, so recording costs no allocation once the
/// causes fit.
class DestroyHistory {
 public:
  static constexpr std::size_t kSize = 50;

  DestroyHistory();
  /// Records a destroy, replacing the oldest record once the ring is full.
  void Record(std::uint64_t pass, const Vector3& position, std::string_view cause);
  /// The number of records held, at most kSize.
  std::size_t Count() const { return count_; }
  /// The record `age` places back from the newest (0 is the newest). Needs age < Count().
  const DestroyRecord& Newest(std::size_t age) const;

 private:
  std::array<DestroyRecord, kSize> records_;
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

/// The process-wide history of the sweep's destroys. A reload clears nothing.
extern DestroyHistory RecentDestroys;

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

/// Ends a pause of the wipe guard and turns the guard off until the next roster build. Returns
/// false, changing nothing, when the sweep was not paused.
bool ResumeSweep();

}  // namespace brimwarden
