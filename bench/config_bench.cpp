// LoadConfig and SaveKillZones with 1, 100 and 10,000 zones in this server's section (beside
// another server's section of 10 zones), against parsing the same text, and parsing and
// pretty-printing it, with the JSON library alone.
//
// The plugin's cost includes what the library's does not: reading the file and the process's
// command line, and for the save the lock, the temporary file, its flush to the disk and the
// rename. The server directory is below $TMPDIR, on the disk as a server's would be. No logger is
// set up, so the framework's log sinks are not part of the figures.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "brimwarden/config/config.h"
#include "brimwarden/plugin/plugin.h"

namespace {

using Json = nlohmann::json;

constexpr char kServerKey[] = "BenchServer";
constexpr std::string_view kKeyArgument = "-serverkey=BenchServer";

brimwarden::bench::BenchServerDir& Server() {
  static brimwarden::bench::BenchServerDir server;
  return server;
}

Json Zones(int count, float base) {
  Json zones = Json::object();
  for (int i = 0; i < count; ++i) {
    const double x = base + i * 1000.25;
    zones["zone " + std::to_string(i)] = {{"Corner1", {x, -300.5, 0.0}},
                                          {"Corner2", {x + 500.125, 900.0, 5000.0}}};
  }
  return zones;
}

// Writes config.json with `zones` zones for this server and returns its text.
std::string WriteConfig(int zones) {
  Json document;
  document[kServerKey] = {{"TopRayDistance", 150000},
                          {"BottomRayDistance", 150000},
                          {"DinosPerTick", 20},
                          {"Kill Zones", Zones(zones, 0.0F)}};
  document["Other"] = {{"DinosPerTick", 5}, {"Kill Zones", Zones(10, 1.0e6F)}};
  std::ostringstream text;
  text << std::setw(4) << document << '\n';
  std::ofstream(Server().ConfigPath(), std::ios::binary | std::ios::trunc) << text.str();
  return text.str();
}

void LoadConfigBench(benchmark::State& state, int zones) {
  WriteConfig(zones);
  brimwarden::ResetProcessObjects();
  for (auto _ : state) {
    if (brimwarden::LoadConfig()) state.SkipWithError("the load failed");
  }
  state.counters["zones"] = static_cast<double>(brimwarden::PluginSettings.KillZones.size());
  brimwarden::ResetProcessObjects();
}

void ParseFloor(benchmark::State& state, int zones) {
  const std::string text = WriteConfig(zones);
  for (auto _ : state) benchmark::DoNotOptimize(Json::parse(text));
}

void SaveKillZonesBench(benchmark::State& state, int zones) {
  WriteConfig(zones);
  brimwarden::ResetProcessObjects();
  if (brimwarden::LoadConfig()) state.SkipWithError("the load failed");
  for (auto _ : state) {
    if (!brimwarden::SaveKillZones()) state.SkipWithError("the save failed");
  }
  state.counters["file_bytes"] = static_cast<double>(WriteConfig(zones).size());
  brimwarden::ResetProcessObjects();
}

void ParseAndDumpFloor(benchmark::State& state, int zones) {
  const std::string text = WriteConfig(zones);
  for (auto _ : state) {
    const Json document = Json::parse(text);
    std::ostringstream out;
    out << std::setw(4) << document << '\n';
    benchmark::DoNotOptimize(out.str());
  }
}

// The plugin reads its key from the process's command line: start again with one if it is
// missing, and keep it from the benchmark library's own argument parsing.
std::vector<char*> WithServerKey(int argc, char** argv) {
  std::vector<char*> kept;
  bool found = false;
  for (int i = 0; i < argc; ++i) {
    if (std::string_view(argv[i]).starts_with("-serverkey=")) {
      found = true;
    } else {
      kept.push_back(argv[i]);
    }
  }
  if (!found) {
    std::vector<char*> again(argv, argv + argc);
    again.push_back(const_cast<char*>(kKeyArgument.data()));
    again.push_back(nullptr);
    execv("/proc/self/exe", again.data());
    std::perror("config_bench: cannot start again with -serverkey");
    std::exit(1);
  }
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> arguments = WithServerKey(argc, argv);
  if (brimwarden::GetServerKey() != kServerKey) {
    std::fprintf(stderr, "config_bench: run it with -serverkey=%s\n", kServerKey);
    return 1;
  }
  for (const int zones : {1, 100, 10000}) {
    const std::string suffix = "/zones:" + std::to_string(zones);
    brimwarden::bench::RegisterFloor("JsonParseFloor" + suffix, [=](benchmark::State& state) {
      ParseFloor(state, zones);
    })->Unit(benchmark::kMicrosecond);
    brimwarden::bench::RegisterAgainst(
        "LoadConfig" + suffix, "JsonParseFloor" + suffix,
        [=](benchmark::State& state) { LoadConfigBench(state, zones); })
        ->Unit(benchmark::kMicrosecond);
    // The save waits for the disk: its ratio is taken on real time.
    brimwarden::bench::RegisterFloor(
        "JsonParseDumpFloor" + suffix,
        [=](benchmark::State& state) { ParseAndDumpFloor(state, zones); },
        brimwarden::bench::Clock::kReal)
        ->Unit(benchmark::kMicrosecond);
    brimwarden::bench::RegisterAgainst(
        "SaveKillZones" + suffix, "JsonParseDumpFloor" + suffix,
        [=](benchmark::State& state) { SaveKillZonesBench(state, zones); },
        brimwarden::bench::Clock::kReal)
        ->Unit(benchmark::kMicrosecond);
  }
  arguments.push_back(nullptr);
  return brimwarden::bench::RunBenchmarks(static_cast<int>(arguments.size()) - 1, arguments.data());
}
