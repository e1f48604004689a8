// Script mode and the built-in scenario.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "app.h"
#include "brimwarden/logging/logging.h"
#include "events.h"
#include "modes.h"
#include "rcon.h"
#include "server.h"

namespace brimwarden::devserver {

ServerOptions MakeServerOptions(const AppOptions& options, const std::filesystem::path& dir) {
  ServerOptions server;
  server.dir = dir;
  server.plugin_path =
      options.plugin.empty() ? ProgramDir() / PluginFileName() : PathFromUtf8(options.plugin);
  server.server_key = options.server_key;
  return server;
}

std::filesystem::path FreshTempDir() {
  const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("brimwarden-devserver-" + std::to_string(stamp));
  std::filesystem::create_directories(dir);
  return dir;
}

std::unique_ptr<RconEndpoint> OpenRcon(const AppOptions& options, DevServer& server) {
  if (options.rcon_port == 0) return nullptr;
  auto endpoint = std::make_unique<RconEndpoint>(
      options.rcon_port, options.rcon_password,
      [&server](const std::string& command, std::int32_t id) -> std::vector<std::string> {
        try {
          return server.Rcon(command, id, nullptr);
        } catch (const std::exception& error) {
          return {std::string("dev server: ") + error.what()};
        }
      });
  std::fprintf(stderr, "RCON: listening on 127.0.0.1:%d\n", options.rcon_port);
  return endpoint;
}

void ServeUntilStopped(DevServer& server, RconEndpoint* endpoint) {
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::microseconds(1'000'000 / kTicksPerSecond);
  auto next_tick = Clock::now() + period;
  while (!StopRequested()) {
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - Clock::now());
    const int timeout_ms = static_cast<int>(std::clamp<long long>(wait.count(), 0, 50));
    if (endpoint != nullptr) {
      endpoint->Poll(timeout_ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    }
    if (Clock::now() >= next_tick) {
      server.Tick(1);
      next_tick += period;
      if (Clock::now() > next_tick + 10 * period) next_tick = Clock::now() + period;  // fell behind
    }
  }
}

namespace {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int RunScript(const AppOptions& options) {
  EventOutput output = options.events.empty()
                           ? EventOutput(stdout, EventOutput::Format::kText, false)
                           : EventOutput::OpenJson(options.events);
  std::vector<Command> commands;
  try {
    commands = ParseScript(ReadWholeFile(options.script));
  } catch (const ScriptError& error) {
    std::fprintf(stderr, "%s:%d: %s\n", options.script.c_str(), error.Line(),
                 EscapedName(error.what()).c_str());
    return 2;
  }
  std::filesystem::path dir = options.dir.empty() ? FreshTempDir() : PathFromUtf8(options.dir);
  if (options.dir.empty()) std::fprintf(stderr, "server directory: %s\n", PathToUtf8(dir).c_str());

