// Zone management through the plugin library loaded into the stand-in: "/zones", "/zoneinfo" and
// "/removezone" in chat and their RCON forms, with their exact replies; the admin rule; names with
// spaces and non-ASCII characters; one zone per name; a removal whose save fails or is refused;
// the preview of a zone in the making against what the sweep then destroys; and a fault during
// the count, contained without leaking game memory.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "brimwarden/standin/standin.h"
#include "test_support.h"

namespace {

using brimwarden::test::LogTexts;
using brimwarden::test::PluginLibrary;
using brimwarden::test::ServerDir;

using Lines = std::vector<std::string>;

constexpr const char* kNotAdmin = "Only server admins can manage kill zones";
constexpr const char* kNotStarted =
    "You have not started a zone, use /newbox <name> to start a new zone";
constexpr const char* kBothCorners =
    "You have not set both corners, use /setcorner1 and /setcorner2 to set the corners";
constexpr const char* kNotSaved =
    "Zone removed, but config.json could not be saved: the file still holds it";
constexpr const char* kCouldNotCount = "Inside now: could not count (see the server log)";
constexpr const char* kPreventedCountCrash = "Prevented crash while counting creatures";

// Two zones on flat ground at 100: "North Gate" from (1000, 1000, 0) to (2000, 2000, 500) and
// "Pit" from (-1000, -1000, -1000) to (-500, -500, 1000).
const std::string kConfig = R"({
  "Other": {"Kill Zones": {"North Gate": {"Corner1": [0, 0, 0], "Corner2": [1, 1, 1]}}},
  "TestServer": {
    "DinosPerTick": 10,
    "Kill Zones": {
      "North Gate": {"Corner1": [2000, 2000, 500], "Corner2": [1000, 1000, 0]},
      "Pit": {"Corner1": [-1000, -1000, -1000], "Corner2": [-500, -500, 1000.5]}
    }
  }
})";
const std::string kNorthGateLine = "North Gate: 2000 2000 500 to 1000 1000 0";
const std::string kPitLine = "Pit: -1000 -1000 -1000 to -500 -500 1000.5";
const std::string kNorthGateInfo = kNorthGateLine + ", size 1000 x 1000 x 500";

std::string Inside(int wild, int tamed) {
  return "Inside now: " + std::to_string(wild) +
         " wild creatures (destroyed as the sweep reaches them), " + std::to_string(tamed) +
         " tamed (never touched)";
}

Lines Events(standin::EventKind kind, const std::string& to = "") {
  Lines texts;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == kind && (to.empty() || event.to == to)) texts.push_back(event.text);
  }
  return texts;
}

std::vector<std::int64_t> DestroyedIds() {
  std::vector<std::int64_t> ids;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kDestroy) ids.push_back(event.creature);
  }
  return ids;
}

class ZoneManagementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
    server_.WriteConfig(kConfig);
    admin_ = standin::AddPlayer("Admin", true);
    guest_ = standin::AddPlayer("Guest", false);
  }

  /// The replies `player` gets to one chat message.
  static Lines Chat(AShooterPlayerController* player, const std::u16string& text) {
    standin::ClearEvents();
    EXPECT_TRUE(standin::SendChat(player, text));
    return Events(standin::EventKind::kChat);
  }

  /// The one reply an RCON client gets to `text` (UTF-8).
  static std::string Rcon(const std::string& text) {
    standin::ClearEvents();
    EXPECT_TRUE(standin::SendRcon(text, 41));
    std::vector<std::string> replies;
    for (const standin::Event& event : standin::Events()) {
      if (event.kind != standin::EventKind::kRcon) continue;
      EXPECT_EQ(event.id, 41);
      replies.push_back(event.text);
    }
    EXPECT_EQ(replies.size(), 1U);
    return replies.empty() ? std::string() : replies.front();
  }

  nlohmann::json FileZones() const {
    return nlohmann::json::parse(server_.ReadConfig()).at("TestServer").at("Kill Zones");
  }

  /// Names a zone in chat, marks its corners and confirms it.
  void DefineZone(const std::u16string& name, Vector3 corner1, Vector3 corner2) {
    standin::SendChat(admin_, u"/newbox " + name);
    standin::MovePlayer(admin_, corner1);
    standin::SendChat(admin_, u"/setcorner1");
    standin::MovePlayer(admin_, corner2);
    standin::SendChat(admin_, u"/setcorner2");
    standin::SendChat(admin_, u"/confirm");
  }

  ServerDir server_;
  AShooterPlayerController* admin_ = nullptr;
  AShooterPlayerController* guest_ = nullptr;
};

