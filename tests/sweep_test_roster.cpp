// The creature roster: what the build keeps and drops, the game allocator calls it makes, the
// shrink rule when entries are taken, and the cost of a whole pass.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "sweep_test_fixture.h"

namespace brimwarden::test {
namespace {

using RosterTest = SweepFixture;

TEST_F(RosterTest, KeepsTheGamesOrderAndOnlyTeamsBelow50000) {
  const std::int32_t teams[] = {49999, 0, -1, 50000, INT_MIN, 50001, INT_MAX, 7};
  std::int64_t id = 1;
  for (const std::int32_t team : teams) standin::SpawnCreature(id++, team, {0, 0, kStanding});
  // Nulls at the start, in the middle and at the end of the game's list are dropped.
  standin::SetActorListHook([](std::vector<AActor*>& actors) {
    actors.insert(actors.begin(), nullptr);
    actors.insert(actors.begin() + 4, nullptr);
    actors.push_back(nullptr);
  });

  BuildCreatureRoster();

  EXPECT_EQ(RosterIds(), (std::vector<std::int64_t>{1, 2, 3, 5, 8}));
  EXPECT_EQ(CreatureRoster.Max(), 22);  // 4, then 5 + 5*3/8 + 16 at the fifth entry
  std::vector<std::int64_t> taken;
  while (!RosterIsEmpty()) taken.push_back(standin::CreatureId(TakeLastRosterEntry()));
  EXPECT_EQ(taken, (std::vector<std::int64_t>{8, 5, 3, 2, 1}));
}

TEST_F(RosterTest, GrowsByTheGameRule) {
  struct Case {
    int creatures;
    std::int32_t capacity;
  };
  const Case cases[] = {{1, 4}, {4, 4}, {5, 22}, {22, 22}, {23, 47}, {47, 47}, {48, 82}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.creatures);
    standin::ResetWorld();
    ResetProcessObjects();
    for (int i = 0; i < c.creatures; ++i) standin::SpawnCreature(i + 1, 0, {0, 0, kStanding});
    const standin::AllocatorStats before = standin::GetAllocatorStats();
    BuildCreatureRoster();
    const standin::AllocatorStats after = standin::GetAllocatorStats();
    EXPECT_EQ(CreatureRoster.Num(), c.creatures);
    EXPECT_EQ(CreatureRoster.Max(), c.capacity);
    EXPECT_TRUE(standin::IsLiveBlock(CreatureRoster.Data()));
    // The game's list went back; only the roster's own storage is new.
    EXPECT_EQ(after.live_blocks - before.live_blocks, 1);
    EXPECT_EQ(after.live_bytes - before.live_bytes, static_cast<std::int64_t>(c.capacity) * 8);
    EXPECT_EQ(after.foreign_frees, before.foreign_frees);
  }
}

TEST_F(RosterTest, EmptyResultHasNoStorageAndReturnsTheGamesStorage) {
  struct Case {
    const char* name;
    std::vector<std::int32_t> teams;
    bool nulls_only;
  };
  const Case cases[] = {
      {"no creatures", {}, false},
      {"all tamed", {50000, 60000, INT_MAX}, false},
      {"only nulls", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin::ResetWorld();
    ResetProcessObjects();
    std::int64_t id = 1;
    for (const std::int32_t team : c.teams) standin::SpawnCreature(id++, team, {0, 0, kStanding});
    standin::SetActorListHook(
        c.nulls_only ? std::function<void(std::vector<AActor*>&)>(
                           [](std::vector<AActor*>& actors) { actors.assign(3, nullptr); })
                     : nullptr);
    const standin::AllocatorStats before = standin::GetAllocatorStats();
    BuildCreatureRoster();
    const standin::AllocatorStats after = standin::GetAllocatorStats();
    EXPECT_TRUE(RosterIsEmpty());
    EXPECT_EQ(CreatureRoster.Max(), 0);
    EXPECT_EQ(CreatureRoster.Data(), nullptr);
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
    EXPECT_EQ(after.foreign_frees, before.foreign_frees);
    if (!c.teams.empty() || c.nulls_only) {
      EXPECT_GE(after.frees - before.frees, 1);
    }
  }
}

TEST_F(RosterTest, StorageLeftInTheRosterIsReusedOrReturned) {
  CreatureRoster.Reallocate(10);
  standin::SpawnCreature(1, 0, {0, 0, kStanding});
  const standin::AllocatorStats before = standin::GetAllocatorStats();
  BuildCreatureRoster();
  const standin::AllocatorStats after = standin::GetAllocatorStats();
  EXPECT_EQ(RosterIds(), std::vector<std::int64_t>{1});
  EXPECT_EQ(CreatureRoster.Max(), 4);
  // The ten slots are gone, the roster's four are new.
  EXPECT_EQ(after.live_blocks, before.live_blocks);
  EXPECT_EQ(after.live_bytes - before.live_bytes, (4 - 10) * 8);
}

TEST_F(RosterTest, ShrinksOnlyAsTheRuleAllows) {
  struct Case {
    std::int32_t count;  // before the entry is taken
    std::int32_t capacity;
    std::int32_t capacity_after;
  };
  const Case cases[] = {
      {30, 100, 29},       // 71 free slots, fewer than two thirds used
      {30, 90, 90},        // 61 free slots are not more than 64
      {11, 75, 10},        // 65 free slots
      {11, 74, 74},        // 64 free slots
      {1, 4, 0},           // the last entry: reallocated to 0 bytes
      {1, 1, 0},           //
      {2, 2, 2},           // one free slot
      {4097, 6144, 4096},  // 2048 free slots are 16384 bytes, though two thirds are used
      {4098, 6144, 6144},  // 2047 free slots, and two thirds used
      {4001, 6000, 6000},  // 2000 free slots, exactly two thirds used
      {4000, 6000, 3999},  // fewer than two thirds used
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.count << " of " << c.capacity);
    ResetProcessObjects();
    CreatureRoster.Reallocate(c.capacity);
    for (std::int32_t i = 0; i < c.count; ++i) CreatureRoster.Add(FakeActor(i));
    const standin::AllocatorStats before = standin::GetAllocatorStats();

    EXPECT_EQ(TakeLastRosterEntry(), FakeActor(c.count - 1));

    const standin::AllocatorStats after = standin::GetAllocatorStats();
    const bool shrinks = c.capacity_after != c.capacity;
    EXPECT_EQ(CreatureRoster.Num(), c.count - 1);
    EXPECT_EQ(CreatureRoster.Max(), c.capacity_after);
    EXPECT_EQ(after.reallocs - before.reallocs, shrinks ? 1 : 0);
    EXPECT_EQ(after.mallocs, before.mallocs);
    EXPECT_EQ(after.frees, before.frees);
    // The reallocation asks for exactly count * 8 bytes; 0 bytes frees the block.
    EXPECT_EQ(after.live_bytes - before.live_bytes,
              static_cast<std::int64_t>(c.capacity_after - c.capacity) * 8);
    if (c.capacity_after == 0) {
      EXPECT_EQ(CreatureRoster.Data(), nullptr);
      EXPECT_EQ(after.live_blocks, before.live_blocks - 1);
    } else {
      EXPECT_TRUE(standin::IsLiveBlock(CreatureRoster.Data()));
      // Entries below the count survive a reallocation unmoved.
      for (std::int32_t i = 0; i < CreatureRoster.Num(); ++i) {
        ASSERT_EQ(CreatureRoster[i], FakeActor(i));
      }
    }
  }
}

// Appends N entries as the build does, then takes them all as the sweep does, counting the
// allocator's calls of each half.
struct PassCost {
  std::int64_t growth_calls;
  std::int64_t shrink_reallocs;
};

PassCost MeasurePass(std::int32_t entries) {
  ResetProcessObjects();
  const standin::AllocatorStats start = standin::GetAllocatorStats();
  for (std::int32_t i = 0; i < entries; ++i) CreatureRoster.Add(FakeActor(i));
  const standin::AllocatorStats built = standin::GetAllocatorStats();
  while (!RosterIsEmpty()) TakeLastRosterEntry();
  const standin::AllocatorStats end = standin::GetAllocatorStats();
  EXPECT_EQ(CreatureRoster.Max(), 0);
  EXPECT_EQ(CreatureRoster.Data(), nullptr);
  EXPECT_EQ(end.live_blocks, start.live_blocks);
  EXPECT_EQ(end.mallocs, built.mallocs);
  EXPECT_EQ(end.frees, built.frees);
  return {(built.mallocs - start.mallocs) + (built.reallocs - start.reallocs),
          end.reallocs - built.reallocs};
}

TEST_F(RosterTest, PassCostsFewReallocations) {
  const PassCost small = MeasurePass(1000);
  const PassCost large = MeasurePass(1000000);
  RecordProperty("growth_calls_1000", static_cast<int>(small.growth_calls));
  RecordProperty("shrink_reallocs_1000", static_cast<int>(small.shrink_reallocs));
  RecordProperty("growth_calls_1000000", static_cast<int>(large.growth_calls));
  RecordProperty("shrink_reallocs_1000000", static_cast<int>(large.shrink_reallocs));
  std::printf("pass of 1000: %lld growth calls, %lld shrink reallocations\n",
              static_cast<long long>(small.growth_calls),
              static_cast<long long>(small.shrink_reallocs));
  std::printf("pass of 1000000: %lld growth calls, %lld shrink reallocations\n",
              static_cast<long long>(large.growth_calls),
              static_cast<long long>(large.shrink_reallocs));

  // Growth multiplies the capacity by about 11/8: logarithmic in N.
  EXPECT_LE(small.growth_calls, 2 * std::log2(1000.0));
  EXPECT_LE(large.growth_calls, 2 * std::log2(1000000.0));
  // Below 2048 free slots the storage shrinks by a third at a time: logarithmic in N.
  EXPECT_LE(small.shrink_reallocs, 2 * std::log2(1000.0));
  // Above that, 16384 free bytes (2048 slots) are enough to shrink: one reallocation per 2048
  // entries taken, plus the logarithmic tail.
  EXPECT_LE(large.shrink_reallocs, 1000000.0 / 2048 + 2 * std::log2(1000000.0));
  EXPECT_GE(large.shrink_reallocs, (1000000 - 6144) / 2048);
}

}  // namespace
}  // namespace brimwarden::test
