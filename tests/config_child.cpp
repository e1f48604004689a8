// A second server process for the configuration tests: it loads or saves the configuration of a
// server directory with the key on its own command line, so tests can check the real command
// line, saves from two processes at once, and saves killed at random moments.
//
//   config_child DIR load OUT [-serverkey=...]       load; write the log lines and settings to OUT
//   config_child DIR save SET [-serverkey=...]       load, then save zone set SET ("a" or "b")
//   config_child DIR save-loop [-serverkey=...]      load, then save b, a, b, a, ... until killed;
//                                                     prints "R" once the first save is done
//   config_child DIR save-grow N [-serverkey=...]    add one zone and save, N times (no load)
//   config_child DIR save-shared N TAG [-serverkey=...]
//                                                     N times: load, add zone TAG-i, save; a
//                                                     refused save is retried after a new load
// Exit code 0 when every save succeeded, 1 otherwise, 2 for bad arguments.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/logger.h>

#include "brimwarden/config/config.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"

namespace {

using brimwarden::KillZone;

// Two zone lists of a few hundred zones each, so a save writes tens of kilobytes.
std::vector<KillZone> ZoneSet(char set) {
  std::vector<KillZone> zones;
  const int count = set == 'a' ? 300 : 280;
  for (int i = 0; i < count; ++i) {
    const float base = static_cast<float>(i) * (set == 'a' ? 10.5F : -7.25F);
    zones.push_back({std::string(1, set) + "-zone-" + std::to_string(i),
                     {base, base + 0.1F, base - 1000.0F},
                     {base + 250.0F, base * 2.0F, 123456.78F}});
  }
  return zones;
}

int Load(const std::string& out_path) {
  const auto& sinks = GetLogSinks();
  brimwarden::PluginLogger() =
      std::make_shared<spdlog::logger>(brimwarden::LoggerName, sinks.begin(), sinks.end());
  const bool loaded = !brimwarden::LoadConfig().has_value();
  std::ofstream out(out_path, std::ios::binary);
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.logger != brimwarden::LoggerName) continue;
    out << spdlog::level::to_string_view(record.level).data() << '\t' << record.text << '\n';
  }
  const brimwarden::Settings& settings = brimwarden::PluginSettings;
  out << "settings\t" << settings.TopRayDistance << '\t' << settings.BottomRayDistance << '\t'
      << settings.DinosPerTick << '\t' << settings.KillZones.size() << '\n';
  return loaded ? 0 : 1;
}

}  // namespace

// The lock is not fair: a process that saves back to back, each save flushing two files to a
// busy disk, can hold it for seconds while the other's polls miss the short gaps. Zones are
// confirmed at the pace of people typing; a short pause between saves stands for that.
void PauseLikeAnAdmin() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

// Whether the last line logged says the lock was held past the save's wait.
bool LockWasBusy() {
  const std::vector<standin::LogRecord> records = standin::LogRecords();
  return !records.empty() &&
         records.back().text.find("another process held it for") != std::string::npos;
}

// Every failure of a save is logged at error: shows them on standard error, for the test's output.
// A save that found the lock held past its wait tells the admin the zone was not saved, and the
// admin confirms it again: so does this, a bounded number of times.
bool Saved() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    standin::ClearLogRecords();
    if (brimwarden::SaveKillZones()) return true;
    if (!LockWasBusy()) break;
    PauseLikeAnAdmin();
  }
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.level >= spdlog::level::err) std::fprintf(stderr, "%s\n", record.text.c_str());
  }
  return false;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  standin::SetServerDir(argv[1]);
  const std::string mode = argv[2];
  if (mode == "load" && argc >= 4) return Load(argv[3]);
  const auto& sinks = GetLogSinks();
  brimwarden::PluginLogger() =
      std::make_shared<spdlog::logger>(brimwarden::LoggerName, sinks.begin(), sinks.end());
  if (mode == "save" && argc >= 4) {
    brimwarden::LoadConfig();
    brimwarden::PluginSettings.KillZones = ZoneSet(argv[3][0]);
    return Saved() ? 0 : 1;
  }
  if (mode == "save-loop") {
    const std::vector<KillZone> sets[] = {ZoneSet('b'), ZoneSet('a')};
    brimwarden::LoadConfig();
    for (unsigned long round = 0;; ++round) {
      brimwarden::PluginSettings.KillZones = sets[round % 2];
      if (!Saved()) return 1;
      if (round == 0) {
        std::fputs("R", stdout);
        std::fflush(stdout);
      }
    }
  }
  if (mode == "save-grow" && argc >= 4) {
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      brimwarden::PluginSettings.KillZones.push_back({"zone-" + std::to_string(i),
                                                      {static_cast<float>(i), 0, 0},
                                                      {0, static_cast<float>(i), 1}});
      if (!Saved()) return 1;
      PauseLikeAnAdmin();
    }
    return 0;
  }
  if (mode == "save-shared" && argc >= 5) {
    // Another server with the same key saves meanwhile: a save refused because the file's zones
    // changed is what the admin is told, and a reload then picks up the other server's zones.
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      bool saved = false;
      for (int attempt = 0; attempt < 1000 && !saved; ++attempt) {
        if (brimwarden::LoadConfig()) return 1;
        brimwarden::PluginSettings.KillZones.push_back(
            {std::string(argv[4]) + "-" + std::to_string(i),
             {static_cast<float>(i), 0, 0},
             {0, static_cast<float>(i), 1}});
        saved = brimwarden::SaveKillZones();
        PauseLikeAnAdmin();
      }
      if (!saved) return 1;
    }
    return 0;
  }
  return 2;
}