TEST_F(ZoneManagementTest, ListInspectAndRemoveInChatWithTheirExactReplies) {
  // In North Gate: two wild creatures and a tamed one; one on its face counts too. In Pit: none.
  standin::SpawnCreature(1, 7, {1500.0F, 1500.0F, 150.0F});
  standin::SpawnCreature(2, 49999, {2000.0F, 1000.0F, 500.0F});
  standin::SpawnCreature(3, 50000, {1200.0F, 1800.0F, 150.0F});
  standin::SpawnCreature(4, 0, {5000.0F, 5000.0F, 150.0F});
  PluginLibrary plugin;

  EXPECT_EQ(Chat(admin_, u"/zones"), (Lines{"Kill zones: 2", kNorthGateLine, kPitLine}));
  EXPECT_EQ(Chat(admin_, u"/zoneinfo North Gate"), (Lines{kNorthGateInfo, Inside(2, 1)}));
  EXPECT_EQ(Chat(admin_, u"/zoneinfo Pit"),
            (Lines{kPitLine + ", size 500 x 500 x 2000.5", Inside(0, 0)}));
  // Names are matched exactly: no trimming, no case folding.
  EXPECT_EQ(Chat(admin_, u"/zoneinfo north gate"), Lines{"No kill zone named north gate"});
  EXPECT_EQ(Chat(admin_, u"/zoneinfo  Pit"), Lines{"No kill zone named  Pit"});
  EXPECT_TRUE(DestroyedIds().empty());  // counting destroys nothing

  EXPECT_EQ(Chat(admin_, u"/removezone North Gate"), Lines{"Zone removed: North Gate"});
  EXPECT_EQ(FileZones(), nlohmann::json::parse(R"({"Pit": {"Corner1": [-1000.0, -1000.0, -1000.0],
                                                            "Corner2": [-500.0, -500.0, 1000.5]}})"));
  // Another server's zone of the same name stays.
  EXPECT_TRUE(
      nlohmann::json::parse(server_.ReadConfig())["Other"]["Kill Zones"].contains("North Gate"));
  EXPECT_EQ(Chat(admin_, u"/zones"), (Lines{"Kill zones: 1", kPitLine}));

  const std::string file_before = server_.ReadConfig();
  EXPECT_EQ(Chat(admin_, u"/removezone North Gate"), Lines{"No kill zone named North Gate"});
  EXPECT_EQ(server_.ReadConfig(), file_before);

  // The sweep no longer uses the removed zone: nobody stands in a zone or has sunk.
  for (int tick = 0; tick < 3; ++tick) standin::Tick();
  EXPECT_TRUE(DestroyedIds().empty());
}

TEST_F(ZoneManagementTest, RconCommandsAnswerWithOneReplyOfJoinedLines) {
  standin::SpawnCreature(1, 7, {1500.0F, 1500.0F, 150.0F});
  PluginLibrary plugin;

  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 2\n" + kNorthGateLine + "\n" + kPitLine);
  EXPECT_EQ(Rcon("BWD.zoneinfo North Gate"), kNorthGateInfo + "\n" + Inside(1, 0));
  // Over RCON the empty name is a name like any other; no zone here has it.
  EXPECT_EQ(Rcon("BWD.zoneinfo"), "No kill zone named ");
  EXPECT_EQ(Rcon("BWD.zoneinfo "), "No kill zone named ");
  EXPECT_EQ(Rcon("BWD.removezone Nowhere"), "No kill zone named Nowhere");
  EXPECT_EQ(Rcon("BWD.removezone Pit"), "Zone removed: Pit");
  EXPECT_FALSE(FileZones().contains("Pit"));
  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 1\n" + kNorthGateLine);
  EXPECT_EQ(Rcon("BWD.removezone North Gate"), "Zone removed: North Gate");
  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 0");
  EXPECT_EQ(FileZones(), nlohmann::json::object());
}

