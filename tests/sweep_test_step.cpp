// One sweep step called directly: how many entries it takes and in which order, when it rebuilds,
// which entries it skips, the kill-zone bounds and the ground test.
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sweep_test_fixture.h"

namespace brimwarden::test {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class CastRayTickTest : public SweepFixture {
 protected:
  // Counts the game's list calls, that is the roster builds.
  void OnFreshWorld() override {
    builds_ = 0;
    standin::SetActorListHook([this](std::vector<AActor*>&) { ++builds_; });
  }

  /// Spawns creatures 1..count, wild, at `z` on a row along X.
  static void SpawnRow(int count, float z) {
    for (int i = 1; i <= count; ++i)
      standin::SpawnCreature(i, 0, {10.0F * static_cast<float>(i), 0.0F, z});
  }

  static std::vector<std::int64_t> Descending(int from) {
    std::vector<std::int64_t> ids;
    for (int i = from; i >= 1; --i) ids.push_back(i);
    return ids;
  }

  int builds_ = 0;
};

TEST_F(CastRayTickTest, DoesNothingWhenDinosPerTickIsNotPositive) {
  for (const std::int32_t per_tick : {0, -1, INT_MIN}) {
    SCOPED_TRACE(per_tick);
    FreshWorld();
    SpawnRow(3, kSunk);
    BuildCreatureRoster();
    PluginSettings.DinosPerTick = per_tick;
    builds_ = 0;
    const standin::AllocatorStats before = standin::GetAllocatorStats();
    for (int tick = 0; tick < 3; ++tick) CastRayTick();
    EXPECT_EQ(CreatureRoster.Num(), 3);
    EXPECT_EQ(builds_, 0);
    EXPECT_TRUE(DestroyRequests().empty());
    const standin::AllocatorStats after = standin::GetAllocatorStats();
    EXPECT_EQ(after.mallocs + after.reallocs + after.frees,
              before.mallocs + before.reallocs + before.frees);
    // An empty roster is not rebuilt either.
    CreatureRoster.FreeStorage();
    CastRayTick();
    EXPECT_EQ(builds_, 0);
    EXPECT_TRUE(RosterIsEmpty());
  }
}

TEST_F(CastRayTickTest, VisitsAShortRosterFromTheEndAndRebuildsInTheSameStep) {
  SpawnRow(5, kSunk);
  BuildCreatureRoster();
  builds_ = 0;

  CastRayTick();

  EXPECT_EQ(DestroyRequests(), Descending(5));
  EXPECT_EQ(builds_, 1);
  // Nothing of the new roster was visited in this step.
  EXPECT_EQ(DestroyRequests().size(), 5U);
}

TEST_F(CastRayTickTest, AFullStepLeavesTheRebuildToTheNextStep) {
  SpawnRow(20, kSunk);
  BuildCreatureRoster();
  builds_ = 0;

  CastRayTick();
  EXPECT_EQ(DestroyRequests(), Descending(20));
  EXPECT_EQ(builds_, 0);
  EXPECT_TRUE(RosterIsEmpty());
  EXPECT_EQ(CreatureRoster.Max(), 0);

  standin::ClearEvents();
  CastRayTick();
  EXPECT_EQ(builds_, 1);
  EXPECT_TRUE(DestroyRequests().empty());
}

TEST_F(CastRayTickTest, TakesAtMostDinosPerTickAcrossSteps) {
  SpawnRow(12, kSunk);
  BuildCreatureRoster();
  builds_ = 0;
  PluginSettings.DinosPerTick = 5;

  CastRayTick();
  EXPECT_EQ(DestroyRequests(), (std::vector<std::int64_t>{12, 11, 10, 9, 8}));
  EXPECT_EQ(CreatureRoster.Num(), 7);
  CastRayTick();
  EXPECT_EQ(CreatureRoster.Num(), 2);
  // A changed setting applies from the next step on.
  PluginSettings.DinosPerTick = 1;
  CastRayTick();
  EXPECT_EQ(CreatureRoster.Num(), 1);
  std::vector<std::int64_t> expected = Descending(12);
  expected.pop_back();
  EXPECT_EQ(DestroyRequests(), expected);
  EXPECT_EQ(builds_, 0);
}

TEST_F(CastRayTickTest, SkippedEntriesStillCount) {
  // In the order of the roster: two creatures, a null, an actor of another class, a creature
  // without a root component and a creature; all of them would be destroyed if visited.
  AActor* first = standin::SpawnCreature(1, 0, {0, 0, kSunk});
  AActor* second = standin::SpawnCreature(2, 0, {0, 0, kSunk});
  AActor* foreign = standin::SpawnForeignActor(3, {0, 0, kSunk});
  AActor* rootless = standin::SpawnCreature(4, 0, {0, 0, kSunk});
  standin::SetRootComponentPresent(4, false);
  AActor* last = standin::SpawnCreature(5, 0, {0, 0, kSunk});
  for (AActor* entry : {first, second, static_cast<AActor*>(nullptr), foreign, rootless, last}) {
    CreatureRoster.Add(entry);
  }
  PluginSettings.DinosPerTick = 4;

  CastRayTick();
  EXPECT_EQ(DestroyRequests(), std::vector<std::int64_t>{5});
  EXPECT_EQ(CreatureRoster.Num(), 2);

  CastRayTick();
  EXPECT_EQ(DestroyRequests(), (std::vector<std::int64_t>{5, 2, 1}));
  EXPECT_EQ(builds_, 1);
}

TEST_F(CastRayTickTest, ZoneBoundsAreInclusiveWhicheverCornerComesFirst) {
  struct Case {
    const char* name;
    Vector3 corner1;
    Vector3 corner2;
    Vector3 position;
    bool inside;
  };
  const Vector3 lo{0.0F, 0.0F, 200.0F};
  const Vector3 hi{10.0F, 10.0F, 210.0F};
  const Case cases[] = {
      {"inside", lo, hi, {5, 5, 205}, true},
      {"corners swapped", hi, lo, {5, 5, 205}, true},
      {"mixed per axis", {10, 0, 210}, {0, 10, 200}, {5, 5, 205}, true},
      {"low face", lo, hi, {0, 5, 205}, true},
      {"high face", hi, lo, {10, 5, 205}, true},
      {"edge", lo, hi, {10, 10, 205}, true},
      {"low corner", hi, lo, {0, 0, 200}, true},
      {"high corner", lo, hi, {10, 10, 210}, true},
      {"negative zero on a face at zero", lo, hi, {-0.0F, 5, 205}, true},
      {"past the high face", lo, hi, {10.001F, 5, 205}, false},
      {"before the low face", hi, lo, {5, -0.001F, 205}, false},
      {"above on Z only", lo, hi, {5, 5, 210.01F}, false},
      {"flat zone, on it", {0, 0, 205}, {10, 10, 205}, {5, 5, 205}, true},
      {"flat zone, just above", {0, 0, 205}, {10, 10, 205}, {5, 5, 205.01F}, false},
      {"a point zone", {5, 5, 205}, {5, 5, 205}, {5, 5, 205}, true},
      {"NaN X", lo, hi, {kNaN, 5, 205}, false},
      {"NaN Z", lo, hi, {5, 5, kNaN}, false},
  };
  // From a NaN height the ground query has nothing to search, which condemns the creature once.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshWorld();
    // Ground lies far below at height -1000, so only the zone can condemn the creature.
    standin::SetFlatTerrain(-1000.0F);
    PluginSettings.KillZones = {{"Box", c.corner1, c.corner2}};
    standin::SpawnCreature(1, 0, c.position);
    BuildCreatureRoster();
    CastRayTick();
    EXPECT_EQ(RequestsFor(1), (c.inside ? 1 : 0) + (std::isnan(c.position.Z) ? 1 : 0));
  }
}

