// The stand-in's game side: the allocator's accounting, the actor list and its growth, classes and
// fields, the ground query over the terrain, and destruction with its memory reclaimed later.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <limits>
#include <vector>

#include "brimwarden/host/game_types.h"
#include "brimwarden/standin/standin.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using ::testing::ElementsAre;

const NativeFunction<UClass*()> kCreatureClass{"APrimalDinoCharacter.GetPrivateStaticClass"};
const NativeFunction<void(UWorld*, UClass*, HostArray<AActor*>*)> kGetAllActorsOfClass{
    "UGameplayStatics.GetAllActorsOfClass"};
const NativeFunction<bool(UObject*, UClass*)> kIsA{"UObjectBaseUtility.IsA"};
const NativeFunction<Vector3*(APrimalCharacter*, Vector3*, const Vector3*, const Vector3*)> kGround{
    "APrimalCharacter.GetGroundLocation"};
const NativeFunction<bool(AActor*, bool, bool)> kDestroy{"AActor.Destroy"};
const NativeField<std::int32_t> kTeam{"AActor.TargetingTeam"};
const NativeField<USceneComponent*> kRootComponent{"AActor.RootComponent"};
const NativeField<Vector3> kRelativeLocation{"USceneComponent.RelativeLocation"};
const NativeField<Vector3> kDefaultActorLocation{"AActor.DefaultActorLocation"};
const NativeField<std::uint8_t> kIsAdmin{"AShooterPlayerController.bIsAdmin"};

class StandinWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ResetWorld();
    standin::ClearEvents();
  }
  void TearDown() override { standin::ResetWorld(); }
};

std::vector<std::int64_t> Ids(const HostArray<AActor*>& actors) {
  std::vector<std::int64_t> ids;
  ids.reserve(static_cast<std::size_t>(actors.Num()));
  for (std::int32_t i = 0; i < actors.Num(); ++i) ids.push_back(standin::CreatureId(actors[i]));
  return ids;
}

TEST_F(StandinWorld, TheAllocatorAccountsForEveryCallAndRefusesForeignBlocks) {
  const standin::AllocatorStats before = standin::GetAllocatorStats();
  void* block = brimwarden::host::kMalloc(24, 0);
  static_cast<char*>(block)[23] = 'x';
  void* aligned = brimwarden::host::kMalloc(100, 64);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 64, 0U);
  EXPECT_TRUE(standin::IsLiveBlock(block));
  standin::AllocatorStats now = standin::GetAllocatorStats();
  EXPECT_EQ(now.live_blocks - before.live_blocks, 2);
  EXPECT_EQ(now.live_bytes - before.live_bytes, 124);

  void* grown = brimwarden::host::kRealloc(block, 4000);
  EXPECT_EQ(static_cast<char*>(grown)[23], 'x');  // contents kept
  EXPECT_FALSE(standin::IsLiveBlock(block) && block != grown);
  EXPECT_EQ(brimwarden::host::kRealloc(aligned, 0), nullptr);  // to nothing frees the block
  now = standin::GetAllocatorStats();
  EXPECT_EQ(now.live_blocks - before.live_blocks, 1);
  EXPECT_EQ(now.live_bytes - before.live_bytes, 4000);

  int not_from_the_game = 0;
  brimwarden::host::kFree(&not_from_the_game);  // reported and left alone
  brimwarden::host::kFree(nullptr);
  brimwarden::host::kFree(grown);
  EXPECT_EQ(brimwarden::host::kRealloc(&not_from_the_game, 8), nullptr);
  now = standin::GetAllocatorStats();
  EXPECT_EQ(now.live_blocks, before.live_blocks);
  EXPECT_EQ(now.live_bytes, before.live_bytes);
  EXPECT_EQ(now.mallocs - before.mallocs, 2);
  EXPECT_EQ(now.reallocs - before.reallocs, 3);
  EXPECT_EQ(now.frees - before.frees, 3);
  EXPECT_EQ(now.foreign_frees - before.foreign_frees, 2);
  EXPECT_FALSE(standin::IsLiveBlock(grown));
}

