// The sweep step: takes up to DinosPerTick entries off the end of the roster and destroys each
// creature that stands inside a kill zone or has no ground under it. Runs on the game thread,
// inside the tick callback, which contains every fault of the step.
//
// Nothing in the step owns a resource: a hardware fault leaves it without running destructors.
#include <cstdint>
#include <string_view>

#include "box.h"
#include "brimwarden/config/config.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/sweep/sweep.h"
#include "game_operations.h"

namespace brimwarden {
namespace {

constexpr const char* kPreventedCrash = "Prevented crash in CastRayTick";

void RequestDestroy(AActor* creature) { sweep::kDestroy(creature, true, true); }

// In dry run the sweep logs each creature it would destroy, up to kMaxDryRunLines lines after each
// successful load, then one line saying that more follow, so that a large world cannot flood the
// log. Only here does the step allocate (formatting the line), and only in dry run.
constexpr std::int32_t kMaxDryRunLines = 100;

void ReportDryRun(const Vector3& position, std::string_view cause) {
  std::int32_t& logged = PluginSettings.DryRunLinesLogged;
  if (logged > kMaxDryRunLines || !HasLogger()) return;
  if (logged == kMaxDryRunLines) {
    Log(LogLevel::kInfo, "Dry run: more creatures this pass; BWD.status has the count");
  } else {
    Log(LogLevel::kInfo, "Dry run: would destroy creature at {:g} {:g} {:g} ({})",
        static_cast<double>(position.X), static_cast<double>(position.Y),
        static_cast<double>(position.Z), EscapedName(cause));
  }
  ++logged;
}

// Why a creature is condemned: the first zone containing it, or no ground under it.
enum class Cause { kKillZone, kNoGround };

// Logs the trip of the wipe guard, once: after it the sweep destroys nothing until a successful
// load or "BWD.resume".
void ReportTrip(const WipeGuardState& guard, double share) {
  Log(LogLevel::kError,
      "Sweep paused by the wipe guard: {} of the {} creatures visited in this pass would be "
      "destroyed, over MaxDestroyShare {:g}; nothing is destroyed until BWD.resume or a "
      "successful reload",
      guard.TripCondemned, guard.TripVisited, share);
}

// Counts a condemned visit and decides whether it may go on: returns true when the creature is to
// be destroyed (or, in dry run, reported), false while the guard holds the sweep paused, which
// this visit itself may have caused. A destroy is counted and recorded here, before its request.
bool Condemn(const Vector3& position, Cause cause, std::string_view zone_name, bool dry_run) {
  WipeGuardState& guard = PluginSettings.WipeGuard;
  ++guard.Condemned;
  if (dry_run) {
    ++(cause == Cause::kKillZone ? SweepStats.DryRunPassInKillZones
                                 : SweepStats.DryRunPassNoGround);
  }
  if (guard.Paused) return false;
  // A typo in a distance, a ground query that finds nothing or a zone over the whole map would
  // condemn nearly everything: that is taken for a fault, not for the world's state.
  if (!guard.OffUntilNextPass && guard.Condemned >= kWipeGuardMinimum &&
      static_cast<double>(guard.Condemned) >
          PluginSettings.MaxDestroyShare * static_cast<double>(guard.Visited)) {
    guard.Paused = true;
    guard.TripPass = SweepStats.PassesStarted;
    guard.TripCondemned = guard.Condemned;
    guard.TripVisited = guard.Visited;
    ReportTrip(guard, PluginSettings.MaxDestroyShare);
    return false;
  }
  const std::string_view shown_cause = cause == Cause::kKillZone ? zone_name : "no ground";
  if (dry_run) {
    ReportDryRun(position, shown_cause);
  } else {
    ++(cause == Cause::kKillZone ? SweepStats.DestroyedInKillZones : SweepStats.DestroyedNoGround);
    RecentDestroys.Record(SweepStats.PassesStarted, position, shown_cause);
  }
  return true;
}

// Examines one creature taken off the roster. The zone list, the ray distance and the dry-run
// setting are read afresh here, so a reload or a confirmed zone applies from the next visit on.
void VisitCreature(AActor* creature, bool dry_run) {
  UClass* const creature_class = sweep::kGetCreatureClass();
  if (!sweep::kIsA(reinterpret_cast<UObject*>(creature), creature_class)) return;
  // The roster filtered tamed creatures when it was built, but this one may have been tamed since,
  // or the game may have reused a destroyed creature's memory for a tamed one.
  if (sweep::kTargetingTeam(creature) >= sweep::kFirstExcludedTeam) return;
  USceneComponent* const root = sweep::kRootComponent(creature);
  if (root == nullptr) return;
  const Vector3 position = sweep::kRelativeLocation(root);
  ++PluginSettings.WipeGuard.Visited;

  // Every containing zone asks once; the game accepts repeated requests for one actor. The
  // creature is counted (and reported) once, under the first zone.
  bool in_zone = false;
  bool go_on = true;
  for (const KillZone& zone : PluginSettings.KillZones) {
    if (!sweep::BoxContains(zone.Corner1, zone.Corner2, position)) continue;
    if (!in_zone) {
      in_zone = true;
      go_on = Condemn(position, Cause::kKillZone, zone.Name, dry_run);
    }
    if (go_on && !dry_run) RequestDestroy(creature);
  }

  Vector3 ground{0.0F, 0.0F, 0.0F};
  const Vector3 offset_up{0.0F, 0.0F, 0.0F};
  const Vector3 offset_down{0.0F, 0.0F, static_cast<float>(PluginSettings.BottomRayDistance)};
  sweep::kGetGroundLocation(reinterpret_cast<APrimalCharacter*>(creature), &ground, &offset_up,
                            &offset_down);
  // The game reports "no ground" as a ground point at height exactly 0 (-0 compares equal).
  if (ground.Z == 0.0F) {
    if (!in_zone) go_on = Condemn(position, Cause::kNoGround, {}, dry_run);
    if (go_on && !dry_run) RequestDestroy(creature);
  }
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
    ++SweepStats.Visits;
    const bool dry_run = PluginSettings.DryRun;
    if (!dry_run) SweepStats.DryRunWholePass = false;
    if (creature != nullptr) VisitCreature(creature, dry_run);
  }
}

bool ResumeSweep() {
  WipeGuardState& guard = PluginSettings.WipeGuard;
  if (!guard.Paused) return false;
  guard.Paused = false;
  guard.OffUntilNextPass = true;
  return true;
}

void CastRayTickCallback(float /*delta_seconds*/) {
  // Logged after the guard has returned: never from inside a signal handler.
  if (!RunContained(&CastRayTick)) {
    ++SweepStats.FaultsContained;
    Log(LogLevel::kError, kPreventedCrash);
  }
}

}  // namespace brimwarden
