// The dev server holding a large world: the commands of a script run the way `--script` runs
// them (the plugin library loaded first, then each command through the dev server):
//
//   write ArkApi/Plugins/Brimwarden/config.json   (DinosPerTick 20, one kill zone)
//   rcon BWD.reload
//   terrain hills 7
//   populate COUNT 1 30 7
//   tick 1
//   tick 299
//
// Reported: the process's peak resident memory (VmHWM, started afresh before the run) and its
// share per creature, the time to populate, the first tick after it in real time as the dev server
// times it and in CPU time (the plugin lists the world and builds its roster there), the longest of
// the other ticks, and the summary the script ends with. The floor of the first tick is the
// plugin's own roster build over as many creatures, timed alone in the same run; "x_floor" is the
// first tick's CPU time over the floor's, what the dev server and the stand-in add to it.
//
// Linux only (it reads /proc/self/status). The plugin reads its server key from the process's
// command line, so the program starts itself again with -serverkey=Bench when it has none.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"
#include "platform.h"
#include "script.h"
#include "server.h"

namespace {

using brimwarden::devserver::Command;
using brimwarden::devserver::DevServer;
using brimwarden::devserver::ParseScript;

constexpr const char* kServerKey = "Bench";
constexpr int kTicks = 300;

/// Reads one "Vm...:  N kB" line of /proc/self/status, in bytes.
double StatusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) * 1024.0;
  }
  return 0.0;
}

/// Starts the peak resident memory afresh from the current figure.
void ResetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

/// The CPU time this thread has used, in seconds (the system's work for it included).
double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string Script(std::int64_t creatures) {
  return "write ArkApi/Plugins/Brimwarden/config.json\n"
         "{\"Bench\": {\"DinosPerTick\": 20, \"Kill Zones\": {\"Pit\": {\"Corner1\": [-20000, "
         "-20000, -1000000], \"Corner2\": [20000, 20000, 1000000]}}}}\n"
         "end\n"
         "rcon BWD.reload\n"
         "terrain hills 7\n"
         "populate " +
         std::to_string(creatures) +
         " 1 30 7\n"
         "tick 1\n"
         "tick " +
         std::to_string(kTicks - 1) + "\n";
}

// The plugin's roster build over as many creatures, timed alone: the floor of the first tick.
// Runs this program's own copy of the plugin's code, not the loaded library.
void RosterFloor(benchmark::State& state, std::int64_t creatures) {
  standin::ResetWorld();
  for (std::int64_t id = 1; id <= creatures; ++id) {
    standin::SpawnCreature(id, id % 3 == 0 ? 50000 : 0, Vector3{});
  }
  brimwarden::bench::TimeRosterBuilds(state);
  brimwarden::CreatureRoster.FreeStorage();
  brimwarden::ResetProcessObjects();
  standin::ResetWorld();
}

void LargeWorld(benchmark::State& state, std::int64_t creatures, const std::string& floor_name) {
  const std::vector<Command> commands = ParseScript(Script(creatures));
  double populate_s = 0;
  double first_tick_s = 0;
  double first_tick_cpu_s = 0;
  double other_ticks_max_s = 0;
  double summary_s = 0;
  double rss_after_populate = 0;
  for (auto _ : state) {
    standin::ResetWorld();
    ResetPeakMemory();
    const brimwarden::bench::BenchServerDir dir;
    brimwarden::devserver::ServerOptions options;
    options.dir = dir.Path();
    options.plugin_path =
        brimwarden::devserver::ProgramDir() / brimwarden::devserver::PluginFileName();
    options.server_key = kServerKey;
    DevServer server(options, nullptr);
    server.Load();
    for (const Command& command : commands) {
      const auto start = std::chrono::steady_clock::now();
      const double start_cpu = ThreadCpuSeconds();
      server.Execute(command);
      if (command.kind == brimwarden::devserver::CommandKind::kPopulate) {
        populate_s = Seconds(std::chrono::steady_clock::now() - start);
        rss_after_populate = StatusBytes("VmRSS");
      }
      if (command.kind == brimwarden::devserver::CommandKind::kTick && command.count == 1) {
        first_tick_cpu_s = ThreadCpuSeconds() - start_cpu;
      }
    }
    server.Unload();
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(server.Summary());
    summary_s = Seconds(std::chrono::steady_clock::now() - start);
    const std::vector<long long>& times = server.TickTimes();
    first_tick_s = static_cast<double>(times.front()) * 1e-9;
    other_ticks_max_s =
        static_cast<double>(*std::max_element(times.begin() + 1, times.end())) * 1e-9;
    state.SetIterationTime(first_tick_s);
  }
  standin::ResetWorld();
  const double peak = StatusBytes("VmHWM");
  state.counters["peak_rss_MiB"] = peak / (1024.0 * 1024.0);
  state.counters["rss_after_populate_MiB"] = rss_after_populate / (1024.0 * 1024.0);
  state.counters["peak_bytes_per_creature"] = peak / static_cast<double>(creatures);
  state.counters["populate_s"] = populate_s;
  state.counters["first_tick_ms"] = first_tick_s * 1e3;
  state.counters["first_tick_cpu_ms"] = first_tick_cpu_s * 1e3;
  // Against the roster build's CPU time: on a busy machine CPU time drifts less than real time.
  const auto floor = brimwarden::bench::MeasuredTimes().find(floor_name);
  if (floor != brimwarden::bench::MeasuredTimes().end() && floor->second.cpu > 0) {
    state.counters["x_floor"] = first_tick_cpu_s / floor->second.cpu;
  }
  state.counters["other_ticks_max_ms"] = other_ticks_max_s * 1e3;
  state.counters["summary_ms"] = summary_s * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  bool has_key = false;
  for (int i = 1; i < argc; ++i) {
    has_key = has_key || brimwarden::devserver::IsServerKeyArgument(argv[i]);
  }
  if (!has_key) {
    const int code = brimwarden::devserver::RerunWithArgument(argc, argv, "-serverkey=Bench");
    std::fprintf(stderr, "world_bench: cannot start again; pass -serverkey=Bench\n");
    return code < 0 ? 1 : code;
  }
  // The key is for the plugin, not for the benchmark library.
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (!brimwarden::devserver::IsServerKeyArgument(argv[i])) arguments.push_back(argv[i]);
  }
  int count = static_cast<int>(arguments.size());
  for (const std::int64_t creatures : {100'000, 1'000'000}) {
    const std::string suffix = "/creatures:" + std::to_string(creatures);
    brimwarden::bench::RegisterFloor("BuildCreatureRoster" + suffix, [=](benchmark::State& state) {
      RosterFloor(state, creatures);
    })->Unit(benchmark::kMillisecond);
    // Timed by hand: the first tick alone, as the dev server times it.
    const std::string floor = "BuildCreatureRoster" + suffix;
    benchmark::RegisterBenchmark(
        ("DevServerFirstTick" + suffix).c_str(),
        [=](benchmark::State& state) { LargeWorld(state, creatures, floor); })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return brimwarden::bench::RunBenchmarks(count, arguments.data());
}