  DevServer server(MakeServerOptions(options, dir),
                   [&output](const standin::Event& event) { output.Write(event); });
  std::unique_ptr<RconEndpoint> endpoint = OpenRcon(options, server);
  server.Load();
  for (const Command& command : commands) {
    try {
      server.Execute(command);
    } catch (const std::exception& error) {
      output.Flush();
      std::fprintf(stderr, "%s:%d: %s\n", options.script.c_str(), command.line,
                   EscapedName(error.what()).c_str());
      server.Unload();
      output.Flush();
      return 1;
    }
  }
  if (endpoint) ServeUntilStopped(server, endpoint.get());
  if (server.IsLoaded()) server.Unload();
  output.WriteJson(server.Summary());
  output.Flush();
  if (!options.map.empty()) server.WriteMap(PathFromUtf8(options.map));
  return 0;
}

namespace {

constexpr std::int64_t kScenarioCreatures = 20000;
constexpr double kScenarioSunkPercent = 1.0;
constexpr double kScenarioTamedPercent = 30.0;
constexpr std::uint32_t kScenarioSeed = 2026;
constexpr std::int32_t kScenarioDinosPerTick = 250;
constexpr std::int64_t kScenarioPasses = 2;
constexpr std::int64_t kScenarioTickLimit = 100000;

std::string ScenarioConfig(const std::string& key) {
  const std::string other = key == "Neighbour" ? "Neighbour2" : "Neighbour";
  nlohmann::json config;
  config[key] = {{"DinosPerTick", kScenarioDinosPerTick},
                 {"TopRayDistance", 150000},
                 {"BottomRayDistance", 150000},
                 {"Kill Zones",
                  {{"Lava Field",
                    {{"Corner1", {-70000.0, -60000.0, -100000.0}},
                     {"Corner2", {-40000.0, -30000.0, 100000.0}}}}}}};
  config[other] = {{"DinosPerTick", 20},
                   {"Kill Zones",
                    {{"Harbour",
                      {{"Corner1", {60000.0, 60000.0, -100000.0}},
                       {"Corner2", {90000.0, 90000.0, 100000.0}}}}}}};
  std::ostringstream text;
  text << std::setw(4) << config << '\n';
  return text.str();
}

double Percentile(std::vector<long long> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(std::lround(fraction * static_cast<double>(values.size() - 1)));
  return static_cast<double>(values[std::min(index, values.size() - 1)]);
}

std::string Micros(double nanoseconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.0f us", nanoseconds / 1000.0);
  return buffer;
}

}  // namespace

int RunScenario(const AppOptions& options) {
  const std::filesystem::path dir =
      options.dir.empty() ? FreshTempDir() : PathFromUtf8(options.dir);
  const std::filesystem::path map =
      options.map.empty() ? dir / "map.svg" : PathFromUtf8(options.map);
  EventOutput json = options.events.empty() ? EventOutput() : EventOutput::OpenJson(options.events);
  std::vector<std::string> lines;  // shown after the run, under the progress line
  std::int64_t destroy_requests = 0;

  std::filesystem::create_directories(dir / "ArkApi" / "Plugins" / "Brimwarden");
  {
    std::ofstream config(dir / "ArkApi" / "Plugins" / "Brimwarden" / "config.json",
                         std::ios::binary | std::ios::trunc);
    config << ScenarioConfig(options.server_key);
  }
  DevServer server(MakeServerOptions(options, dir), [&](const standin::Event& event) {
    json.Write(event);
    if (event.kind == standin::EventKind::kDestroy) {
      ++destroy_requests;
    } else {
      lines.push_back(EventText(event));
    }
  });
  std::unique_ptr<RconEndpoint> endpoint = OpenRcon(options, server);

  const auto run = [&](const std::string& line) {
    std::optional<Command> command = ScriptParser().Feed(line);
    server.Execute(*command);
  };
  run("terrain hills " + std::to_string(kScenarioSeed));
  server.Populate(kScenarioCreatures, kScenarioSunkPercent, kScenarioTamedPercent, kScenarioSeed);
  server.Load();
  run("player admin admin");
  run("chat admin /newbox Sunken Pier");
  run("move admin 20000 25000 -100000");
  run("chat admin /setcorner1");
  run("move admin 45000 45000 100000");
  run("chat admin /setcorner2");
  run("chat admin /confirm");
  run("rcon BWD.reload");

  // The progress line is redrawn in place on a terminal, and written once at the end otherwise.
  const bool terminal = IsTerminal(stderr);
  const auto progress = [&](const char* end) {
    std::fprintf(stderr,
                 "\rtick %" PRId64 "  pass %" PRId64 " of %" PRId64 "  destroy requests %" PRId64
                 "%s",
                 standin::TickCount(), std::min(server.Passes() + 1, kScenarioPasses),
                 kScenarioPasses, destroy_requests, end);
  };
  while (server.Passes() < kScenarioPasses && standin::TickCount() < kScenarioTickLimit &&
         !StopRequested()) {
    server.Tick(1);
    if (terminal) progress("   ");
  }
  progress("\n");
  if (endpoint) ServeUntilStopped(server, endpoint.get());
  server.Unload();

  const nlohmann::ordered_json summary = server.Summary();
  json.WriteJson(summary);
  json.Flush();
  server.WriteMap(map);

  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  const auto count = [&summary](const char* key) { return summary.at(key).get<std::int64_t>(); };
  std::printf("\nSummary\n");
  std::printf("  creatures: %" PRId64 ", alive at the end: %" PRId64 "\n", count("creatures"),
              count("alive"));
  std::printf("  visited: %" PRId64 " in %" PRId64 " passes over %" PRId64 " ticks\n",
              count("visited"), count("passes"), count("ticks"));
  std::printf("  destroyed for no ground: %" PRId64 "\n", count("destroyed_no_ground"));
  for (const auto& [name, value] : summary.at("destroyed_in_zone").items()) {
    std::printf("  destroyed in zone \"%s\": %" PRId64 "\n", EscapedName(name).c_str(),
                value.get<std::int64_t>());
  }
  std::printf("  tamed creatures destroyed: %" PRId64 "\n", count("tamed_destroyed"));
  std::printf("  sunk wild creatures: %" PRId64 ", still alive: %" PRId64 "\n", count("sunk_wild"),
              count("sunk_wild_alive"));
  const std::vector<long long>& times = server.TickTimes();
  std::printf("  plugin time per tick: p50 %s, p99 %s, max %s\n",
              Micros(Percentile(times, 0.5)).c_str(), Micros(Percentile(times, 0.99)).c_str(),
              Micros(Percentile(times, 1.0)).c_str());
  std::string rebuilds;
  for (const long long time : server.RebuildTickTimes()) {
    rebuilds += (rebuilds.empty() ? "" : ", ") + Micros(static_cast<double>(time));
  }
  std::printf("  rebuild ticks: %zu (%s)\n", server.RebuildTickTimes().size(), rebuilds.c_str());
  std::printf("\nmap: %s\nserver log: %s\nserver directory: %s\n", PathToUtf8(map).c_str(),
              PathToUtf8(dir / "ArkApi" / "Logs" / "server.log").c_str(), PathToUtf8(dir).c_str());

  const bool passed = count("tamed_destroyed") == 0 && count("sunk_wild_alive") == 0 &&
                      count("passes") >= kScenarioPasses;
  if (!passed) std::printf("\nthe scenario did NOT end as expected\n");
  return passed ? 0 : 1;
}

}  // namespace brimwarden::devserver
