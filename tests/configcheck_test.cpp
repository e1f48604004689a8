// brimwarden-check: the report of each section, the exit codes, and a file left as it was.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_check.h"
#include "test_support.h"

namespace brimwarden::configcheck {
namespace {

std::vector<std::string> Names(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(ConfigCheckTest, ReportsEachSectionAsThePluginWouldLoadItAndChangesNothing) {
  const test::ServerDir dir;
  const std::string text =
      R"({"Island": {"Dryrun": true, "DinosPerTick": 0, "MaxDestroyShare": 0.25,
  "Kill Zones": {"Pit\n": {"Corner1": [1, 2, 3], "Corner2": [4, 5.5, 6]}}},
 "Bay": {"DryRun": 1}})";
  dir.WriteConfig(text);
  const std::string path = dir.ConfigPath().generic_string();
  const std::vector<std::string> files = Names(dir.PluginDir());
  const std::string island =
      "Section Island: loads\n"
      "  Brimwarden: server key Island; DinosPerTick 20, BottomRayDistance 150000, "
      "MaxDestroyShare 0.25; 1 kill zones; dry run off\n"
      "  Kill zones: 1\n"
      "  Pit\\u000a: 1 2 3 to 4 5.5 6\n"
      "  [warning] TopRayDistance not set in config, using 150k\n"
      "  [warning] BottomRayDistance not set in config, using 150k\n"
      "  [warning] DinosPerTick not set in config, using 20\n"
      "  [warning] config.json: Dryrun in this server's section is not a setting and is "
      "ignored; check its spelling\n";
  const std::string bay =
      "Section Bay: fails to load\n"
      "  [error] DryRun in config is not a boolean: 1\n";
  const struct {
    std::vector<std::string> arguments;
    int code;
    std::string report;
  } cases[] = {
      {{path}, kSomeFailed, bay + island},  // every section, in byte order
      {{path, "Island"}, kAllLoaded, island},
      {{path, "Island", "Nowhere"},
       kSomeFailed,
       island + "Section Nowhere: fails to load\n  [error] Server key not found in config\n"},
      {{path + ".missing"},
       kSomeFailed,
       "File " + path + ".missing: fails to load\n  [error] Failed to open config file\n"},
      {{}, kBadUsage, ""},
      {{"--keys", path}, kBadUsage, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : c.arguments.back());
    std::string report;
    EXPECT_EQ(RunCheck(c.arguments, report), c.code);
    EXPECT_EQ(report, c.report);
  }
  EXPECT_EQ(dir.ReadConfig(), text);
  EXPECT_EQ(Names(dir.PluginDir()), files);
}

}  // namespace
}  // namespace brimwarden::configcheck
