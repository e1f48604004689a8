// The plugin's share of a 30 Hz server tick (33.3 ms) in the dev server's built-in scenario
// (20,000 creatures on hills, two zones, DinosPerTick 250, two full passes). The dev server times
// every tick's callbacks and prints the median and the 99th percentile; this runs the scenario
// several times, takes the median of each over the runs, and reports them with their share of the
// tick budget, which is their floor: "x_floor" 0.01 is 1% of a tick.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include "bench_support.h"

namespace {

constexpr double kTickBudgetMicros = 1.0e6 / 30.0;
constexpr int kScenarioRuns = 5;

struct TickTimes {
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

std::filesystem::path DevServerPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return self.parent_path() / "brimwarden-devserver";
}

// Runs the scenario once and reads the "plugin time per tick" line of its summary.
bool RunScenario(const std::filesystem::path& dir, TickTimes& times) {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  const std::string command = "'" + DevServerPath().string() + "' -serverkey=DevServer --dir '" +
                              dir.string() + "' 2>/dev/null";
  FILE* output = popen(command.c_str(), "r");
  if (output == nullptr) return false;
  std::string text;
  std::array<char, 4096> buffer{};
  while (fgets(buffer.data(), static_cast<int>(buffer.size()), output) != nullptr) {
    text += buffer.data();
  }
  const int status = pclose(output);
  static const std::regex kLine(
      R"(plugin time per tick: p50 ([0-9.]+) us, p99 ([0-9.]+) us, max ([0-9.]+) us)");
  std::smatch match;
  if (status != 0 || !std::regex_search(text, match, kLine)) return false;
  times = {std::stod(match[1]), std::stod(match[2]), std::stod(match[3])};
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void PluginShareOfTick(benchmark::State& state) {
  if (!std::filesystem::exists(DevServerPath())) {
    state.SkipWithError("brimwarden-devserver is not built beside this program");
    return;
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("brimwarden-bench-" + std::to_string(getpid()));
  std::vector<double> p50;
  std::vector<double> p99;
  std::vector<double> max;
  for (auto _ : state) {
    for (int run = 0; run < kScenarioRuns; ++run) {
      TickTimes times;
      if (!RunScenario(dir, times)) {
        state.SkipWithError("the dev server scenario failed");
        break;
      }
      p50.push_back(times.p50_us);
      p99.push_back(times.p99_us);
      max.push_back(times.max_us);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (p50.empty()) return;
  state.counters["p50_us"] = Median(p50);
  state.counters["p99_us"] = Median(p99);
  state.counters["max_us"] = Median(max);
  state.counters["p50_x_floor"] = Median(p50) / kTickBudgetMicros;
  state.counters["p99_x_floor"] = Median(p99) / kTickBudgetMicros;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("PluginShareOfTick/scenario", PluginShareOfTick)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  return brimwarden::bench::RunBenchmarks(argc, argv);
}
