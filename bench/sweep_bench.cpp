// One sweep step (the registered tick callback, its fault guard included) at DinosPerTick 20 and
// 200, with 0, 10 and 1,000 kill zones, against the step's unavoidable game calls made directly on
// the stand-in: per creature one class lookup, one class test, the root component and position
// reads, and one ground query, through addresses resolved once.
//
// Counters per step show what the step allocates: heap_allocs (operator new, the plugin's own
// memory, replaced below to count) and game_alloc_calls (the game allocator, where only the
// roster's shrink rule reallocates now and then). The sweep's counters add neither.
//
// NameResolution times one resolution of a game name, the cost the plugin adds to each game call.
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

// Every operator new of the process, the plugin's code included (it is linked in statically).
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

// What the step pays on top of its floor for each game call: the name resolved afresh through the
// framework (here the stand-in's table), as the plugin does at every use. Shown for reference.
void NameResolution(benchmark::State& state) {
  const char* const name = "APrimalCharacter.GetGroundLocation";
  for (auto _ : state) benchmark::DoNotOptimize(GetAddress(std::string(name)));
}

}  // namespace

int main(int argc, char** argv) {
  for (const std::int32_t dinos_per_tick : {20, 200}) {
    const std::string floor = "SweepGameCallsFloor/dinos:" + std::to_string(dinos_per_tick);
    brimwarden::bench::RegisterFloor(
        floor, [=](benchmark::State& state) { SweepFloor(state, dinos_per_tick); });
    for (const int zones : {0, 10, 1000}) {
      brimwarden::bench::RegisterAgainst(
          "SweepStep/dinos:" + std::to_string(dinos_per_tick) + "/zones:" + std::to_string(zones),
          floor, [=](benchmark::State& state) { SweepStep(state, dinos_per_tick, zones); });
    }
  }
  benchmark::RegisterBenchmark("NameResolution", NameResolution);
  return brimwarden::bench::RunBenchmarks(argc, argv);
}