TEST_F(StandinWorld, TheActorListGrowsByTheGameRuleAndKeepsSpawnOrder) {
  for (std::int64_t id = 1; id <= 48; ++id) {
    standin::SpawnCreature(id, 0, {});
    if (id == 10) standin::SpawnForeignActor(1000, {});  // another class: never listed
  }
  standin::AddPlayer("Alice", false);
  const standin::AllocatorStats before = standin::GetAllocatorStats();
  HostArray<AActor*> actors;
  kGetAllActorsOfClass(ArkApi::GetApiUtils().CurrentWorld(), kCreatureClass(), &actors);
  ASSERT_EQ(actors.Num(), 48);
  EXPECT_EQ(actors.Max(), 82);  // 4 at the 1st, 22 at the 5th, 47 at the 23rd, 82 at the 48th
  const standin::AllocatorStats after = standin::GetAllocatorStats();
  EXPECT_EQ(after.mallocs - before.mallocs, 1);
  EXPECT_EQ(after.reallocs - before.reallocs, 3);
  std::vector<std::int64_t> expected;
  for (std::int64_t id = 1; id <= 48; ++id) expected.push_back(id);
  EXPECT_EQ(Ids(actors), expected);

  // Refilling keeps the caller's storage when it is large enough; destroyed actors are gone.
  AActor* const* storage = actors.Data();
  standin::DestroyByGame(48);
  standin::DestroyByGame(1);
  kGetAllActorsOfClass(ArkApi::GetApiUtils().CurrentWorld(), kCreatureClass(), &actors);
  EXPECT_EQ(actors.Num(), 46);
  EXPECT_EQ(actors.Max(), 82);
  EXPECT_EQ(actors.Data(), storage);
  EXPECT_EQ(standin::CreatureId(actors[0]), 2);
  EXPECT_EQ(standin::GetAllocatorStats().reallocs, after.reallocs);
}

TEST_F(StandinWorld, TheListHookShapesWhatTheGameWritesIntoTheArray) {
  AActor* first = standin::SpawnCreature(1, 0, {});
  standin::SpawnCreature(2, 0, {});
  AActor* foreign = standin::SpawnForeignActor(3, {});
  standin::SetActorListHook([&](std::vector<AActor*>& list) {
    EXPECT_EQ(list.size(), 2U);
    list.insert(list.begin(), nullptr);
    list.push_back(foreign);
    list.push_back(first);
  });
  HostArray<AActor*> actors;
  kGetAllActorsOfClass(ArkApi::GetApiUtils().CurrentWorld(), kCreatureClass(), &actors);
  EXPECT_EQ(actors.Max(), 22);  // five appends: 4, then 5 + 0 + 16
  EXPECT_THAT(Ids(actors), ElementsAre(-1, 1, 2, 3, 1));
  EXPECT_EQ(actors[0], nullptr);
  standin::SetActorListHook(nullptr);
  kGetAllActorsOfClass(ArkApi::GetApiUtils().CurrentWorld(), kCreatureClass(), &actors);
  EXPECT_THAT(Ids(actors), ElementsAre(1, 2));
}

TEST_F(StandinWorld, ClassesAndFieldsReadAsTheGameLaysThemOut) {
  AActor* creature = standin::SpawnCreature(5, 49999, {1.5F, -2.0F, 300.0F});
  AActor* foreign = standin::SpawnForeignActor(6, {});
  AShooterPlayerController* admin = standin::AddPlayer("Admin", true);
  AShooterPlayerController* guest = standin::AddPlayer("Guest", false);
  UClass* creatures = kCreatureClass();
  EXPECT_EQ(creatures, kCreatureClass());
  EXPECT_TRUE(kIsA(reinterpret_cast<UObject*>(creature), creatures));
  EXPECT_FALSE(kIsA(reinterpret_cast<UObject*>(foreign), creatures));
  EXPECT_FALSE(kIsA(reinterpret_cast<UObject*>(admin), creatures));

  EXPECT_EQ(kTeam(creature), 49999);
  standin::SetTeam(5, -1);
  EXPECT_EQ(kTeam(creature), -1);
  USceneComponent* root = kRootComponent(creature);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(kRelativeLocation(root).Z, 300.0F);
  standin::SetRootComponentPresent(5, false);
  EXPECT_EQ(kRootComponent(creature), nullptr);
  standin::SetRootComponentPresent(5, true);
  EXPECT_EQ(kRootComponent(creature), root);

  EXPECT_EQ(kIsAdmin(admin), 1);
  EXPECT_EQ(kIsAdmin(guest), 0);
  standin::MovePlayer(guest, {10.0F, 20.0F, 30.0F});
  EXPECT_EQ(kDefaultActorLocation(guest).Y, 20.0F);
  EXPECT_EQ(standin::FindPlayer("Guest"), guest);
  EXPECT_EQ(standin::FindPlayer("Nobody"), nullptr);
  EXPECT_EQ(standin::CreatureId(reinterpret_cast<AActor*>(guest)), -1);
  EXPECT_THROW(standin::SpawnCreature(5, 0, {}), std::invalid_argument);
}

