// Zone authoring through the plugin library loaded into the stand-in: an admin defines a zone in
// chat, the file keeps it, and the sweep destroys a creature standing in it from the next tick on,
// also when the zone could not be saved.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "brimwarden/standin/standin.h"
#include "test_support.h"

namespace {

using brimwarden::test::ChatTo;
using brimwarden::test::PluginLibrary;
using brimwarden::test::ServerDir;

constexpr const char* kCreated = "Zone created";
constexpr const char* kNotSaved =
    "Zone created, but it could not be saved to config.json: it stays active until the plugin "
    "reloads its configuration";

// The box spans (1000, 1000, 0) to (2000, 2000, 500) on flat ground at height 100.
constexpr Vector3 kCorner1{2000.0F, 2000.0F, 500.0F};
constexpr Vector3 kCorner2{1000.0F, 1000.0F, 0.0F};
constexpr std::int64_t kInside = 1;
constexpr std::int64_t kOutside = 2;

std::vector<std::int64_t> DestroyedIds() {
  std::vector<std::int64_t> ids;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kDestroy) ids.push_back(event.creature);
  }
  return ids;
}

class ZonesEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
    server_.WriteConfig(R"({"Other": {"DinosPerTick": 3}, "TestServer": {"DinosPerTick": 10}})");
    // Both creatures stand on the ground, so only the zone can condemn the one inside it. They
    // are in the roster the plugin builds at load, so the first tick visits them.
    standin::SpawnCreature(kInside, 1, {1500.0F, 1500.0F, 150.0F});
    standin::SpawnCreature(kOutside, 1, {5000.0F, 5000.0F, 150.0F});
  }

  /// The admin defines the zone "North Gate" and confirms it; returns the admin's replies.
  std::vector<std::string> DefineZone() {
    auto* admin = standin::AddPlayer("Admin", true);
    EXPECT_TRUE(standin::SendChat(admin, u"/newbox North Gate"));
    standin::MovePlayer(admin, kCorner1);
    EXPECT_TRUE(standin::SendChat(admin, u"/setcorner1"));
    standin::MovePlayer(admin, kCorner2);
    EXPECT_TRUE(standin::SendChat(admin, u"/setcorner2"));
    EXPECT_TRUE(standin::SendChat(admin, u"/confirm"));
    return ChatTo("Admin");
  }

  ServerDir server_;
};

TEST_F(ZonesEndToEndTest, ConfirmedZoneIsSavedAndSweptFromTheNextTick) {
  PluginLibrary plugin;
  EXPECT_EQ(
      DefineZone(),
      (std::vector<std::string>{
          "Making zone: North Gate please go to both respective corners and use /setcorner1 "
          "and /setcorner2",
          "Corner 1 set to XYZ: 2000 2000 500", "Corner 2 set to XYZ: 1000 1000 0", kCreated}));
  for (const standin::Event& event : standin::Events()) {
    if (event.kind != standin::EventKind::kChat) continue;
    EXPECT_EQ(event.from, "shBrimwarden");
    EXPECT_EQ(event.received_time, -1.0);
  }

  const auto file = nlohmann::json::parse(server_.ReadConfig());
  EXPECT_EQ(file.at("TestServer").at("Kill Zones"),
            nlohmann::json::parse(R"({"North Gate": {"Corner1": [2000.0, 2000.0, 500.0],
                                                     "Corner2": [1000.0, 1000.0, 0.0]}})"));
  EXPECT_EQ(file.at("TestServer").at("DinosPerTick"), 10);
  EXPECT_EQ(file.at("Other"), nlohmann::json::parse(R"({"DinosPerTick": 3})"));

  EXPECT_TRUE(DestroyedIds().empty());
  standin::Tick();
  EXPECT_EQ(DestroyedIds(), std::vector<std::int64_t>{kInside});
  EXPECT_TRUE(standin::IsDestroyed(kInside));
  EXPECT_FALSE(standin::IsDestroyed(kOutside));
}

TEST_F(ZonesEndToEndTest, UnsavedZoneIsReportedHonestlyAndStillSwept) {
  PluginLibrary plugin;  // loads its settings, then the file goes away
  std::filesystem::remove(server_.ConfigPath());

  const std::vector<std::string> replies = DefineZone();
  ASSERT_FALSE(replies.empty());
  EXPECT_EQ(replies.back(), kNotSaved);
  EXPECT_FALSE(std::filesystem::exists(server_.ConfigPath()));

  standin::Tick();
  EXPECT_EQ(DestroyedIds(), std::vector<std::int64_t>{kInside});
  EXPECT_FALSE(standin::IsDestroyed(kOutside));
}

TEST_F(ZonesEndToEndTest, PlayerWhoIsNotAnAdminCannotDefineAZone) {
  PluginLibrary plugin;
  const std::string file_before = server_.ReadConfig();
  auto* guest = standin::AddPlayer("Guest", false);
  standin::SendChat(guest, u"/newbox Mine");
  standin::MovePlayer(guest, kCorner1);
  standin::SendChat(guest, u"/setcorner1");
  standin::MovePlayer(guest, kCorner2);
  standin::SendChat(guest, u"/setcorner2");
  standin::SendChat(guest, u"/confirm");
  EXPECT_EQ(ChatTo("Guest"),
            std::vector<std::string>(4, "Only server admins can define kill zones"));
  EXPECT_EQ(server_.ReadConfig(), file_before);
  standin::Tick();
  standin::Tick();
  EXPECT_TRUE(DestroyedIds().empty());
}

}  // namespace
