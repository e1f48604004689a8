// The configuration through the plugin library loaded into the stand-in: a broken file at
// start-up is an error and the load goes on with an inert sweep, and "BWD.reload" applies the
// file whole or not at all and says which.
#include <algorithm>
#include <cstdint>
#include <sstream>
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

// Flat ground at 100. A creature high above it finds no ground within the ray distances and is
// destroyed by a working sweep; one standing on the ground only by a kill zone.
constexpr Vector3 kNoGround{0.0F, 0.0F, 1.0e6F};
constexpr Vector3 kInGate{1500.0F, 1500.0F, 150.0F};
const std::string kGate = R"("gate": {"Corner1": [1000, 1000, 0], "Corner2": [2000, 2000, 500]})";

std::string LibraryParseError(const std::string& text) {
  try {
    std::istringstream in(text);
    nlohmann::json ignored;
    in >> ignored;
  } catch (const nlohmann::json::exception& error) {
    return error.what();
  }
  return "(no error)";
}

std::vector<std::int64_t> DestroyedIds() {
  std::vector<std::int64_t> ids;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kDestroy) ids.push_back(event.creature);
  }
  return ids;
}

struct RconReply {
  std::int32_t id;
  std::string text;
  bool operator==(const RconReply&) const = default;
};

std::ostream& operator<<(std::ostream& out, const RconReply& reply) {
  return out << reply.id << ": " << reply.text;
}

std::vector<RconReply> RconReplies() {
  std::vector<RconReply> replies;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kRcon) replies.push_back({event.id, event.text});
  }
  return replies;
}

void Ticks(int count) {
  for (int i = 0; i < count; ++i) standin::Tick();
}

class ConfigEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
  }
  ServerDir server_;
};

TEST_F(ConfigEndToEndTest, FailedLoadAtStartUpIsAnErrorAndTheLoadGoesOnInert) {
  struct Case {
    const char* what;
    std::string file;  // empty: no file
    std::string error;
  };
  const std::string kBroken = R"({"TestServer": {"DinosPerTick": 10})";
  const Case cases[] = {
      {"no file", "", "Failed to open config file"},
      {"not JSON", kBroken, LibraryParseError(kBroken)},
      {"section of the wrong type", R"({"TestServer": 5})",
       "[json.exception.type_error.306] cannot use value() with number"},
      {"number out of range", R"({"TestServer": {"DinosPerTick": 1e10}})",
       "DinosPerTick in config is outside the 32-bit integer range: 10000000000.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
    std::filesystem::remove(server_.ConfigPath());
    if (!c.file.empty()) server_.WriteConfig(c.file);
    standin::SpawnCreature(1, 1, kNoGround);
    {
      PluginLibrary plugin;
      EXPECT_EQ(LogTexts(spdlog::level::err), std::vector<std::string>{c.error});
      for (const std::string& info : LogTexts(spdlog::level::info)) {
        EXPECT_EQ(info, "Server Key: TestServer");  // the failure is not repeated at info
      }
      // Every registration was made although the load failed.
      EXPECT_EQ(standin::RegisteredNames("tick"), std::vector<std::string>{"CastRayBWD"});
      const std::vector<std::string> rcon = standin::RegisteredNames("rcon");
      ASSERT_FALSE(rcon.empty());
      EXPECT_EQ(rcon.front(), "BWD.reload");
      EXPECT_NE(std::find(rcon.begin(), rcon.end(), "BWD.removezone"), rcon.end());
      EXPECT_EQ(rcon.back(), "BWD.recent");
      EXPECT_EQ(standin::RegisteredNames("chat").size(), 8U);  // five to author, three to manage
      // With the settings still zero, the sweep takes nothing off the roster.
      Ticks(3);
      EXPECT_TRUE(DestroyedIds().empty());

      // The admin mends the file and reloads: the sweep starts working.
      server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 10}})");
      EXPECT_TRUE(standin::SendRcon("BWD.reload", 77));
      EXPECT_EQ(RconReplies(), (std::vector<RconReply>{{77, "Config Reloaded."}}));
      Ticks(1);
      EXPECT_EQ(DestroyedIds(), std::vector<std::int64_t>{1});
    }
  }
}

TEST_F(ConfigEndToEndTest, ReloadAppliesTheWholeFileOrNothingAndSaysWhich) {
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 10, "Kill Zones": {)" + kGate + "}}}");
  standin::SpawnCreature(1, 1, kInGate);
  PluginLibrary plugin;

  // A file broken in its last zone: nothing of it is applied, and the reply says why.
  server_.WriteConfig(
      R"({"TestServer": {"DinosPerTick": 1, "Kill Zones": {"a": {"Corner1": [1, 2]}}}})");
  EXPECT_TRUE(standin::SendRcon("BWD.reload", 5));
  EXPECT_EQ(RconReplies(),
            (std::vector<RconReply>{
                {5,
                 "Config reload failed: Kill zone \"a\": Corner1 is not a list of three numbers: "
                 "[1,2]"}}));
  EXPECT_EQ(
      LogTexts(spdlog::level::err),
      std::vector<std::string>{"Kill zone \"a\": Corner1 is not a list of three numbers: [1,2]"});
  Ticks(1);  // the gate is still in force
  EXPECT_EQ(DestroyedIds(), std::vector<std::int64_t>{1});

  // The gate deleted from the file is gone after a reload.
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 10, "Kill Zones": {}}})");
  standin::ClearEvents();
  EXPECT_TRUE(standin::SendRcon("BWD.reload", 6));
  EXPECT_EQ(RconReplies(), (std::vector<RconReply>{{6, "Config Reloaded."}}));
  standin::SpawnCreature(2, 1, kInGate);
  standin::SpawnCreature(3, 1, kNoGround);
  Ticks(3);  // one to find the roster empty and rebuild it, then the visits
  EXPECT_EQ(DestroyedIds(), std::vector<std::int64_t>{3});
}

}  // namespace
