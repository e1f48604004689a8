// The wipe guard, which pauses the sweep when a pass would destroy too large a share of what it
// visits, and the history of the sweep's destroys.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sweep_test_fixture.h"

namespace brimwarden::test {
namespace {

using WipeGuardTest = SweepFixture;

constexpr const char* kTripAtFiftyOfFifty =
    "Sweep paused by the wipe guard: 50 of the 50 creatures visited in this pass would be "
    "destroyed, over MaxDestroyShare 0.5; nothing is destroyed until BWD.resume or a successful "
    "reload";

// Spawns creatures 1..count in a row; those for which `sunk` holds have no ground under them.
template <typename Sunk>
void SpawnRow(int count, Sunk sunk) {
  for (int i = 1; i <= count; ++i) {
    standin::SpawnCreature(i, 0,
                           {static_cast<float>(i) * 10.0F, 0.0F, sunk(i) ? kSunk : kStanding});
  }
}

TEST_F(WipeGuardTest, TripsOnlyOnceFiftyAreCondemnedAndTheyExceedTheShare) {
  const struct {
    const char* what;
    double share;
    bool every_other;  // else every creature has sunk
    std::size_t destroyed;
    std::vector<std::string> errors;
  } cases[] = {
      {"everything condemned", 0.5, false, 49, {kTripAtFiftyOfFifty}},
      {"a share of 1 never trips", 1.0, false, 120, {}},
      {"exactly the share is not over it", 0.5, true, 60, {}},
      {"just over the share",
       0.49,
       true,
       49,
       {"Sweep paused by the wipe guard: 50 of the 100 creatures visited in this pass would be "
        "destroyed, over MaxDestroyShare 0.49; nothing is destroyed until BWD.resume or a "
        "successful reload"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FreshWorld();
    PluginSettings.DinosPerTick = 1000;
    PluginSettings.MaxDestroyShare = c.share;
    // The roster is visited from its end: with every other one sunk, standing ones come first.
    SpawnRow(120, [&](int i) { return !c.every_other || i % 2 == 1; });
    BuildCreatureRoster();
    CastRayTick();
    EXPECT_EQ(DestroyRequests().size(), c.destroyed);
    EXPECT_EQ(SweepStats.DestroyedNoGround, c.destroyed);
    EXPECT_EQ(RecentDestroys.Count(), std::min<std::size_t>(c.destroyed, 50));
    EXPECT_EQ(ErrorLines(), c.errors);
    EXPECT_EQ(PluginSettings.WipeGuard.Paused, !c.errors.empty());
  }
}

TEST_F(WipeGuardTest, APauseLastsAcrossPassesUntilResumeOrASuccessfulLoad) {
  PluginSettings.DinosPerTick = 100;
  // In the zone and with no ground: the trip withholds the zone's request and the ground's.
  PluginSettings.KillZones = {{"All", {-1e6F, -1e6F, -1e6F}, {1e6F, 1e6F, 1e6F}}};
  SpawnRow(200, [](int) { return true; });
  BuildCreatureRoster();
  EXPECT_EQ(ResumeText(), "The sweep is not paused");

  CastRayTick();  // trips at the 50th of pass 1
  CastRayTick();  // the rest of pass 1, paused
  EXPECT_EQ(DestroyRequests().size(), 2U * 49U);
  EXPECT_EQ(SweepStats.DestroyedInKillZones, 49U);
  CastRayTick();  // the rebuild: pass 2
  CastRayTick();  // still paused
  EXPECT_EQ(DestroyRequests().size(), 2U * 49U);
  EXPECT_EQ(ErrorLines().size(), 1U);  // the trip is logged once
  const WipeGuardState& guard = PluginSettings.WipeGuard;
  EXPECT_EQ(guard.TripPass, 1U);
  EXPECT_EQ(guard.TripCondemned, 50U);
  EXPECT_EQ(guard.TripVisited, 50U);
  EXPECT_NE(StatusText().find("\nPaused by the wipe guard in pass 1: 50 of 50 creatures visited "
                              "would have been destroyed; send BWD.resume to go on"),
            std::string::npos);

  // Resumed in the middle of pass 2, which lists the 151 left: the rest of it is not judged.
  EXPECT_EQ(ResumeText(), "Sweep resumed; the wipe guard judges again from the next pass");
  EXPECT_EQ(ResumeText(), "The sweep is not paused");
  EXPECT_EQ(StatusText().find("Paused"), std::string::npos);
  CastRayTick();
  EXPECT_EQ(SweepStats.DestroyedInKillZones, 49U + 51U);
  // The next pass is judged afresh.
  CastRayTick();  // the rebuild: pass 3
  CastRayTick();
  EXPECT_EQ(SweepStats.DestroyedInKillZones, 49U + 51U + 49U);
  EXPECT_EQ(guard.TripPass, 3U);

  // A successful load ends the pause; a failed one does not.
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": "x"}})");
  ASSERT_NE(LoadConfig(), std::nullopt);
  EXPECT_TRUE(PluginSettings.WipeGuard.Paused);
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 100, "MaxDestroyShare": 1}})");
  ASSERT_EQ(LoadConfig(), std::nullopt);
  EXPECT_FALSE(PluginSettings.WipeGuard.Paused);
  EXPECT_EQ(PluginSettings.WipeGuard.Condemned, 0U);
}

