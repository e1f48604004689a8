// One sweep step (the registered tick callback, its fault guard included) at DinosPerTick 20 and
// 200, with 0, 10 and 1,000 kill zones, against the step's mandated floor: per creature the six
// game names resolved through the framework, as the plugin must at every use (the class lookup,
// the class test, the team, the root component, the position and the ground query), and the game
// calls made through what they resolve to, directly on the stand-in. The bare game calls through
// addresses resolved once (SweepGameCallsFloor) are shown beside it.
//
// Counters per step show what the step allocates: heap_allocs (operator new, replaced below to
// count) and game_alloc_calls (the game allocator, where only the roster's shrink rule reallocates
// now and then). The plugin's own code allocates nothing in a step: heap_allocs equals
// game_alloc_calls, the stand-in's bookkeeping of each of those calls. The sweep's counters add
// neither.
//
// NameResolution times one resolution of a game name alone, its text made once.
//
// The world: 100,000 wild creatures standing on flat ground, and zones that hold none of them, so
// every visit runs the whole zone scan and the ground query and nothing is destroyed. A roster
// rebuild (once per pass) is kept out of the measured time.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bench_support.h"
#include "brimwarden/config/config.h"
#include "brimwarden/host/framework_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"

// Every operator new of the process: the plugin's code (linked in statically) and the stand-in's.
std::atomic<std::int64_t> g_heap_allocations{0};

// The replacements pair malloc with free; the compiler cannot see that they are one pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t bytes) {
  g_heap_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t /*bytes*/) noexcept { std::free(block); }