TEST_F(CastRayTickTest, EachContainingZoneAndAFailedGroundTestRequestOnce) {
  struct Case {
    const char* name;
    std::vector<KillZone> zones;
    float z;
    int requests;
  };
  const KillZone west{"West", {-100, -100, -1000}, {50, 100, 1000}};
  const KillZone east{"East", {100, 100, 1000}, {-50, -100, -1000}};
  const KillZone distant{"Far", {5000, 5000, -1000}, {6000, 6000, 1000}};
  const Case cases[] = {
      {"two zones, sunk", {west, distant, east}, kSunk, 3},
      {"two zones, standing", {west, distant, east}, kStanding, 2},
      {"one zone, sunk", {distant, east}, kSunk, 2},
      {"no zone, sunk", {}, kSunk, 1},
      {"no zone, standing", {}, kStanding, 0},
      {"a zone twice", {west, west}, kStanding, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreshWorld();
    PluginSettings.KillZones = c.zones;
    standin::SpawnCreature(1, 0, {0, 0, c.z});
    BuildCreatureRoster();
    CastRayTick();
    EXPECT_EQ(RequestsFor(1), c.requests);
  }
}

TEST_F(CastRayTickTest, OnlyAGroundPointAtHeightZeroCondemns) {
  struct Case {
    float ground;
    bool destroyed;
  };
  const Case cases[] = {
      {0.0F, true},
      {-0.0F, true},
      {std::numeric_limits<float>::denorm_min(), false},
      {-std::numeric_limits<float>::denorm_min(), false},
      {0.5F, false},
      {-250.0F, false},
      {100.0F, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ground);
    FreshWorld();
    standin::SetFlatTerrain(c.ground);
    standin::SpawnCreature(1, 0, {0, 0, c.ground + 50.0F});
    BuildCreatureRoster();
    CastRayTick();
    EXPECT_EQ(RequestsFor(1), c.destroyed ? 1 : 0);
  }
}

TEST_F(CastRayTickTest, LooksDownAsFarAsTheHeldBottomRayDistance) {
  // The creature hovers 900 units above flat ground at 100.
  standin::SpawnCreature(1, 0, {0, 0, 1000.0F});
  for (const auto& [held, destroyed] : {std::pair{-150000, false}, std::pair{-500, true}}) {
    SCOPED_TRACE(held);
    ResetProcessObjects();
    PluginSettings.BottomRayDistance = held;
    PluginSettings.DinosPerTick = 20;
    standin::ClearEvents();
    BuildCreatureRoster();
    CastRayTick();
    EXPECT_EQ(DestroyRequests().size(), destroyed ? 1U : 0U);
  }
}

}  // namespace
}  // namespace brimwarden::test
