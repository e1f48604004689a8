// The sweep's guard under chaos, through the dev server's world and the real plugin library: every
// tick the game destroys a share of the creatures and spawns new ones (stale roster entries,
// memory freed under the sweep and reused for new creatures, tamed ones included, rebuilds in the
// middle of a pass), and a share of the ground queries throw or fault. Checked all along: the
// server never stops; each injected failure is one "Prevented crash in CastRayTick" line in its
// tick; the game allocator's live blocks are the same at every pass; no tamed creature is ever
// destroyed by the plugin; and at the end "BWD.status" agrees with the events.
//
// BRIMWARDEN_CHAOS_VISITS sets the length of the run (roster entries taken); the test command runs
// a short one.
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "brimwarden/standin/standin.h"
#include "script.h"
#include "server.h"
#include "test_support.h"

namespace brimwarden::devserver {
namespace {

constexpr const char* kPreventedCrash = "Prevented crash in CastRayTick";
constexpr const char* kGroundQuery = "APrimalCharacter.GetGroundLocation";
constexpr std::int32_t kTamedTeam = 50000;
#if defined(_WIN32)
constexpr std::int64_t kDefaultVisits = 100'000;  // structured exceptions are slow under Wine
#else
constexpr std::int64_t kDefaultVisits = 400'000;
#endif

// The zone covers 4% of the world, at every height.
constexpr const char* kChaosScript = R"(write ArkApi/Plugins/Brimwarden/config.json
{"TestServer": {"DinosPerTick": 1000, "Kill Zones": {"Pit": {"Corner1": [-20000, -20000, -1000000], "Corner2": [20000, 20000, 1000000]}}}}
end
terrain hills 3
populate 20000 1 30 11
chaos 0.05 7 0.05
)";

std::int64_t ChaosVisits() {
  const char* text = std::getenv("BRIMWARDEN_CHAOS_VISITS");
  if (text == nullptr || *text == '\0') return kDefaultVisits;
  return std::strtoll(text, nullptr, 10);
}

std::int64_t InjectedFailures() {
  const standin::InjectedFailures injected = standin::InjectedFailuresOf(kGroundQuery);
  return injected.throws + injected.faults;
}

struct StatusCounts {
  std::int64_t pass = -1, left = -1, visits = -1, in_zones = -1, no_ground = -1, faults = -1;
};

StatusCounts ParseStatus(const std::string& reply) {
  StatusCounts counts;
  const std::size_t sweep = reply.find("\nSweep: ");
  const std::size_t destroyed = reply.find("\nDestroyed since load: ");
  if (sweep == std::string::npos || destroyed == std::string::npos) return counts;
  std::sscanf(reply.c_str() + sweep,
              "\nSweep: pass %" SCNd64 ", %" SCNd64 " creatures left in this pass; %" SCNd64,
              &counts.pass, &counts.left, &counts.visits);
  std::sscanf(reply.c_str() + destroyed,
              "\nDestroyed since load: %" SCNd64 " in kill zones, %" SCNd64
              " with no ground; faults contained: %" SCNd64,
              &counts.in_zones, &counts.no_ground, &counts.faults);
  return counts;
}

TEST(DevServerChaosTest, GuardHoldsUnderChaos) {
  const test::ServerDir dir;
  std::int64_t prevented = 0;
  std::unordered_set<std::int64_t> destroyed_by_plugin;
  const DevServer* observed = nullptr;
  DevServer server({dir.Path(), BRIMWARDEN_PLUGIN_FILE, test::kTestServerKey},
                   [&](const standin::Event& event) {
                     if (event.kind == standin::EventKind::kLog && event.text == kPreventedCrash) {
                       ++prevented;
                     }
                     // The chaos destroys before the tick; inside it, only the plugin does.
                     if (event.kind == standin::EventKind::kDestroy && observed->InTick()) {
                       destroyed_by_plugin.insert(event.creature);
                     }
                   });
  observed = &server;
  const std::int64_t blocks_before_load = standin::GetAllocatorStats().live_blocks;
  const std::vector<Command> commands = ParseScript(kChaosScript);
  server.Execute(commands.front());  // the configuration, before the load reads it
  server.Load();
  for (std::size_t i = 1; i < commands.size(); ++i) server.Execute(commands[i]);

  const std::int64_t target = ChaosVisits();
  const auto start = std::chrono::steady_clock::now();
  std::int64_t blocks_at_pass = -1;
  std::int64_t passes_checked = 0;
  std::int64_t ticks = 0;
  while (server.Visited() < target) {
    const std::int64_t injected_before = InjectedFailures();
    const std::int64_t prevented_before = prevented;
    const std::int64_t passes_before = server.Passes();
    server.Tick(1);
    ++ticks;
    const std::int64_t injected = InjectedFailures() - injected_before;
    const std::int64_t contained = prevented - prevented_before;
    // A failure ends the step, so a tick holds at most one, and it is contained exactly once.
    ASSERT_LE(injected, 1) << "tick " << ticks;
    ASSERT_LE(contained, 1) << "tick " << ticks;
    if (injected == 1) {
      ASSERT_EQ(contained, 1) << "tick " << ticks;
    }
    if (server.Passes() != passes_before) {
      const std::int64_t blocks = standin::GetAllocatorStats().live_blocks;
      if (blocks_at_pass < 0) blocks_at_pass = blocks;
      ASSERT_EQ(blocks, blocks_at_pass) << "live blocks at pass " << server.Passes();
      ++passes_checked;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  bool handled = false;
  const std::vector<std::string> replies = server.Rcon("BWD.status", server.NextRconId(), &handled);
  ASSERT_TRUE(handled);
  ASSERT_EQ(replies.size(), 1U);
  const StatusCounts status = ParseStatus(replies[0]);
  // The load's build is pass 1; the server counts the builds in ticks.
  EXPECT_EQ(status.pass, server.Passes() + 1) << replies[0];
  EXPECT_EQ(status.visits, server.Visited()) << replies[0];
  EXPECT_EQ(status.faults, prevented) << replies[0];

  const std::vector<ZoneBox> zones = server.ConfigZones();
  ASSERT_EQ(zones.size(), 1U);
  std::int64_t in_zone = 0;
  std::int64_t tamed_destroyed = 0;
  for (const standin::CreatureInfo& creature : standin::Creatures()) {
    if (destroyed_by_plugin.count(creature.id) == 0) continue;
    if (creature.team >= kTamedTeam) ++tamed_destroyed;
    if (zones[0].Contains(creature.position)) ++in_zone;
  }
  EXPECT_EQ(tamed_destroyed, 0);
  EXPECT_EQ(status.in_zones, in_zone) << replies[0];
  EXPECT_EQ(status.no_ground, static_cast<std::int64_t>(destroyed_by_plugin.size()) - in_zone)
      << replies[0];

  const standin::InjectedFailures injected = standin::InjectedFailuresOf(kGroundQuery);
  EXPECT_GT(injected.throws, 0);
  EXPECT_GT(injected.faults, 0);
  // Stale entries fault too, beside the injected failures.
  EXPECT_GT(prevented, injected.throws + injected.faults);
  EXPECT_GT(passes_checked, 2);
  std::printf("chaos: %" PRId64 " visits in %" PRId64 " ticks, %" PRId64 " passes, %.1f s; %" PRId64
              " creatures spawned, %" PRId64 " alive; injected %" PRId64 " throws and %" PRId64
              " access violations; %" PRId64 " faults contained; destroyed by the sweep: %" PRId64
              " in the zone, %" PRId64 " with no ground, %" PRId64 " tamed; %" PRId64
              " live blocks at every pass\n",
              status.visits, ticks, status.pass, seconds,
              static_cast<std::int64_t>(standin::Creatures().size()),
              static_cast<std::int64_t>(standin::AliveCreatureCount()), injected.throws,
              injected.faults, prevented, status.in_zones, status.no_ground, tamed_destroyed,
              blocks_at_pass);

  server.Unload();
  EXPECT_EQ(standin::GetAllocatorStats().live_blocks, blocks_before_load);
  standin::FailGameFunctionAtRate(kGroundQuery, 0, 0);
  standin::ResetWorld();
}

// A typo in the ray distance makes every ground query find nothing; a zone over the whole map
// condemns everything. Under chaos, the wipe guard lets at most 49 creatures go per load and says
// so once per load.
TEST(DevServerChaosTest, WipeGuardHoldsUnderChaos) {
  const char* const sections[] = {
      R"({"TestServer": {"DinosPerTick": 1000, "BottomRayDistance": 50}})",
      R"({"TestServer": {"DinosPerTick": 1000, "Kill Zones": {"All": {"Corner1": [-1e9, -1e9, -1e9], "Corner2": [1e9, 1e9, 1e9]}}}})",
  };
  for (const char* section : sections) {
    SCOPED_TRACE(section);
    standin::ResetWorld();
    const test::ServerDir dir;
    std::int64_t trips = 0;
    std::unordered_set<std::int64_t> destroyed;
    const DevServer* observed = nullptr;
    DevServer server({dir.Path(), BRIMWARDEN_PLUGIN_FILE, test::kTestServerKey},
                     [&](const standin::Event& event) {
                       if (event.kind == standin::EventKind::kLog &&
                           event.text.rfind("Sweep paused by the wipe guard: ", 0) == 0) {
                         ++trips;
                       }
                       if (event.kind == standin::EventKind::kDestroy && observed->InTick()) {
                         destroyed.insert(event.creature);
                       }
                     });
    observed = &server;
    const std::vector<Command> commands =
        ParseScript(std::string("write ArkApi/Plugins/Brimwarden/config.json\n") + section +
                    "\nend\nterrain hills 3\npopulate 20000 1 30 11\nchaos 0.05 7 0.05\n");
    server.Execute(commands.front());
    server.Load();
    for (std::size_t i = 1; i < commands.size(); ++i) server.Execute(commands[i]);
    for (int load = 1; load <= 2; ++load) {
      if (load == 2) {
        bool handled = false;
        ASSERT_EQ(server.Rcon("BWD.reload", server.NextRconId(), &handled),
                  std::vector<std::string>{"Config Reloaded."});
      }
      const std::int64_t passes_before = server.Passes();
      while (server.Passes() < passes_before + 4) server.Tick(1);
      EXPECT_EQ(trips, load);
      EXPECT_LE(destroyed.size(), 49U * load);
    }
    for (const standin::CreatureInfo& creature : standin::Creatures()) {
      if (destroyed.count(creature.id) != 0) {
        EXPECT_LT(creature.team, kTamedTeam);
      }
    }
    server.Unload();
  }
  standin::FailGameFunctionAtRate(kGroundQuery, 0, 0);
  standin::ResetWorld();
}

}  // namespace
}  // namespace brimwarden::devserver
