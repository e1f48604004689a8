// "BWD.status", the dry run and the dev server's `team` command, through the dev server's world and
// the real plugin library: the counters against the events of a script, both load states, both
// modes, the dry run's log lines, and the switch on reload.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brimwarden/standin/standin.h"
#include "script.h"
#include "server.h"
#include "test_support.h"

namespace brimwarden::devserver {
namespace {

TEST(DevServerScriptTest, ParsesTeamAndChaos) {
  const std::vector<Command> commands =
      ParseScript("team 12 -50000\nchaos 0.25 7\nchaos 100 4294967295 0.5\n");
  ASSERT_EQ(commands.size(), 3U);
  EXPECT_EQ(commands[0].kind, CommandKind::kTeam);
  EXPECT_EQ(commands[0].id, 12);
  EXPECT_EQ(commands[0].team, -50000);
  EXPECT_EQ(commands[1].kind, CommandKind::kChaos);
  EXPECT_DOUBLE_EQ(commands[1].rate, 0.25);
  EXPECT_EQ(commands[1].seed, 7U);
  EXPECT_DOUBLE_EQ(commands[1].fault_rate, 0.0);
  EXPECT_DOUBLE_EQ(commands[2].rate, 100.0);
  EXPECT_EQ(commands[2].seed, 4294967295U);
  EXPECT_DOUBLE_EQ(commands[2].fault_rate, 0.5);
}

class StatusTest : public ::testing::Test {
 protected:
  StatusTest()
      : server_({dir_.Path(), BRIMWARDEN_PLUGIN_FILE, test::kTestServerKey},
                [this](const standin::Event& event) { events_.push_back(event); }) {}

  ~StatusTest() override {
    server_.Unload();
    standin::ResetWorld();
  }

  /// Runs script lines; a `load` line loads the plugin (it starts unloaded here).
  void Run(const std::string& script) {
    for (const Command& command : ParseScript(script)) server_.Execute(command);
  }

  std::string Rcon(const std::string& text) {
    const std::vector<std::string> replies = server_.Rcon(text, server_.NextRconId(), nullptr);
    return replies.size() == 1 ? replies[0] : "(" + std::to_string(replies.size()) + " replies)";
  }

  std::vector<std::int64_t> Destroyed() const {
    std::vector<std::int64_t> ids;
    for (const standin::Event& event : events_) {
      if (event.kind == standin::EventKind::kDestroy) ids.push_back(event.creature);
    }
    return ids;
  }

  std::vector<std::string> Logs(const std::string& level) const {
    std::vector<std::string> texts;
    for (const standin::Event& event : events_) {
      if (event.kind == standin::EventKind::kLog && event.level == level) {
        texts.push_back(event.text);
      }
    }
    return texts;
  }

  test::ServerDir dir_;
  std::vector<standin::Event> events_;
  DevServer server_;
};

// A zone around X 0..1000; creatures 1 to 3 in it (2 also sunk), 4 and 5 sunk outside, 6 standing,
// 7 tamed and sunk in the zone, 8 wild now and tamed before its visit.
constexpr const char* kWorld = R"(
creature 1 0 500 0 160
creature 2 10 600 0 -300
creature 3 20 700 0 160
creature 4 30 5000 0 -300
creature 5 40 6000 0 -300
creature 6 50 7000 0 160
creature 7 50000 800 0 -300
creature 8 60 900 0 -300
)";

constexpr const char* kConfig = R"(write ArkApi/Plugins/Brimwarden/config.json
{"TestServer": {"DinosPerTick": 3, "BottomRayDistance": 9000,
 "Kill Zones": {"Pit": {"Corner1": [0, -10, -1000], "Corner2": [1000, 10, 1000]}}}}
end
)";