TEST_F(WipeGuardTest, ADryRunTripsAsARealRunWouldAndCountsEveryVerdict) {
  PluginSettings.DinosPerTick = 1000;
  PluginSettings.DryRun = true;
  SpawnRow(80, [](int) { return true; });
  BuildCreatureRoster();
  CastRayTick();  // the whole pass, then the rebuild, which moves its pair to "last pass"
  EXPECT_TRUE(DestroyRequests().empty());
  EXPECT_EQ(LogTexts(spdlog::level::info).size(), 49U);
  EXPECT_EQ(ErrorLines(), std::vector<std::string>{kTripAtFiftyOfFifty});
  EXPECT_EQ(SweepStats.DestroyedNoGround, 0U);
  EXPECT_EQ(RecentDestroysText(), "Nothing destroyed since load");
  EXPECT_TRUE(SweepStats.HasDryRunLastPass);
  EXPECT_EQ(SweepStats.DryRunLastPassNoGround, 80U);
  EXPECT_EQ(SweepStats.DryRunPassNoGround, 0U);
  // Switched off for one visit of a pass: that pass has no "last pass" pair.
  PluginSettings.DinosPerTick = 1;
  PluginSettings.DryRun = false;
  CastRayTick();
  PluginSettings.DinosPerTick = 1000;
  PluginSettings.DryRun = true;
  CastRayTick();  // the rest of the pass, and the rebuild
  EXPECT_FALSE(SweepStats.HasDryRunLastPass);
}

TEST_F(WipeGuardTest, TheHistoryKeepsTheLastFiftyNewestFirst) {
  PluginSettings.DinosPerTick = 1000;
  PluginSettings.MaxDestroyShare = 1.0;
  PluginSettings.KillZones = {{"Lava\ncave", {-5.0F, -5.0F, -1e6F}, {25.0F, 5.0F, 1e6F}}};
  SpawnRow(60, [](int i) { return i > 2; });  // 1 and 2 stand in the zone
  BuildCreatureRoster();
  CastRayTick();
  ASSERT_EQ(RecentDestroys.Count(), 50U);
  const std::string text = RecentDestroysText();
  EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1)),
            "Last 50 destroyed, newest first:\nPass 1: creature at 10 0 150 (Lava\\u000acave)");
  EXPECT_EQ(text.substr(text.rfind('\n')), "\nPass 1: creature at 500 0 -400 (no ground)");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 50);
}

}  // namespace
}  // namespace brimwarden::test
