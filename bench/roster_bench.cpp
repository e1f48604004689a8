// BuildCreatureRoster for 1,000 to 1,000,000 creatures against the stand-in's own
// GetAllActorsOfClass plus one team read per creature, made directly. Each build starts from an
// empty roster with no storage, as the sweep leaves it. Counters give the game allocator calls of
// one full pass: the build, then every entry taken off the end under the shrink rule.
//
// A third of the creatures are tamed (team 50000 and above) and stay out of the roster.
#include <cstdint>
#include <string>

#include "bench_support.h"
#include "brimwarden/host/framework_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"

namespace {

using brimwarden::bench::FieldAt;
using brimwarden::bench::FieldOffset;
using brimwarden::bench::GameFunction;

constexpr std::int32_t kFirstTamedTeam = 50000;

void MakeWorld(std::int64_t creatures) {
  static std::int64_t made = -1;
  if (made == creatures) return;
  made = creatures;
  standin::ResetWorld();
  for (std::int64_t id = 0; id < creatures; ++id) {
    const std::int32_t team = id % 3 == 0 ? kFirstTamedTeam + static_cast<std::int32_t>(id % 7)
                                          : static_cast<std::int32_t>(id % 1000);
    standin::SpawnCreature(id, team, {static_cast<float>(id % 1000), 0.0F, 150.0F});
  }
}

std::int64_t AllocatorCalls(const standin::AllocatorStats& stats) {
  return stats.mallocs + stats.reallocs + stats.frees;
}

void BuildRoster(benchmark::State& state, std::int64_t creatures) {
  MakeWorld(creatures);
  brimwarden::bench::TimeRosterBuilds(state);
  brimwarden::CreatureRoster.FreeStorage();

  // One full pass, counted rather than timed.
  const standin::AllocatorStats before = standin::GetAllocatorStats();
  brimwarden::BuildCreatureRoster();
  const standin::AllocatorStats built = standin::GetAllocatorStats();
  const std::int64_t entries = brimwarden::CreatureRoster.Num();
  while (!brimwarden::RosterIsEmpty()) brimwarden::TakeLastRosterEntry();
  const standin::AllocatorStats drained = standin::GetAllocatorStats();
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["alloc_calls_build"] =
      static_cast<double>(AllocatorCalls(built) - AllocatorCalls(before));
  state.counters["alloc_calls_drain"] =
      static_cast<double>(AllocatorCalls(drained) - AllocatorCalls(built));
  brimwarden::ResetProcessObjects();
}

// The game's list call into an empty array, and one team read per creature.
void RosterFloor(benchmark::State& state, std::int64_t creatures) {
  MakeWorld(creatures);
  using ClassFunction = UClass*();
  using ListFunction = void(UWorld*, UClass*, HostArray<AActor*>*);
  auto* const get_class = GameFunction<ClassFunction>("APrimalDinoCharacter.GetPrivateStaticClass");
  auto* const list_actors = GameFunction<ListFunction>("UGameplayStatics.GetAllActorsOfClass");
  const std::ptrdiff_t team_offset = FieldOffset(standin::FindCreature(0), "AActor.TargetingTeam");
  UWorld* const world = ArkApi::GetApiUtils().CurrentWorld();

  HostArray<AActor*> list;
  for (auto _ : state) {
    state.PauseTiming();
    list.FreeStorage();
    state.ResumeTiming();
    list_actors(world, get_class(), &list);
    std::int64_t wild = 0;
    for (std::int32_t i = 0; i < list.Num(); ++i) {
      wild += FieldAt<std::int32_t>(list[i], team_offset) < kFirstTamedTeam ? 1 : 0;
    }
    benchmark::DoNotOptimize(wild);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const std::int64_t creatures : {1000, 10000, 100000, 1000000}) {
    const std::string suffix = "/creatures:" + std::to_string(creatures);
    brimwarden::bench::RegisterFloor("RosterGameCallsFloor" + suffix, [=](benchmark::State& state) {
      RosterFloor(state, creatures);
    })->Unit(benchmark::kMicrosecond);
    brimwarden::bench::RegisterAgainst(
        "BuildCreatureRoster" + suffix, "RosterGameCallsFloor" + suffix,
        [=](benchmark::State& state) { BuildRoster(state, creatures); })
        ->Unit(benchmark::kMicrosecond);
  }
  return brimwarden::bench::RunBenchmarks(argc, argv);
}
