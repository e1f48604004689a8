// Shared pieces of the benchmarks: each plugin benchmark is registered beside a floor, a benchmark
// of the work nobody can avoid (the game's own calls made directly, or the JSON library alone),
// and the reporters add the plugin's time divided by its floor's as the counter "x_floor".
// Absolute times drift from machine to machine and from minute to minute; a floor measured in the
// same run, right before, drifts with them.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"

namespace brimwarden::bench {

/// Which clock a ratio is taken on: CPU time for work that only computes (steadier on a busy
/// machine), real time for work that waits on the disk.
enum class Clock { kCpu, kReal };

struct FloorOf {
  std::string floor;
  Clock clock;
};

/// The floor of each plugin benchmark, by benchmark name.
inline std::map<std::string, FloorOf>& Floors() {
  static std::map<std::string, FloorOf> floors;
  return floors;
}

/// The times per iteration (seconds) of every run so far, by name: any of them may be a floor.
struct MeasuredTime {
  double cpu;
  double real;
};
inline std::map<std::string, MeasuredTime>& MeasuredTimes() {
  static std::map<std::string, MeasuredTime> times;
  return times;
}

/// Registers a floor benchmark. Register it before the benchmarks measured against it.
template <typename Function>
benchmark::internal::Benchmark* RegisterFloor(const std::string& name, Function function,
                                              Clock clock = Clock::kCpu) {
  benchmark::internal::Benchmark* registered =
      benchmark::RegisterBenchmark(name.c_str(), std::move(function));
  return clock == Clock::kReal ? registered->UseRealTime() : registered;
}

/// Registers a plugin benchmark whose time is reported as a multiple of `floor`'s.
template <typename Function>
benchmark::internal::Benchmark* RegisterAgainst(const std::string& name, const std::string& floor,
                                                Function function, Clock clock = Clock::kCpu) {
  Floors()[name] = {floor, clock};
  benchmark::internal::Benchmark* registered =
      benchmark::RegisterBenchmark(name.c_str(), std::move(function));
  return clock == Clock::kReal ? registered->UseRealTime() : registered;
}

/// A reporter that adds "x_floor" to every run that has a floor, and to the median of its
/// repetitions (against the floor's median), then reports as `Base` does.
template <typename Base>
class FloorRatioReporter : public Base {
 public:
  void ReportRuns(const std::vector<benchmark::BenchmarkReporter::Run>& runs) override {
    using Run = benchmark::BenchmarkReporter::Run;
    std::vector<Run> with_ratio = runs;
    for (Run& run : with_ratio) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median) ||
          run.iterations == 0) {
        continue;
      }
      // The name as registered, without the "/real_time" the library appends. An aggregate's
      // time divided by its iterations is the statistic of the time per iteration.
      const std::string suffix = median ? "_median" : "";
      const std::string name = run.run_name.function_name + suffix;
      const double iterations = static_cast<double>(run.iterations);
      const MeasuredTime time{run.cpu_accumulated_time / iterations,
                              run.real_accumulated_time / iterations};
      MeasuredTimes()[name] = time;
      const auto floor = Floors().find(run.run_name.function_name);
      if (floor == Floors().end()) continue;
      const auto floor_time = MeasuredTimes().find(floor->second.floor + suffix);
      if (floor_time == MeasuredTimes().end()) continue;
      const bool real = floor->second.clock == Clock::kReal;
      const double divisor = real ? floor_time->second.real : floor_time->second.cpu;
      if (divisor > 0) {
        run.counters["x_floor"] = benchmark::Counter((real ? time.real : time.cpu) / divisor);
      }
    }
    Base::ReportRuns(with_ratio);
  }
};

/// Runs the registered benchmarks with the floor ratio on the console and in --benchmark_out.
inline int RunBenchmarks(int argc, char** argv) {
  bool has_out_file = false;
  for (int i = 1; i < argc; ++i) {
    has_out_file = has_out_file || std::string_view(argv[i]).starts_with("--benchmark_out=");
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FloorRatioReporter<benchmark::ConsoleReporter> console;
  FloorRatioReporter<benchmark::JSONReporter> file;
  benchmark::RunSpecifiedBenchmarks(&console, has_out_file ? &file : nullptr);
  benchmark::Shutdown();
  return 0;
}

/// A server directory for the stand-in, below $TMPDIR (on the disk, as a server's would be),
/// removed at the end.
class BenchServerDir {
 public:
  BenchServerDir() {
    path_ =
        std::filesystem::temp_directory_path() / ("brimwarden-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(PluginDir());
    standin::SetServerDir(path_.generic_string());
  }
  ~BenchServerDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  BenchServerDir(const BenchServerDir&) = delete;
  BenchServerDir& operator=(const BenchServerDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path PluginDir() const { return path_ / "ArkApi" / "Plugins" / "Brimwarden"; }
  std::string ConfigPath() const { return (PluginDir() / "config.json").string(); }

 private:
  std::filesystem::path path_;
};

/// A game function's address, resolved once: the floors call the game the cheapest way there is.
template <typename Signature>
Signature* GameFunction(const char* name) {
  return reinterpret_cast<Signature*>(GetAddress(std::string(name)));
}

/// A game field's offset inside its object, resolved once on `object`.
inline std::ptrdiff_t FieldOffset(const void* object, const char* name) {
  return static_cast<const char*>(GetAddress(object, std::string(name))) -
         static_cast<const char*>(object);
}

template <typename T>
T& FieldAt(const void* object, std::ptrdiff_t offset) {
  return *reinterpret_cast<T*>(const_cast<char*>(static_cast<const char*>(object)) + offset);
}

/// Times the plugin's roster build over the world as it stands, from an empty roster each time.
inline void TimeRosterBuilds(benchmark::State& state) {
  ResetProcessObjects();
  for (auto _ : state) {
    state.PauseTiming();
    CreatureRoster.FreeStorage();
    state.ResumeTiming();
    BuildCreatureRoster();
  }
}

}  // namespace brimwarden::bench