TEST_F(StandinWorld, TheGroundQueryFindsTheTerrainOnlyWithinItsReach) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const char* what;
    float terrain;
    Vector3 position;
    float up;
    float down;
    bool found;
    float expected_z;  // exactly 0 when no ground was found
  } cases[] = {
      {"above ground", 100, {5, 6, 150}, 0, -150000, true, 100},
      {"below ground", 100, {5, 6, 99.5F}, 0, -150000, false, 0},
      {"exactly at the ground", 100, {5, 6, 100}, 0, -150000, true, 100},
      {"out of reach below", 100, {5, 6, 500}, 0, -300, false, 0},
      {"at the end of its reach", 100, {5, 6, 400}, 0, -300, true, 100},
      {"below, but reaching up", 100, {5, 6, 50}, 60, -10, true, 100},
      {"ground at height 0 looks like none", 0, {5, 6, 10}, 0, -150000, true, 0},
      {"negative ground", -250, {5, 6, 0}, 0, -1000, true, -250},
      {"NaN height", 100, {5, 6, nan}, 0, -150000, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    standin::ResetWorld();
    standin::SetFlatTerrain(c.terrain);
    AActor* creature = standin::SpawnCreature(1, 0, c.position);
    Vector3 result{7, 8, 9};
    const Vector3 up{0, 0, c.up};
    const Vector3 down{0, 0, c.down};
    EXPECT_EQ(kGround(reinterpret_cast<APrimalCharacter*>(creature), &result, &up, &down), &result);
    EXPECT_EQ(result.Z, c.expected_z);
    if (c.found) {
      EXPECT_EQ(result.X, 5);
      EXPECT_EQ(result.Y, 6);
    } else {
      EXPECT_FALSE(std::signbit(result.Z));
      EXPECT_EQ(result.X, 7);  // left as the caller set it
    }
  }
}

TEST_F(StandinWorld, HillsAreSmoothDeterministicAndOfAFewHundredUnits) {
  standin::SetHillsTerrain(42);
  std::vector<float> first;
  float lowest = 1e9F;
  float highest = -1e9F;
  for (int i = 0; i < 200; ++i) {
    const float x = -50000.0F + 500.0F * static_cast<float>(i);
    const float y = 30000.0F - 300.0F * static_cast<float>(i);
    const float h = standin::GroundHeightAt(x, y);
    ASSERT_FALSE(std::isnan(h));
    EXPECT_LT(std::fabs(standin::GroundHeightAt(x + 10.0F, y) - h), 5.0F);  // no cliffs
    lowest = std::min(lowest, h);
    highest = std::max(highest, h);
    first.push_back(h);
  }
  EXPECT_GT(highest - lowest, 100.0F);
  EXPECT_LT(highest - lowest, 700.0F);
  standin::SetHillsTerrain(7);
  EXPECT_NE(standin::GroundHeightAt(0, 0), first[100]);
  standin::SetHillsTerrain(42);
  EXPECT_EQ(standin::GroundHeightAt(-50000.0F + 500.0F * 100, 30000.0F - 300.0F * 100), first[100]);
  standin::ResetWorld();
  EXPECT_EQ(standin::GroundHeightAt(1, 2), 100.0F);
}