TEST_F(StatusTest, CountersAgreeWithTheEvents) {
  Run(std::string(kConfig) + kWorld + "load\n");
  EXPECT_EQ(Rcon("BWD.status"),
            "Brimwarden: server key TestServer; DinosPerTick 3, BottomRayDistance 9000, "
            "MaxDestroyShare 0.5; 1 kill zones; dry run off\n"
            "Last load: ok\n"
            "Sweep: pass 1, 7 creatures left in this pass; 0 visits since load\n"
            "Destroyed since load: 0 in kill zones, 0 with no ground; faults contained: 0");

  // The roster is visited from its end: 8 (tamed just now), 6, 5 | 4, 3, 2 | 1, then the rebuild.
  Run("team 8 50001\ntick 3\n");
  EXPECT_EQ(Destroyed(), (std::vector<std::int64_t>{5, 4, 3, 2, 2, 1}));
  EXPECT_EQ(Rcon("BWD.status"),
            "Brimwarden: server key TestServer; DinosPerTick 3, BottomRayDistance 9000, "
            "MaxDestroyShare 0.5; 1 kill zones; dry run off\n"
            "Last load: ok\n"
            "Sweep: pass 2, 1 creatures left in this pass; 7 visits since load\n"
            "Destroyed since load: 3 in kill zones, 2 with no ground; faults contained: 0");

  // A fault in the next visit is one contained fault; that entry counts as a visit.
  standin::FaultInGameFunction("APrimalCharacter.GetGroundLocation");
  Run("tick 1\n");
  EXPECT_EQ(Logs("error"), std::vector<std::string>{"Prevented crash in CastRayTick"});
  EXPECT_EQ(Rcon("BWD.status").substr(Rcon("BWD.status").find("\nSweep")),
            "\nSweep: pass 2, 0 creatures left in this pass; 8 visits since load\n"
            "Destroyed since load: 3 in kill zones, 2 with no ground; faults contained: 1");
  // The summary counts every entry taken, the faulting one and those of the unfinished pass too.
  EXPECT_EQ(server_.Summary()["visited"], 8);
  // Nothing of this is logged, and the key is not looked up again.
  EXPECT_EQ(Logs("info"), std::vector<std::string>{"Server Key: TestServer"});
}

TEST_F(StatusTest, AFailedReloadShowsItsReasonAndKeepsTheRest) {
  Run(std::string(kConfig) + "load\n");
  Run(R"(write ArkApi/Plugins/Brimwarden/config.json
{"TestServer": {"DinosPerTick": 3, "DryRun": "yes"}}
end
)");
  const std::string reason = "DryRun in config is not a boolean: \"yes\"";
  EXPECT_EQ(Rcon("BWD.reload"), "Config reload failed: " + reason);
  EXPECT_EQ(Rcon("BWD.status").substr(0, Rcon("BWD.status").find("\nSweep")),
            "Brimwarden: server key TestServer; DinosPerTick 3, BottomRayDistance 9000, "
            "MaxDestroyShare 0.5; 1 kill zones; dry run off\n"
            "Last load: failed: " +
                reason);
  Run("write ArkApi/Plugins/Brimwarden/config.json\n{\"Other\": {}}\nend\n");
  EXPECT_EQ(Rcon("BWD.reload"), "Config reload failed: Server key not found in config");
  EXPECT_NE(Rcon("BWD.status").find("\nLast load: failed: Server key not found in config\n"),
            std::string::npos);
  Run(std::string(kConfig));
  EXPECT_EQ(Rcon("BWD.reload"), "Config Reloaded.");
  EXPECT_NE(Rcon("BWD.status").find("\nLast load: ok\n"), std::string::npos);
}

