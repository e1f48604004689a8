// What the sweep counts and what it spares at the visit: the counters of passes, visits, destroyed
// creatures by cause and contained faults; tamed creatures skipped even through a stale entry;
// and the dry run, which counts and logs but never asks the game to destroy.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sweep_test_fixture.h"

namespace brimwarden::test {
namespace {

using CountersTest = SweepFixture;

constexpr std::int32_t kTamed = 50000;

KillZone Box(const char* name, float low, float high) {
  return {name, {low, low, -100000.0F}, {high, high, 100000.0F}};
}

std::vector<std::string> InfoLines() { return LogTexts(spdlog::level::info); }

TEST_F(CountersTest, CountEachCreatureOnceByItsFirstCause) {
  PluginSettings.KillZones = {Box("A", 0.0F, 100.0F), Box("B", 50.0F, 150.0F)};
  standin::SpawnCreature(1, 0, {75.0F, 75.0F, kSunk});        // two zones and no ground
  standin::SpawnCreature(2, 0, {10.0F, 10.0F, kStanding});    // one zone
  standin::SpawnCreature(3, 0, {500.0F, 500.0F, kSunk});      // no ground only
  standin::SpawnCreature(4, 0, {500.0F, 600.0F, kStanding});  // spared
  standin::SpawnForeignActor(5, {75.0F, 75.0F, kSunk});
  standin::SetActorListHook([](std::vector<AActor*>& actors) {
    actors.push_back(nullptr);
    actors.push_back(standin::FindCreature(4));  // listed twice: a second entry
  });
  BuildCreatureRoster();
  EXPECT_EQ(SweepStats.PassesStarted, 1U);

  CastRayTick();  // 5 entries, then the rebuild

  EXPECT_EQ(SweepStats.Visits, 5U);
  EXPECT_EQ(SweepStats.DestroyedInKillZones, 2U);
  EXPECT_EQ(SweepStats.DestroyedNoGround, 1U);
  EXPECT_EQ(SweepStats.PassesStarted, 2U);
  EXPECT_EQ(SweepStats.FaultsContained, 0U);
  // The counts follow the requests, not replace them: three for creature 1, as before.
  EXPECT_EQ(RequestsFor(1), 3);
  EXPECT_EQ(RequestsFor(2), 1);
  EXPECT_EQ(RequestsFor(3), 1);
}

TEST_F(CountersTest, AFaultingEntryIsVisitedAndTheFaultCounted) {
  standin::SpawnCreature(1, 0, {0.0F, 0.0F, kSunk});
  standin::SpawnCreature(2, 0, {10.0F, 0.0F, kSunk});
  BuildCreatureRoster();
  standin::FaultInGameFunction("APrimalCharacter.GetGroundLocation");

  CastRayTickCallback(0.0F);  // creature 2 faults in its ground query
  CastRayTickCallback(0.0F);  // creature 1, then the rebuild

  EXPECT_EQ(ErrorLines(), std::vector<std::string>{kPreventedCrash});
  EXPECT_EQ(SweepStats.FaultsContained, 1U);
  EXPECT_EQ(SweepStats.Visits, 2U);
  EXPECT_EQ(SweepStats.DestroyedNoGround, 1U);
  EXPECT_EQ(DestroyRequests(), std::vector<std::int64_t>{1});
}

TEST_F(CountersTest, ATamedCreatureIsSparedAtTheVisit) {
  PluginSettings.KillZones = {Box("A", -1000.0F, 1000.0F)};
  standin::SpawnCreature(1, 0, {0.0F, 0.0F, kSunk});
  standin::SpawnCreature(2, 0, {5000.0F, 0.0F, kSunk});
  standin::SpawnCreature(3, 0, {10.0F, 0.0F, kStanding});
  standin::SpawnCreature(4, 0, {20.0F, 0.0F, kStanding});
  BuildCreatureRoster();
  // Tamed after the build: in the zone with no ground, and elsewhere with no ground; 49999 stays
  // wild.
  standin::SetTeam(1, kTamed);
  standin::SetTeam(2, kTamed + 7);
  standin::SetTeam(3, kTamed - 1);
  standin::SetTeam(4, -1);

  CastRayTick();

  EXPECT_EQ(DestroyRequests(), (std::vector<std::int64_t>{4, 3}));
  EXPECT_EQ(SweepStats.Visits, 4U);
  EXPECT_EQ(SweepStats.DestroyedInKillZones, 2U);
  EXPECT_EQ(SweepStats.DestroyedNoGround, 0U);
}

TEST_F(CountersTest, AStaleEntryToReusedMemoryDoesNotDestroyTheTamedNewcomer) {
  standin::SetReclaimDelayTicks(0);
  standin::SetReclaimedPagesKept(1);
  standin::SpawnCreature(1, 0, {0.0F, 0.0F, kSunk});
  BuildCreatureRoster();
  AActor* const stale = CreatureRoster[0];
  standin::DestroyByGame(1);
  standin::Tick();  // reclaims creature 1's memory
  // The game hands freed memory out again: spawn and destroy until a tamed, sunk newcomer takes
  // that address, and keep that one.
  std::int64_t newcomer = -1;
  for (std::int64_t id = 2; id < 100 && newcomer < 0; ++id) {
    if (standin::SpawnCreature(id, kTamed, {0.0F, 0.0F, kSunk}) == stale) {
      newcomer = id;
    } else {
      standin::DestroyByGame(id);
      standin::Tick();
    }
  }
  ASSERT_GT(newcomer, 0) << "the stand-in never reused the freed memory";
  standin::ClearEvents();

  CastRayTick();

  EXPECT_TRUE(DestroyRequests().empty());
  EXPECT_FALSE(standin::IsDestroyed(newcomer));
  EXPECT_EQ(SweepStats.Visits, 1U);
  EXPECT_EQ(SweepStats.DestroyedNoGround, 0U);
}

TEST_F(CountersTest, DryRunCountsAndLogsButNeverDestroys) {
  PluginSettings.KillZones = {Box("Pit", -100.0F, 100.0F), Box("Inner", -10.0F, 10.0F)};
  PluginSettings.DryRun = true;
  standin::SpawnCreature(1, 0, {0.0F, 0.0F, kSunk});            // both zones, no ground
  standin::SpawnCreature(2, 0, {1500.5F, -2.25F, kSunk});       // no ground
  standin::SpawnCreature(3, 0, {1234567.0F, 0.0F, kStanding});  // spared
  BuildCreatureRoster();

  CastRayTick();

  EXPECT_TRUE(DestroyRequests().empty());
  // Verdicts are not destroys; the pass ended with the rebuild, so its pair is the last pass's.
  EXPECT_EQ(SweepStats.DestroyedInKillZones + SweepStats.DestroyedNoGround, 0U);
  EXPECT_TRUE(SweepStats.HasDryRunLastPass);
  EXPECT_EQ(SweepStats.DryRunLastPassInKillZones, 1U);
  EXPECT_EQ(SweepStats.DryRunLastPassNoGround, 1U);
  EXPECT_EQ(InfoLines(), (std::vector<std::string>{
                             "Dry run: would destroy creature at 1500.5 -2.25 -400 (no ground)",
                             "Dry run: would destroy creature at 0 0 -400 (Pit)",
                         }));
}

TEST_F(CountersTest, DryRunLogsAHundredLinesThenOneAndThenNothingUntilTheNextLoad) {
  // Every creature has sunk: the wipe guard is off, so that the cap alone limits the lines.
  server_.WriteConfig(
      R"({"TestServer": {"DryRun": true, "DinosPerTick": 1000, "MaxDestroyShare": 1}})");
  const auto load = [] {
    ASSERT_EQ(LoadConfig(), std::nullopt);
    standin::ClearLogRecords();
  };
  load();
  for (int i = 1; i <= 150; ++i) {
    standin::SpawnCreature(i, 0, {static_cast<float>(i), 0.0F, kSunk});
  }
  BuildCreatureRoster();
  CastRayTick();  // one pass: 150 cases
  CastRayTick();  // the next pass: 150 more, nothing logged

  const std::vector<std::string> lines = InfoLines();
  ASSERT_EQ(lines.size(), 101U);
  EXPECT_EQ(lines[0], "Dry run: would destroy creature at 150 0 -400 (no ground)");
  EXPECT_EQ(lines[99], "Dry run: would destroy creature at 51 0 -400 (no ground)");
  EXPECT_EQ(lines[100], "Dry run: more creatures this pass; BWD.status has the count");
  EXPECT_EQ(SweepStats.DryRunLastPassNoGround, 150U);  // each tick ended its pass
  EXPECT_TRUE(DestroyRequests().empty());

  // A successful load of the same file brings a fresh cap.
  load();
  CastRayTick();
  EXPECT_EQ(InfoLines().size(), 101U);
}

}  // namespace
}  // namespace brimwarden::test
