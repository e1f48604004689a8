// The sweep through the plugin library loaded into the stand-in: over hilly ground, wild creatures
// that have sunk below the terrain or stand in the kill zone are destroyed, a bounded number of
// visits per tick; tamed creatures are never touched; and a fault in a tick is contained once
// without stopping the sweep.
#include <csignal>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brimwarden/standin/standin.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace {

using brimwarden::test::LogTexts;
using brimwarden::test::PluginLibrary;
using brimwarden::test::ServerDir;

constexpr const char* kPreventedCrash = "Prevented crash in CastRayTick";

// The zone spans X and Y from 2000 to 3000 at every height the hills reach.
constexpr const char* kConfig = R"({
  "OtherServer": {"DinosPerTick": 1},
  "TestServer": {
    "DinosPerTick": 4,
    "BottomRayDistance": 150000,
    "Kill Zones": {"Quarry": {"Corner1": [3000, 3000, 100000], "Corner2": [2000, 2000, -100000]}}
  }
})";

enum class Where { kStanding, kSunk, kInZone, kSunkInZone };

struct Spawn {
  std::int64_t id;
  std::int32_t team;
  Where where;
};

Vector3 PlaceFor(Where where, float x, float y) {
  const bool zone = where == Where::kInZone || where == Where::kSunkInZone;
  const float px = zone ? 2000.0F + x / 10.0F : x;
  const float py = zone ? 2000.0F + y / 10.0F : y;
  const bool sunk = where == Where::kSunk || where == Where::kSunkInZone;
  const float ground = standin::GroundHeightAt(px, py);
  return {px, py, sunk ? ground - 300.0F : ground + 80.0F};
}

std::vector<standin::Event> DestroyEvents() {
  std::vector<standin::Event> events;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kDestroy) events.push_back(event);
  }
  return events;
}

class SweepEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::SetActorListHook(nullptr);
    standin::SetReclaimDelayTicks(2);
    standin::ResetWorld();
    standin::SetHillsTerrain(7);
    standin::ClearEvents();
    standin::ClearLogRecords();
    server_.WriteConfig(kConfig);
  }

  static void SpawnAll(const std::vector<Spawn>& spawns) {
    float x = 100.0F;
    for (const Spawn& spawn : spawns) {
      Vector3 at = PlaceFor(spawn.where, x, 7000.0F - x);
      // Every creature stands over ground: none is condemned by a hole in the hills.
      while (at.Z != at.Z) {
        x += 37.0F;
        at = PlaceFor(spawn.where, x, 7000.0F - x);
      }
      standin::SpawnCreature(spawn.id, spawn.team, at);
      x += 150.0F;
    }
  }

  ServerDir server_;
};

TEST_F(SweepEndToEndTest, DestroysExactlyTheSunkAndZonedWildCreatures) {
  const std::vector<Spawn> spawns = {
      {1, 0, Where::kStanding},       {2, 0, Where::kSunk},           {3, 50000, Where::kSunk},
      {4, 12, Where::kInZone},        {5, 60001, Where::kInZone},     {6, -1, Where::kSunk},
      {7, 49999, Where::kSunkInZone}, {8, 50000, Where::kSunkInZone}, {9, 3, Where::kStanding},
      {10, 2147483647, Where::kSunk}, {11, 0, Where::kStanding},      {12, 0, Where::kSunk},
      {13, 49999, Where::kStanding},  {14, 0, Where::kInZone},
  };
  SpawnAll(spawns);
  const std::set<std::int64_t> condemned = {2, 4, 6, 7, 12, 14};
  // The wild ones: 1, 2, 4, 6, 7, 9, 11, 12, 13, 14, visited from the last at 4 per tick.
  {
    PluginLibrary plugin;
    for (int tick = 0; tick < 8; ++tick) standin::Tick();
  }

  std::set<std::int64_t> destroyed;
  std::map<std::int64_t, int> visits_per_tick;
  for (const standin::Event& event : DestroyEvents()) {
    destroyed.insert(event.creature);
    ++visits_per_tick[event.tick];
  }
  EXPECT_EQ(destroyed, condemned);
  for (const Spawn& spawn : spawns) {
    if (spawn.team >= 50000) {
      EXPECT_EQ(destroyed.count(spawn.id), 0U) << spawn.id;
    }
  }
  // Destroyed creatures are gone for good: each got its one request in one visit (7, sunk inside
  // the zone, got two).
  for (const standin::CreatureInfo& info : standin::Creatures()) {
    const int expected = info.id == 7 ? 2 : condemned.count(info.id) != 0 ? 1 : 0;
    EXPECT_EQ(info.destroy_requests, expected) << info.id;
    EXPECT_EQ(info.destroyed, condemned.count(info.id) != 0) << info.id;
  }
  // The first tick visits 14, 13, 12 and 11 only.
  const std::vector<standin::Event> events = DestroyEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().creature, 14);
  EXPECT_EQ(events.front().tick, events[1].tick);
  EXPECT_EQ(events[1].creature, 12);
  EXPECT_NE(events[2].tick, events.front().tick);
  EXPECT_TRUE(LogTexts(spdlog::level::err).empty());
}