TEST_F(StandinWorld, DestroyTakesTheActorOutAtOnceAndReclaimsItsMemoryLater) {
  AActor* creature = standin::SpawnCreature(9, 3, {1, 2, 3});
  standin::SpawnCreature(10, 0, {});
  standin::Tick();
  EXPECT_TRUE(kDestroy(creature, true, true));
  EXPECT_TRUE(kDestroy(creature, true, true));  // a repeated request does no harm
  EXPECT_TRUE(standin::IsDestroyed(9));
  EXPECT_EQ(standin::FindCreature(9), nullptr);
  EXPECT_EQ(standin::AliveCreatureCount(), 1U);
  HostArray<AActor*> actors;
  kGetAllActorsOfClass(ArkApi::GetApiUtils().CurrentWorld(), kCreatureClass(), &actors);
  EXPECT_THAT(Ids(actors), ElementsAre(10));

  // Destroyed during tick 1 with the default delay of 2: readable through ticks 2 and 3... until
  // the end of tick 3, when the memory goes back.
  standin::Tick();
  EXPECT_EQ(standin::CreatureId(creature), 9);
  EXPECT_TRUE(kDestroy(creature, true, true));
  standin::Tick();
  EXPECT_EQ(standin::CreatureId(creature), -1);

  standin::DestroyByGame(10);
  std::vector<std::pair<std::int64_t, std::int64_t>> destroyed;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kDestroy)
      destroyed.emplace_back(event.creature, event.tick);
  }
  using Pair = std::pair<std::int64_t, std::int64_t>;
  EXPECT_THAT(destroyed, ElementsAre(Pair{9, 1}, Pair{9, 1}, Pair{9, 2}, Pair{10, 3}));
  const std::vector<standin::CreatureInfo> creatures = standin::Creatures();
  ASSERT_EQ(creatures.size(), 2U);
  EXPECT_EQ(creatures[0].id, 9);
  EXPECT_EQ(creatures[0].team, 3);
  EXPECT_EQ(creatures[0].position.Z, 3.0F);
  EXPECT_TRUE(creatures[0].destroyed);
  EXPECT_EQ(creatures[0].destroyed_at_tick, 1);
  EXPECT_EQ(creatures[0].destroy_requests, 3);
  EXPECT_EQ(creatures[1].destroy_requests, 0);  // the game destroyed it, not a request
  EXPECT_EQ(creatures[1].destroyed_at_tick, 3);
}

TEST_F(StandinWorld, ManyReclaimedActorsKeepOnlyABoundedNumberOfPagesProtected) {
  standin::SetReclaimDelayTicks(0);
  for (std::int64_t id = 0; id < 6000; ++id) {
    AActor* actor = standin::SpawnCreature(id, 0, {});
    standin::DestroyByGame(id);
    EXPECT_EQ(standin::CreatureId(actor), -1);
  }
  // Old reclaimed pages are reused: the world keeps working and stays consistent.
  AActor* reused = standin::SpawnCreature(99999, 4, {});
  EXPECT_EQ(standin::CreatureId(reused), 99999);
  EXPECT_EQ(kTeam(reused), 4);
  EXPECT_EQ(standin::AliveCreatureCount(), 1U);
}

#if defined(_WIN32)
// An access violation raised inside a called function is caught by __except.
__attribute__((noinline)) std::int32_t ReadTeam(AActor* actor) { return kTeam(actor); }
bool ReadFaults(AActor* actor) {
  __try {
    volatile std::int32_t team = ReadTeam(actor);
    (void)team;
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return true;
  }
  return false;
}

__attribute__((noinline)) void CallDestroy(AActor* actor) { kDestroy(actor, true, true); }
bool DestroyFaults(AActor* actor) {
  __try {
    CallDestroy(actor);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return true;
  }
  return false;
}

TEST_F(StandinWorld, AnInjectedFaultIsARealAccessViolationInsideTheGameFunction) {
  AActor* creature = standin::SpawnCreature(1, 0, {});
  standin::FaultInGameFunction("AActor.Destroy");
  EXPECT_TRUE(DestroyFaults(creature));
  EXPECT_FALSE(standin::IsDestroyed(1));  // the fault came before the game function did anything
  EXPECT_FALSE(DestroyFaults(creature));
  EXPECT_TRUE(standin::IsDestroyed(1));
}

