// One case per fixed fault, named after the fault.
//
// This program's operator new can be told to fail at a chosen large allocation. Only large blocks
// fail: the JSON library's destructors make small allocations of their own, and a failure there
// ends any program.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "failing_allocator.h"
#include "test_support.h"

namespace {

using brimwarden::test::allocation_failure_fired;
using brimwarden::test::allocations_before_failure;

// The rewrite printed the document into a string stream, which swallows an allocation failure
// and keeps what it had: the truncated text then replaced config.json and the save reported
// success.
TEST(RegressionTest, SaveOutOfMemoryWhilePrintingNeverWritesATruncatedFile) {
  const brimwarden::test::ServerDir server;
  brimwarden::test::smallest_failing_allocation = 1024;
  const std::string original = R"({"Other": {"DinosPerTick": 7, "Note": ")" +
                               std::string(4000, 'x') + R"("}, "TestServer": {"DinosPerTick": 5}})";
  server.WriteConfig(original);
  brimwarden::Load();  // a logger over the framework's sinks, and a successful load
  brimwarden::Unload();
  brimwarden::PluginSettings.KillZones = {{"North Gate", {1, 2, 3}, {4, 5, 6}}};

  // With every large allocation of the save failing in turn, config.json is always either the
  // original or the whole new document, and success is never reported without the new document.
  bool succeeded_without_failure = false;
  for (long fail_at = 0; fail_at < 200 && !succeeded_without_failure; ++fail_at) {
    server.WriteConfig(original);
    brimwarden::PluginSettings.KillZonesInFile.clear();  // the zones of the file just written
    allocation_failure_fired = false;
    allocations_before_failure = fail_at;
    const bool saved = brimwarden::SaveKillZones();
    allocations_before_failure = -1;
    const std::string written = server.ReadConfig();
    if (written == original) {
      EXPECT_FALSE(saved) << "allocation " << fail_at;
      continue;
    }
    const auto document = nlohmann::json::parse(written, nullptr, false);
    ASSERT_FALSE(document.is_discarded())
        << "allocation " << fail_at << ": " << written.substr(0, 60) << "... (" << written.size()
        << " bytes)";
    EXPECT_EQ(document["Other"]["Note"], std::string(4000, 'x'));
    EXPECT_EQ(document["TestServer"]["Kill Zones"]["North Gate"]["Corner2"][2], 6.0);
    succeeded_without_failure = saved && !allocation_failure_fired;
  }
  EXPECT_TRUE(succeeded_without_failure);
  brimwarden::ResetProcessObjects();
}

// After a load that failed (one malformed zone in the section), the zone list was empty and the
// next confirmed zone rewrote the section's "Kill Zones" with that zone alone: every zone of the
// file was lost.
TEST(RegressionTest, SaveAfterAFailedLoadNeverWipesTheZonesOfTheFile) {
  const brimwarden::test::ServerDir server;
  const std::string broken = R"({"TestServer": {"Kill Zones": {
      "Gate": {"Corner1": [0, 0, 0], "Corner2": [10, 10, 10]},
      "Pier": {"Corner1": [1, 2], "Corner2": [3, 4, 5]}}}})";
  server.WriteConfig(broken);
  brimwarden::Load();
  brimwarden::Unload();
  ASSERT_TRUE(brimwarden::PluginSettings.KillZones.empty());

  brimwarden::PluginSettings.KillZones.push_back({"New", {1, 1, 1}, {2, 2, 2}});
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(server.ReadConfig(), broken);

  // Once the file is mended and loaded, saving works again and keeps the file's zones.
  server.WriteConfig(R"({"TestServer": {"Kill Zones": {
      "Gate": {"Corner1": [0, 0, 0], "Corner2": [10, 10, 10]}}}})");
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  brimwarden::PluginSettings.KillZones.push_back({"New", {1, 1, 1}, {2, 2, 2}});
  ASSERT_TRUE(brimwarden::SaveKillZones());
  const auto zones = nlohmann::json::parse(server.ReadConfig())["TestServer"]["Kill Zones"];
  EXPECT_TRUE(zones.contains("Gate"));
  EXPECT_TRUE(zones.contains("New"));

  // A section removed by hand since is not brought back with the zones of this process...
  server.WriteConfig(R"({"Other": {}})");
  EXPECT_NE(brimwarden::LoadConfig(), std::nullopt);
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(server.ReadConfig(), R"({"Other": {}})");

  // ...but a server whose section does not exist yet loses nothing: its first zone starts it.
  brimwarden::ResetProcessObjects();
  EXPECT_NE(brimwarden::LoadConfig(), std::nullopt);
  brimwarden::PluginSettings.KillZones.push_back({"New", {1, 1, 1}, {2, 2, 2}});
  EXPECT_TRUE(brimwarden::SaveKillZones());
  brimwarden::ResetProcessObjects();
}

}  // namespace
