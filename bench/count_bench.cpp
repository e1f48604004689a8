// CountCreaturesInBox, the live count behind "/zoneinfo", for 20,000 and 1,000,000 creatures,
// against BuildCreatureRoster over the same world: both list the world once and read every
// creature, the count its position (and the team of those inside), the build its team.
//
// A third of the creatures are tamed; the box holds half of them.
#include <cstdint>
#include <optional>
#include <string>

#include "bench_support.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"

namespace {

constexpr std::int32_t kFirstTamedTeam = 50000;
constexpr Vector3 kBoxCorner1{0.0F, -10.0F, 0.0F};
constexpr Vector3 kBoxCorner2{499.0F, 10.0F, 1000.0F};

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

void BuildRoster(benchmark::State& state, std::int64_t creatures) {
  MakeWorld(creatures);
  brimwarden::bench::TimeRosterBuilds(state);
  brimwarden::ResetProcessObjects();
}

void CountInBox(benchmark::State& state, std::int64_t creatures) {
  MakeWorld(creatures);
  brimwarden::ResetProcessObjects();
  std::optional<brimwarden::CreatureCount> count;
  for (auto _ : state) {
    count = brimwarden::CountCreaturesInBox(kBoxCorner1, kBoxCorner2);
    benchmark::DoNotOptimize(count);
  }
  if (count) {
    state.counters["wild"] = static_cast<double>(count->Wild);
    state.counters["tamed"] = static_cast<double>(count->Tamed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (const std::int64_t creatures : {20000, 1000000}) {
    const std::string suffix = "/creatures:" + std::to_string(creatures);
    brimwarden::bench::RegisterFloor("BuildCreatureRoster" + suffix, [=](benchmark::State& state) {
      BuildRoster(state, creatures);
    })->Unit(benchmark::kMillisecond);
    brimwarden::bench::RegisterAgainst(
        "CountCreaturesInBox" + suffix, "BuildCreatureRoster" + suffix,
        [=](benchmark::State& state) { CountInBox(state, creatures); })
        ->Unit(benchmark::kMillisecond);
  }
  return brimwarden::bench::RunBenchmarks(argc, argv);
}