// The count says when the sweep will not destroy what stands inside: in a dry run, while the
// sweep is off, while the wipe guard has paused it; "/confirm" says when the sweep is off.
TEST_F(ZoneManagementTest, RepliesSayWhenTheSweepWillNotDestroy) {
  standin::SpawnCreature(1, 7, {1500.0F, 1500.0F, 150.0F});
  standin::SpawnCreature(2, 50000, {1500.0F, 1500.0F, 150.0F});
  // Visited before creature 1: sixty sunk ones, which trip the wipe guard.
  for (int id = 10; id < 70; ++id) standin::SpawnCreature(id, 7, {5000.0F, 5000.0F, -400.0F});
  const auto inside = [](const char* why) {
    return kNorthGateInfo + "\nInside now: 1 wild creatures (" + why +
           ": not destroyed), 1 tamed (never touched)";
  };
  // With no section for this server the load fails and the sweep stays off.
  server_.WriteConfig(R"({"Other": {}})");
  PluginLibrary plugin;
  DefineZone(u"Unloaded", {1.0F, 1.0F, 1.0F}, {2.0F, 2.0F, 2.0F});
  EXPECT_EQ(Events(standin::EventKind::kChat).back(),
            "Zone created, but the sweep is off until this server's section loads: send "
            "BWD.reload");

  nlohmann::json config = nlohmann::json::parse(kConfig);
  config["TestServer"]["DryRun"] = true;
  server_.WriteConfig(config.dump());
  EXPECT_EQ(Rcon("BWD.reload"), "Config Reloaded.");
  EXPECT_EQ(Rcon("BWD.zoneinfo North Gate"), inside("dry run"));

  config["TestServer"]["DinosPerTick"] = -1;
  server_.WriteConfig(config.dump());
  EXPECT_EQ(Rcon("BWD.reload"), "Config Reloaded.");
  EXPECT_EQ(Rcon("BWD.zoneinfo North Gate"), inside("the sweep is off"));
  DefineZone(u"Off", {1.0F, 1.0F, 1.0F}, {2.0F, 2.0F, 2.0F});
  EXPECT_EQ(Events(standin::EventKind::kChat).back(),
            "Zone created, but the sweep is off: DinosPerTick is 0 or less");

  config["TestServer"]["DinosPerTick"] = 100;
  config["TestServer"].erase("DryRun");
  server_.WriteConfig(config.dump());
  EXPECT_EQ(Rcon("BWD.reload"), "Config Reloaded.");
  standin::ClearEvents();
  standin::Tick();
  EXPECT_EQ(DestroyedIds().size(), 49U);
  EXPECT_EQ(Rcon("BWD.zoneinfo North Gate"), inside("the sweep is paused"));
  EXPECT_EQ(Rcon("BWD.resume"), "Sweep resumed; the wipe guard judges again from the next pass");
  EXPECT_EQ(Rcon("BWD.zoneinfo North Gate"), kNorthGateInfo + "\n" + Inside(1, 1));
}