TEST_F(StandinWorld, AStalePointerFaultsOnceTheMemoryIsReclaimed) {
  standin::SetReclaimDelayTicks(1);
  AActor* creature = standin::SpawnCreature(1, 0, {});
  standin::DestroyByGame(1);
  EXPECT_FALSE(ReadFaults(creature));
  standin::Tick();
  EXPECT_TRUE(ReadFaults(creature));
}
#else
TEST(StandinWorldDeathTest, AStalePointerFaultsOnceTheMemoryIsReclaimed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  standin::ResetWorld();
  standin::SetReclaimDelayTicks(1);
  AActor* creature = standin::SpawnCreature(1, 7, {});
  kDestroy(creature, true, true);
  EXPECT_EQ(kTeam(creature), 7);  // destroyed, but its memory is still there
  standin::Tick();
  EXPECT_EXIT(
      {
        volatile std::int32_t team = kTeam(creature);
        (void)team;
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  standin::ResetWorld();
}
#endif

// The calls that follow a stale pointer into the game: each must fault on a reclaimed actor.
void FollowIsA(AActor* actor) { kIsA(reinterpret_cast<UObject*>(actor), kCreatureClass()); }
void FollowGround(AActor* actor) {
  Vector3 ground{};
  const Vector3 up{0, 0, 0};
  const Vector3 down{0, 0, -1000};
  kGround(reinterpret_cast<APrimalCharacter*>(actor), &ground, &up, &down);
}
void FollowDestroy(AActor* actor) { kDestroy(actor, true, true); }

#if defined(_WIN32)
__attribute__((noinline)) bool CallFaults(void (*call)(AActor*), AActor* actor) {
  __try {
    call(actor);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return true;
  }
  return false;
}
#endif

// Past the actors with a page of their own, actors share pages: a reclaimed one cannot be
// protected without its neighbours, so it is filled, and the game's functions fault on it all the
// same while the neighbours stay as they were. Once it leaves the kept ones it is reused, zeroed.
TEST(StandinWorldSharedPagesTest, AReclaimedActorFaultsInTheGameAndItsNeighboursStay) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  standin::ResetWorld();
  standin::SetReclaimDelayTicks(0);
  const auto first = static_cast<std::int64_t>(standin::kActorsWithOwnPage);
  for (std::int64_t id = 0; id < first; ++id) standin::SpawnCreature(id, 0, {});
  AActor* const stale = standin::SpawnCreature(first, 7, {1, 2, 3});
  AActor* const neighbour = standin::SpawnCreature(first + 1, 8, {4, 5, 6});
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stale) / 4096,
            reinterpret_cast<std::uintptr_t>(neighbour) / 4096);

  standin::DestroyByGame(first);
  EXPECT_EQ(standin::CreatureId(stale), -1);
  EXPECT_EQ(standin::CreatureId(neighbour), first + 1);
  EXPECT_EQ(kTeam(neighbour), 8);
  EXPECT_EQ(kRelativeLocation(kRootComponent(neighbour)).Z, 6.0F);
  for (void (*call)(AActor*) : {FollowIsA, FollowGround, FollowDestroy}) {
#if defined(_WIN32)
    EXPECT_TRUE(CallFaults(call, stale));
#else
    EXPECT_EXIT(call(stale), ::testing::KilledBySignal(SIGSEGV), "");
#endif
  }
  EXPECT_EQ(standin::Creatures()[static_cast<std::size_t>(first)].destroy_requests, 0);

  standin::SetReclaimedPagesKept(1);
  standin::DestroyByGame(first + 1);  // the stale one leaves the kept ones
  AActor* const reused = standin::SpawnCreature(first + 2, 9, {});
  EXPECT_EQ(reused, stale);
  EXPECT_EQ(standin::CreatureId(reused), first + 2);
  EXPECT_EQ(kTeam(reused), 9);
  EXPECT_EQ(kRelativeLocation(kRootComponent(reused)).Z, 0.0F);
  standin::ResetWorld();
}

}  // namespace