TEST_F(StatusTest, DryRunDestroysNothingLogsWhatItWouldAndSwitchesOnReload) {
  Run(R"(write ArkApi/Plugins/Brimwarden/config.json
{"TestServer": {"DinosPerTick": 3, "DryRun": true, "BottomRayDistance": 9000,
 "Kill Zones": {"Pit": {"Corner1": [0, -10, -1000], "Corner2": [1000, 10, 1000]},
                "Inner": {"Corner1": [550, -10, -1000], "Corner2": [650, 10, 1000]}}}}
end
)" + std::string(kWorld) +
      "load\ntick 3\n");
  EXPECT_TRUE(Destroyed().empty());
  EXPECT_EQ(Logs("info"), (std::vector<std::string>{
                              "Server Key: TestServer",
                              "Dry run: would destroy creature at 900 0 -300 (Pit)",
                              "Dry run: would destroy creature at 6000 0 -300 (no ground)",
                              "Dry run: would destroy creature at 5000 0 -300 (no ground)",
                              "Dry run: would destroy creature at 700 0 160 (Pit)",
                              "Dry run: would destroy creature at 600 0 -300 (Inner)",
                              "Dry run: would destroy creature at 500 0 160 (Pit)",
                          }));
  EXPECT_EQ(Rcon("BWD.status"),
            "Brimwarden: server key TestServer; DinosPerTick 3, BottomRayDistance 9000, "
            "MaxDestroyShare 0.5; 2 kill zones; dry run on\n"
            "Last load: ok\n"
            "Sweep: pass 2, 7 creatures left in this pass; 7 visits since load\n"
            "Destroyed since load: 0 in kill zones, 0 with no ground; faults contained: 0\n"
            "Dry run, this pass so far: would destroy 0 in kill zones, 0 with no ground; last "
            "pass: 4 in kill zones, 2 with no ground");
  EXPECT_NE(server_.Status()[2].find("dry run: on"), std::string::npos);
  EXPECT_EQ(server_.Summary().value("dry_run", false), true);

  // Off from the next visit on: the rest of this pass is destroyed for real, with no more lines.
  Run(R"(write ArkApi/Plugins/Brimwarden/config.json
{"TestServer": {"DinosPerTick": 3, "BottomRayDistance": 9000}}
end
rcon BWD.reload
tick 1
)");
  EXPECT_EQ(Destroyed(), (std::vector<std::int64_t>{8, 5}));
  EXPECT_EQ(Logs("info").size(), 8U);  // one more "Server Key" line, from the reload
  EXPECT_NE(Rcon("BWD.status").find("\nDestroyed since load: 0 in kill zones, 2 with no ground;"),
            std::string::npos);
  EXPECT_FALSE(server_.Summary().contains("dry_run"));
}

// The status's roster estimate starts from the wild creatures the game listed at the latest build:
// counted as creatures are spawned, change team and are destroyed, by the game or by the plugin
// (twice over for a creature in the zone and without ground), rather than looked up one by one.
TEST_F(StatusTest, TheRosterEstimateStartsFromTheWildCreaturesAliveAtTheBuild) {
  const auto wild_alive = [] {
    std::int64_t wild = 0;
    for (const standin::CreatureInfo& creature : standin::Creatures()) {
      if (!creature.destroyed && creature.team < 50000) ++wild;
    }
    return wild;
  };
  Run(std::string(kConfig) + kWorld + "load\n");
  EXPECT_EQ(server_.RosterAtBuild(), 7);
  Run("team 7 5\nteam 1 50002\ndestroy 6\ncreature 9 0 5000 0 160\ncreature 10 50000 0 0 160\n"
      "team 10 3\ntick 3\nunload\nload\n");
  EXPECT_EQ(Destroyed(), (std::vector<std::int64_t>{6, 8, 8, 5, 4, 3, 2, 2}));
  EXPECT_EQ(server_.RosterAtBuild(), 3);  // 7 and 10 (wild now) and 9
  EXPECT_EQ(server_.RosterAtBuild(), wild_alive());
}

// The prompt's status shows the names it prints itself (the zones of the file, the players with a
// zone pending, the registrations) and the plugin's own lines with control characters escaped.
TEST_F(StatusTest, PromptStatusEscapesNames) {
  Run(R"(write ArkApi/Plugins/Brimwarden/config.json
{"TestServer": {"DinosPerTick": 3, "Kill Zones": {"Ga\u001bte\u0007": {"Corner1": [0, 0, 0], "Corner2": [1, 1, 1]}}}}
end
load
)"
      "player al\x1b"
      "ice admin\nchat al\x1b"
      "ice /newbox Pit\n");
  std::string status;
  for (const std::string& line : server_.Status()) status += line + "\n";
  EXPECT_NE(status.find("\n  Ga\\u001bte\\u0007: 0 0 0 to 1 1 1\n"), std::string::npos) << status;
  EXPECT_NE(status.find("\nzones in config.json: 1 [Ga\\u001bte\\u0007]\n"), std::string::npos)
      << status;
  EXPECT_NE(status.find("\npending zones: 1 (al\\u001bice)\n"), std::string::npos) << status;
  EXPECT_EQ(status.find('\x1b'), std::string::npos) << status;
  EXPECT_EQ(status.find('\x07'), std::string::npos) << status;
}

}  // namespace
}  // namespace brimwarden::devserver