// A name that holds control characters cannot forge lines: they show escaped, and the file keeps
// the name as it is.
TEST_F(ZoneManagementTest, ControlCharactersInNamesShowEscaped) {
  server_.WriteConfig(
      R"({"TestServer": {"Kill Zones": {"A\nB\u001b[31m": {"Corner1": [0, 0, 0], "Corner2": [1, 1, 1]}}}})");
  PluginLibrary plugin;
  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 1\nA\\u000aB\\u001b[31m: 0 0 0 to 1 1 1");
  EXPECT_EQ(Rcon("BWD.zoneinfo x\x7f"), "No kill zone named x\\u007f");
  EXPECT_EQ(Rcon("BWD.removezone A\nB\x1b[31m"), "Zone removed: A\\u000aB\\u001b[31m");
}

TEST_F(ZoneManagementTest, ChatListsTenZonesAndRconListsThemAll) {
  server_.WriteConfig(R"({"TestServer": {}})");
  PluginLibrary plugin;
  Lines all{"Kill zones: 12"};
  for (int index = 0; index < 12; ++index) {
    const std::string name = "Zone " + std::to_string(100 + index);
    const auto x = static_cast<float>(index + 1);
    DefineZone(std::u16string(name.begin(), name.end()), {x, 2.0F, 3.0F}, {-x, -2.5F, 0.25F});
    all.push_back(name + ": " + std::to_string(index + 1) + " 2 3 to -" +
                  std::to_string(index + 1) + " -2.5 0.25");
  }
  Lines chat(all.begin(), all.begin() + 11);
  chat.push_back("... and 2 more; BWD.zones over RCON lists them all");
  EXPECT_EQ(Chat(admin_, u"/zones"), chat);

  std::string joined;
  for (const std::string& line : all) joined += (joined.empty() ? "" : "\n") + line;
  EXPECT_EQ(Rcon("BWD.zones"), joined);

  // Exactly ten: no "more" line.
  Chat(admin_, u"/removezone Zone 100");
  Chat(admin_, u"/removezone Zone 111");
  const Lines ten = Chat(admin_, u"/zones");
  ASSERT_EQ(ten.size(), 11U);
  EXPECT_EQ(ten.front(), "Kill zones: 10");
  EXPECT_EQ(ten.back(), all[11]);
}

TEST_F(ZoneManagementTest, PlayerWhoIsNotAnAdminIsRefusedAndNothingChanges) {
  PluginLibrary plugin;
  const std::string file_before = server_.ReadConfig();
  for (const char16_t* text :
       {u"/zones", u"/zoneinfo North Gate", u"/zoneinfo", u"/removezone North Gate", u"/ZONES"}) {
    EXPECT_EQ(Chat(guest_, text), Lines{kNotAdmin});
  }
  EXPECT_EQ(server_.ReadConfig(), file_before);
  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 2\n" + kNorthGateLine + "\n" + kPitLine);
}

TEST_F(ZoneManagementTest, NamesWithSpacesAndNonAsciiShowAsTyped) {
  server_.WriteConfig(R"({"TestServer": {}})");
  PluginLibrary plugin;
  const std::u16string name = u"Zo\u00EB  Nord \u5317\u95E8 \U0001F996 {}";
  const std::string utf8 = "Zo\xC3\xAB  Nord \xE5\x8C\x97\xE9\x97\xA8 \xF0\x9F\xA6\x96 {}";
  DefineZone(name, {10.0F, 20.0F, 30.0F}, {-10.0F, -20.0F, -30.0F});
  ASSERT_TRUE(FileZones().contains(utf8));

  const std::string line = utf8 + ": 10 20 30 to -10 -20 -30";
  EXPECT_EQ(Chat(admin_, u"/zones"), (Lines{"Kill zones: 1", line}));
  EXPECT_EQ(Chat(admin_, u"/zoneinfo " + name),
            (Lines{line + ", size 20 x 40 x 60", Inside(0, 0)}));
  EXPECT_EQ(Rcon("BWD.zoneinfo " + utf8), line + ", size 20 x 40 x 60\n" + Inside(0, 0));
  EXPECT_EQ(Chat(admin_, u"/removezone " + name), Lines{"Zone removed: " + utf8});
  EXPECT_EQ(FileZones(), nlohmann::json::object());
  EXPECT_EQ(Rcon("BWD.removezone " + utf8), "No kill zone named " + utf8);
}

TEST_F(ZoneManagementTest, OneZonePerNameAndRemovalTakesItFromFileAndSweep) {
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 10}})");
  standin::SpawnCreature(1, 0, {1500.0F, 1500.0F, 150.0F});    // in the first box only
  standin::SpawnCreature(2, 0, {-1500.0F, -1500.0F, 150.0F});  // in the second box only
  PluginLibrary plugin;
  DefineZone(u"spawn", {1000.0F, 1000.0F, 0.0F}, {2000.0F, 2000.0F, 500.0F});
  DefineZone(u"spawn", {-1000.0F, -1000.0F, 0.0F}, {-2000.0F, -2000.0F, 500.0F});
  const Lines chat = Events(standin::EventKind::kChat, "Admin");
  EXPECT_EQ(
      Lines(chat.end() - 2, chat.end()),
      (Lines{"Zone created", "It replaced the earlier zone spawn: 1000 1000 0 to 2000 2000 500"}));

  // The second "spawn" replaced the first in memory, as in the file.
  EXPECT_EQ(Chat(admin_, u"/zones"),
            (Lines{"Kill zones: 1", "spawn: -1000 -1000 0 to -2000 -2000 500"}));
  standin::ClearEvents();
  standin::Tick();
  EXPECT_EQ(DestroyedIds(), std::vector<std::int64_t>{2});

  EXPECT_EQ(Chat(admin_, u"/removezone spawn"), Lines{"Zone removed: spawn"});
  EXPECT_EQ(FileZones(), nlohmann::json::object());
  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 0");
}