namespace {

using brimwarden::bench::FieldAt;
using brimwarden::bench::FieldOffset;
using brimwarden::bench::GameFunction;

constexpr std::int64_t kCreatures = 100000;
constexpr float kGroundHeight = 100.0F;
constexpr std::int32_t kBottomRayDistance = 150000;

void MakeWorld() {
  static bool made = false;
  if (made) return;
  made = true;
  standin::ResetWorld();
  standin::SetFlatTerrain(kGroundHeight);
  for (std::int64_t id = 0; id < kCreatures; ++id) {
    const float x = static_cast<float>(id % 1000) * 100.0F;
    const float y = static_cast<float>(id / 1000) * 100.0F;
    standin::SpawnCreature(id, static_cast<std::int32_t>(id % 1000), {x, y, kGroundHeight + 50});
  }
}

// Zones far outside the world: the scan visits each one and none contains a creature.
std::vector<brimwarden::KillZone> FarZones(int count) {
  std::vector<brimwarden::KillZone> zones;
  for (int i = 0; i < count; ++i) {
    const float x = 1.0e6F + static_cast<float>(i) * 1000.0F;
    zones.push_back({"zone " + std::to_string(i), {x, 0, 0}, {x + 500.0F, 500.0F, 500.0F}});
  }
  return zones;
}

void SweepStep(benchmark::State& state, std::int32_t dinos_per_tick, int zones) {
  MakeWorld();
  brimwarden::ResetProcessObjects();
  brimwarden::PluginSettings.DinosPerTick = dinos_per_tick;
  brimwarden::PluginSettings.TopRayDistance = kBottomRayDistance;
  brimwarden::PluginSettings.BottomRayDistance = -kBottomRayDistance;
  brimwarden::PluginSettings.KillZones = FarZones(zones);
  brimwarden::BuildCreatureRoster();
  std::int64_t heap_allocations = 0;
  std::int64_t game_alloc_calls = 0;
  std::int64_t steps = 0;
  const auto game_calls = [] {
    const standin::AllocatorStats stats = standin::GetAllocatorStats();
    return stats.mallocs + stats.reallocs + stats.frees;
  };
  for (auto _ : state) {
    if (brimwarden::RosterIsEmpty()) {
      state.PauseTiming();
      brimwarden::BuildCreatureRoster();
      state.ResumeTiming();
    }
    const std::int64_t heap_before = g_heap_allocations.load(std::memory_order_relaxed);
    const std::int64_t game_before = game_calls();
    brimwarden::CastRayTickCallback(1.0F / 30.0F);
    heap_allocations += g_heap_allocations.load(std::memory_order_relaxed) - heap_before;
    game_alloc_calls += game_calls() - game_before;
    ++steps;
  }
  state.counters["creatures_per_step"] = dinos_per_tick;
  state.counters["heap_allocs_per_step"] =
      static_cast<double>(heap_allocations) / static_cast<double>(steps);
  state.counters["game_alloc_calls_per_step"] =
      static_cast<double>(game_alloc_calls) / static_cast<double>(steps);
  state.counters["visits_counted_per_step"] =
      static_cast<double>(brimwarden::SweepStats.Visits) / static_cast<double>(steps);
  brimwarden::ResetProcessObjects();
}

// The same creatures' game calls, made directly with addresses and offsets resolved once.
void SweepFloor(benchmark::State& state, std::int32_t dinos_per_tick) {
  MakeWorld();
  using ClassFunction = UClass*();
  using IsAFunction = bool(UObject*, UClass*);
  using GroundFunction = Vector3*(APrimalCharacter*, Vector3*, const Vector3*, const Vector3*);
  auto* const get_class = GameFunction<ClassFunction>("APrimalDinoCharacter.GetPrivateStaticClass");
  auto* const is_a = GameFunction<IsAFunction>("UObjectBaseUtility.IsA");
  auto* const ground_location = GameFunction<GroundFunction>("APrimalCharacter.GetGroundLocation");

  std::vector<AActor*> creatures;
  for (std::int64_t id = 0; id < kCreatures; ++id) creatures.push_back(standin::FindCreature(id));
  const std::ptrdiff_t root_offset = FieldOffset(creatures.front(), "AActor.RootComponent");
  const std::ptrdiff_t location_offset =
      FieldOffset(FieldAt<USceneComponent*>(creatures.front(), root_offset),
                  "USceneComponent.RelativeLocation");

  std::size_t next = 0;
  const Vector3 offset_up{0.0F, 0.0F, 0.0F};
  const Vector3 offset_down{0.0F, 0.0F, -static_cast<float>(kBottomRayDistance)};
  for (auto _ : state) {
    for (std::int32_t i = 0; i < dinos_per_tick; ++i) {
      AActor* const creature = creatures[next];
      next = next + 1 == creatures.size() ? 0 : next + 1;
      UClass* const creature_class = get_class();
      benchmark::DoNotOptimize(is_a(reinterpret_cast<UObject*>(creature), creature_class));
      const USceneComponent* const root = FieldAt<USceneComponent*>(creature, root_offset);
      Vector3 position = FieldAt<Vector3>(root, location_offset);
      benchmark::DoNotOptimize(position);
      Vector3 ground{0.0F, 0.0F, 0.0F};
      ground_location(reinterpret_cast<APrimalCharacter*>(creature), &ground, &offset_up,
                      &offset_down);
      benchmark::DoNotOptimize(ground);
    }
  }
  state.counters["creatures_per_step"] = dinos_per_tick;
}

// The same creatures' game calls, each preceded by the resolution of its name through the
// framework (the six names made once, as the plugin's constants keep them): what the plugin may
// not go below while it resolves every name at every use.
void SweepMandatedFloor(benchmark::State& state, std::int32_t dinos_per_tick) {
  MakeWorld();
  using ClassFunction = UClass*();
  using IsAFunction = bool(UObject*, UClass*);
  using GroundFunction = Vector3*(APrimalCharacter*, Vector3*, const Vector3*, const Vector3*);
  const std::string class_name = "APrimalDinoCharacter.GetPrivateStaticClass";
  const std::string is_a_name = "UObjectBaseUtility.IsA";
  const std::string team_name = "AActor.TargetingTeam";
  const std::string root_name = "AActor.RootComponent";
  const std::string location_name = "USceneComponent.RelativeLocation";
  const std::string ground_name = "APrimalCharacter.GetGroundLocation";

  std::vector<AActor*> creatures;
  for (std::int64_t id = 0; id < kCreatures; ++id) creatures.push_back(standin::FindCreature(id));

  std::size_t next = 0;
  const Vector3 offset_up{0.0F, 0.0F, 0.0F};
  const Vector3 offset_down{0.0F, 0.0F, -static_cast<float>(kBottomRayDistance)};
  for (auto _ : state) {
    for (std::int32_t i = 0; i < dinos_per_tick; ++i) {
      AActor* const creature = creatures[next];
      next = next + 1 == creatures.size() ? 0 : next + 1;
      UClass* const creature_class = reinterpret_cast<ClassFunction*>(GetAddress(class_name))();
      benchmark::DoNotOptimize(reinterpret_cast<IsAFunction*>(GetAddress(is_a_name))(
          reinterpret_cast<UObject*>(creature), creature_class));
      benchmark::DoNotOptimize(*static_cast<std::int32_t*>(GetAddress(creature, team_name)));
      const USceneComponent* const root =
          *static_cast<USceneComponent**>(GetAddress(creature, root_name));
      Vector3 position = *static_cast<Vector3*>(GetAddress(root, location_name));
      benchmark::DoNotOptimize(position);
      Vector3 ground{0.0F, 0.0F, 0.0F};
      reinterpret_cast<GroundFunction*>(GetAddress(ground_name))(
          reinterpret_cast<APrimalCharacter*>(creature), &ground, &offset_up, &offset_down);
      benchmark::DoNotOptimize(ground);
    }
  }
  state.counters["creatures_per_step"] = dinos_per_tick;
}

// One resolution of a game name through the framework (here the stand-in's table), its text made
// once: what the plugin pays on top of the bare call at each use. Shown for reference.
void NameResolution(benchmark::State& state) {
  const std::string name = "APrimalCharacter.GetGroundLocation";
  for (auto _ : state) benchmark::DoNotOptimize(GetAddress(name));
}

}  // namespace

int main(int argc, char** argv) {
  for (const std::int32_t dinos_per_tick : {20, 200}) {
    const std::string suffix = "/dinos:" + std::to_string(dinos_per_tick);
    brimwarden::bench::RegisterFloor("SweepGameCallsFloor" + suffix, [=](benchmark::State& state) {
      SweepFloor(state, dinos_per_tick);
    });
    const std::string floor = "SweepMandatedFloor" + suffix;
    brimwarden::bench::RegisterFloor(
        floor, [=](benchmark::State& state) { SweepMandatedFloor(state, dinos_per_tick); });
    for (const int zones : {0, 10, 1000}) {
      brimwarden::bench::RegisterAgainst(
          "SweepStep" + suffix + "/zones:" + std::to_string(zones), floor,
          [=](benchmark::State& state) { SweepStep(state, dinos_per_tick, zones); });
    }
  }
  benchmark::RegisterBenchmark("NameResolution", NameResolution);
  return brimwarden::bench::RunBenchmarks(argc, argv);
}