TEST_F(SweepEndToEndTest, AFaultInATickIsContainedAndTheSweepGoesOn) {
  SpawnAll({{1, 0, Where::kSunk},
            {2, 0, Where::kSunk},
            {3, 0, Where::kStanding},
            {4, 0, Where::kStanding},
            {5, 0, Where::kSunk},
            {6, 0, Where::kStanding}});
  PluginLibrary plugin;  // builds the roster: 1 to 6
  // The game destroys and reclaims creature 5 before the sweep reaches it.
  standin::SetReclaimDelayTicks(0);
  standin::DestroyByGame(5);
  standin::ClearEvents();
  standin::ThrowFromGameFunction("APrimalCharacter.GetGroundLocation");

  standin::Tick();  // 6 throws in its ground query: the tick ends there
  EXPECT_EQ(LogTexts(spdlog::level::err), std::vector<std::string>{kPreventedCrash});
  standin::Tick();  // 5 faults
  EXPECT_EQ(LogTexts(spdlog::level::err),
            (std::vector<std::string>{kPreventedCrash, kPreventedCrash}));
  standin::Tick();  // 4, 3, 2, 1
  std::vector<std::int64_t> destroyed;
  for (const standin::Event& event : DestroyEvents()) destroyed.push_back(event.creature);
  EXPECT_EQ(destroyed, (std::vector<std::int64_t>{2, 1}));
  EXPECT_EQ(LogTexts(spdlog::level::err).size(), 2U);
}

#if !defined(_WIN32)
// The library's fault handlers live in its code: once it is unloaded, a fault must not reach them.
TEST_F(SweepEndToEndTest, UnloadingPutsBackTheFaultHandlingItFound) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &before), 0);
  stack_t stack_before{};
  ASSERT_EQ(sigaltstack(nullptr, &stack_before), 0);
  {
    PluginLibrary plugin;
    standin::Tick();  // the first guarded step installs the handlers
    struct sigaction during {};
    ASSERT_EQ(sigaction(SIGSEGV, nullptr, &during), 0);
    EXPECT_NE(reinterpret_cast<void*>(during.sa_sigaction),
              reinterpret_cast<void*>(before.sa_sigaction));
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(reinterpret_cast<void*>(after.sa_sigaction),
            reinterpret_cast<void*>(before.sa_sigaction));
  // The C library adds its own restorer flag to any handler it installs, so only these count.
  constexpr int kFlags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  EXPECT_EQ(after.sa_flags & kFlags, before.sa_flags & kFlags);
  stack_t stack_after{};
  ASSERT_EQ(sigaltstack(nullptr, &stack_after), 0);
  EXPECT_EQ(stack_after.ss_flags, stack_before.ss_flags);
  EXPECT_EQ(stack_after.ss_sp, stack_before.ss_sp);
}
#endif

}  // namespace