TEST_F(ZoneManagementTest, RemovalWhoseSaveFailsOrIsRefusedSaysSoAndTheZoneIsGone) {
  standin::SpawnCreature(1, 0, {1500.0F, 1500.0F, 150.0F});  // in North Gate
  PluginLibrary plugin;

  // The file has gone: nothing can be saved, nothing is created.
  std::filesystem::remove(server_.ConfigPath());
  EXPECT_EQ(Chat(admin_, u"/removezone North Gate"), Lines{kNotSaved});
  EXPECT_FALSE(std::filesystem::exists(server_.ConfigPath()));
  EXPECT_EQ(LogTexts(spdlog::level::err).back(), "Failed to open config file");
  standin::ClearEvents();
  standin::Tick();
  EXPECT_TRUE(DestroyedIds().empty());

  // After a failed reload the save refuses to rewrite the section, and the file stays.
  const std::string broken = R"({"TestServer": {"DinosPerTick": "many", "Kill Zones": {}}})";
  server_.WriteConfig(broken);
  Rcon("BWD.reload");
  EXPECT_EQ(Rcon("BWD.removezone Pit"), kNotSaved);
  EXPECT_EQ(server_.ReadConfig(), broken);
  EXPECT_EQ(Rcon("BWD.zones"), "Kill zones: 0");
}

TEST_F(ZoneManagementTest, PreviewOfAZoneInTheMakingCountsWhatTheSweepThenDestroys) {
  // Standing on the ground, so only the zone can condemn them: three wild creatures and two
  // tamed ones inside the box, others outside.
  const std::vector<std::int64_t> wild_inside = {1, 2, 3};
  standin::SpawnCreature(1, 0, {100.0F, 100.0F, 150.0F});
  standin::SpawnCreature(2, -5, {300.0F, 900.0F, 150.0F});
  standin::SpawnCreature(3, 49999, {-200.0F, 500.0F, 150.0F});
  standin::SpawnCreature(4, 50000, {150.0F, 150.0F, 150.0F});
  standin::SpawnCreature(5, 60000, {0.0F, 0.0F, 150.0F});
  for (int id = 6; id <= 30; ++id) {
    standin::SpawnCreature(id, id, {5000.0F + static_cast<float>(id), 0.0F, 150.0F});
  }
  PluginLibrary plugin;

  EXPECT_EQ(Chat(admin_, u"/zoneinfo"), Lines{kNotStarted});
  standin::SendChat(admin_, u"/newbox Meadow");
  EXPECT_EQ(Chat(admin_, u"/zoneinfo "), Lines{kBothCorners});
  standin::MovePlayer(admin_, {-500.0F, -500.0F, 0.0F});
  standin::SendChat(admin_, u"/setcorner1");
  EXPECT_EQ(Chat(admin_, u"/zoneinfo"), Lines{kBothCorners});
  standin::MovePlayer(admin_, {500.0F, 1000.0F, 400.0F});
  standin::SendChat(admin_, u"/setcorner2");
  EXPECT_EQ(Chat(admin_, u"/zoneinfo"),
            (Lines{"Meadow (not confirmed): -500 -500 0 to 500 1000 400, size 1000 x 1500 x 400",
                   Inside(3, 2)}));

  standin::SendChat(admin_, u"/confirm");
  standin::ClearEvents();
  for (int tick = 0; tick < 5; ++tick) standin::Tick();  // a pass of 30 at 10 a tick, then more
  std::vector<std::int64_t> destroyed = DestroyedIds();
  std::sort(destroyed.begin(), destroyed.end());
  EXPECT_EQ(destroyed, wild_inside);
  EXPECT_EQ(Chat(admin_, u"/zoneinfo Meadow"),
            (Lines{"Meadow: -500 -500 0 to 500 1000 400, size 1000 x 1500 x 400", Inside(0, 2)}));
}

TEST_F(ZoneManagementTest, FaultDuringTheCountIsContainedAndLeaksNoGameMemory) {
  for (int id = 1; id <= 20; ++id) {
    standin::SpawnCreature(id, id % 2 == 0 ? 0 : 50001, {1500.0F, 1500.0F, 150.0F});
  }
  const standin::AllocatorStats before_load = standin::GetAllocatorStats();
  {
    PluginLibrary plugin;
    // A creature the game destroys after the roster was built; its memory goes back at once.
    AActor* const reclaimed = standin::SpawnCreature(99, 0, {1500.0F, 1500.0F, 150.0F});
    standin::SetReclaimDelayTicks(0);
    standin::DestroyByGame(99);
    const std::int64_t settled = standin::GetAllocatorStats().live_blocks;

    // The game lists a creature whose memory it has reclaimed, halfway through the list.
    standin::SetActorListHook([reclaimed](std::vector<AActor*>& actors) {
      actors.insert(actors.begin() + 10, reclaimed);
    });
    standin::ClearLogRecords();
    EXPECT_EQ(Chat(admin_, u"/zoneinfo North Gate"), (Lines{kNorthGateInfo, kCouldNotCount}));
    EXPECT_EQ(Rcon("BWD.zoneinfo North Gate"), kNorthGateInfo + "\n" + kCouldNotCount);
    EXPECT_EQ(LogTexts(spdlog::level::err), (Lines{kPreventedCountCrash, kPreventedCountCrash}));

    // The list a fault cut short is returned by the next count, which works again.
    standin::SetActorListHook(nullptr);
    EXPECT_EQ(Chat(admin_, u"/zoneinfo North Gate"), (Lines{kNorthGateInfo, Inside(10, 10)}));
    EXPECT_EQ(standin::GetAllocatorStats().live_blocks, settled);

    // Faulted again, then unloaded: the unload returns it.
    standin::SetActorListHook(
        [reclaimed](std::vector<AActor*>& actors) { actors.push_back(reclaimed); });
    EXPECT_EQ(Chat(admin_, u"/zoneinfo North Gate"), (Lines{kNorthGateInfo, kCouldNotCount}));
    standin::SetActorListHook(nullptr);
    // The sweep and the server go on.
    for (int tick = 0; tick < 3; ++tick) standin::Tick();
  }
  const standin::AllocatorStats after_unload = standin::GetAllocatorStats();
  EXPECT_EQ(after_unload.live_blocks, before_load.live_blocks);
  EXPECT_EQ(after_unload.foreign_frees, before_load.foreign_frees);
}

}  // namespace
