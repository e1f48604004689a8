// The zone commands called directly, as the framework calls them: the state table with its exact
// replies, the admin check, the zone name taken from the message, the coordinates in the replies,
// the save on confirm and its failure, and exceptions contained inside the handlers.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/zones/zones.h"
#include "test_support.h"

namespace {

using brimwarden::KillZone;
using brimwarden::PendingZone;
using brimwarden::PendingZones;
using brimwarden::PluginSettings;
using brimwarden::test::ChatTo;
using brimwarden::test::LogTexts;

constexpr const char* kNotAdmin = "Only server admins can define kill zones";
constexpr const char* kNotStarted =
    "You have not started a zone, use /newbox <name> to start a new zone";
constexpr const char* kBothCorners =
    "You have not set both corners, use /setcorner1 and /setcorner2 to set the corners";
constexpr const char* kCreated = "Zone created";
constexpr const char* kNotSaved =
    "Zone created, but it could not be saved to config.json: it stays active until the plugin "
    "reloads its configuration";
constexpr const char* kCancelled = "Zone creation cancelled";

std::string Making(const std::string& name) {
  return "Making zone: " + name +
         " please go to both respective corners and use /setcorner1 and /setcorner2";
}

bool SameBits(const Vector3& a, const Vector3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

enum class Command { kNewBox, kSetCorner1, kSetCorner2, kConfirm, kCancel };
constexpr Command kAllCommands[] = {Command::kNewBox, Command::kSetCorner1, Command::kSetCorner2,
                                    Command::kConfirm, Command::kCancel};

const char* CommandText(Command command) {
  switch (command) {
    case Command::kNewBox:
      return "/newbox";
    case Command::kSetCorner1:
      return "/setcorner1";
    case Command::kSetCorner2:
      return "/setcorner2";
    case Command::kConfirm:
      return "/confirm";
    case Command::kCancel:
      return "/cancel";
  }
  return "";
}

// Positions used by the state table: corner 1 is marked at kHigh, corner 2 at kLow, and the
// command under test runs at kHere.
constexpr Vector3 kUnset{0.0F, 0.0F, 0.0F};
constexpr Vector3 kHigh{100.0F, 200.0F, 300.0F};
constexpr Vector3 kLow{-50.5F, 60.0F, 70.0F};
constexpr Vector3 kHere{1.5F, -2.0F, 3.0F};

enum class State { kNoEntry, kNamed, kCorner1, kCorner2, kBoth };

struct Row {
  State state;
  Command command;
  std::string reply;
  std::optional<PendingZone> entry;  // the entry afterwards; nullopt: none
  bool appended;                     // a zone { "Old", kHigh, kLow } was appended
};

const std::string kHereReply1 = "Corner 1 set to XYZ: 1.5 -2 3";
const std::string kHereReply2 = "Corner 2 set to XYZ: 1.5 -2 3";

const std::vector<Row> kStateTable = {
    {State::kNoEntry, Command::kNewBox, Making("New"), PendingZone{"New", kUnset, kUnset}, false},
    {State::kNoEntry, Command::kSetCorner1, kNotStarted, std::nullopt, false},
    {State::kNoEntry, Command::kSetCorner2, kNotStarted, std::nullopt, false},
    {State::kNoEntry, Command::kConfirm, kNotStarted, std::nullopt, false},
    {State::kNoEntry, Command::kCancel, kNotStarted, std::nullopt, false},

    {State::kNamed, Command::kNewBox, Making("New"), PendingZone{"New", kUnset, kUnset}, false},
    {State::kNamed, Command::kSetCorner1, kHereReply1, PendingZone{"Old", kHere, kUnset}, false},
    {State::kNamed, Command::kSetCorner2, kHereReply2, PendingZone{"Old", kUnset, kHere}, false},
    {State::kNamed, Command::kConfirm, kBothCorners, PendingZone{"Old", kUnset, kUnset}, false},
    {State::kNamed, Command::kCancel, kCancelled, std::nullopt, false},

    {State::kCorner1, Command::kNewBox, Making("New"), PendingZone{"New", kUnset, kUnset}, false},
    {State::kCorner1, Command::kSetCorner1, kHereReply1, PendingZone{"Old", kHere, kUnset}, false},
    {State::kCorner1, Command::kSetCorner2, kHereReply2, PendingZone{"Old", kHigh, kHere}, false},
    {State::kCorner1, Command::kConfirm, kBothCorners, PendingZone{"Old", kHigh, kUnset}, false},
    {State::kCorner1, Command::kCancel, kCancelled, std::nullopt, false},

    {State::kCorner2, Command::kNewBox, Making("New"), PendingZone{"New", kUnset, kUnset}, false},
    {State::kCorner2, Command::kSetCorner1, kHereReply1, PendingZone{"Old", kHere, kLow}, false},
    {State::kCorner2, Command::kSetCorner2, kHereReply2, PendingZone{"Old", kUnset, kHere}, false},
    {State::kCorner2, Command::kConfirm, kBothCorners, PendingZone{"Old", kUnset, kLow}, false},
    {State::kCorner2, Command::kCancel, kCancelled, std::nullopt, false},

    {State::kBoth, Command::kNewBox, Making("New"), PendingZone{"New", kUnset, kUnset}, false},
    {State::kBoth, Command::kSetCorner1, kHereReply1, PendingZone{"Old", kHere, kLow}, false},
    {State::kBoth, Command::kSetCorner2, kHereReply2, PendingZone{"Old", kHigh, kHere}, false},
    // Corner 1 was marked at the higher coordinates: the zone keeps the corners as marked.
    {State::kBoth, Command::kConfirm, kCreated, std::nullopt, true},
    {State::kBoth, Command::kCancel, kCancelled, std::nullopt, false},
};

/// Calls the command's handler as the framework does, with the whole message as the game's string.
void RunCommand(Command command, AShooterPlayerController* player, std::u16string_view text) {
  FString message(text);
  constexpr void (*kHandlers[])(AShooterPlayerController*, FString*, EChatSendMode::Type) = {
      brimwarden::NewBoxCommand, brimwarden::SetCorner1Command, brimwarden::SetCorner2Command,
      brimwarden::ConfirmCommand, brimwarden::CancelCommand};
  kHandlers[static_cast<int>(command)](player, &message, EChatSendMode::GlobalChat);
}

/// Calls the handler named by the message's first word.
void Send(AShooterPlayerController* player, std::u16string_view text) {
  const std::u16string_view word = text.substr(0, text.find(u' '));
  for (const Command command : kAllCommands) {
    const std::string name = CommandText(command);
    if (word == std::u16string(name.begin(), name.end())) return RunCommand(command, player, text);
  }
  FAIL() << "no command for this message";
}

/// Names a zone, marks its corners at `corner1` and `corner2` and confirms it.
void DefineZone(AShooterPlayerController* player, std::u16string_view newbox, Vector3 corner1,
                Vector3 corner2) {
  Send(player, newbox);
  standin::MovePlayer(player, corner1);
  Send(player, u"/setcorner1");
  standin::MovePlayer(player, corner2);
  Send(player, u"/setcorner2");
  Send(player, u"/confirm");
}

class ZonesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A load creates the plugin's logger over the framework's sinks, which the handlers log to.
    server_.WriteConfig(R"({"TestServer": {}})");
    brimwarden::Load();
    brimwarden::Unload();
    ResetAll();
  }
  void TearDown() override { brimwarden::ResetProcessObjects(); }

  /// Empties the world, the events, the pending zones and the zone list; writes a config.json
  /// with this server's section.
  void ResetAll() {
    brimwarden::ResetProcessObjects();
    PluginSettings.DinosPerTick = 20;  // as a load of this section leaves it: the sweep is on
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
    server_.WriteConfig(R"({"TestServer": {}})");
  }

  brimwarden::test::ServerDir server_;
};

TEST_F(ZonesTest, EveryStateAndCommandGivesItsReplyAndNextState) {
  for (const Row& row : kStateTable) {
    SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(row.state) << ", command "
                                    << CommandText(row.command));
    ResetAll();
    auto* admin = standin::AddPlayer("Admin", true);
    if (row.state != State::kNoEntry) Send(admin, u"/newbox Old");
    if (row.state == State::kCorner1 || row.state == State::kBoth) {
      standin::MovePlayer(admin, kHigh);
      Send(admin, u"/setcorner1");
    }
    if (row.state == State::kCorner2 || row.state == State::kBoth) {
      standin::MovePlayer(admin, kLow);
      Send(admin, u"/setcorner2");
    }
    standin::MovePlayer(admin, kHere);
    standin::ClearEvents();

    const std::string text =
        std::string(CommandText(row.command)) + (row.command == Command::kNewBox ? " New" : "");
    Send(admin, std::u16string(text.begin(), text.end()));

    EXPECT_EQ(ChatTo("Admin"), std::vector<std::string>{row.reply});
    const auto found = PendingZones.find(admin);
    ASSERT_EQ(found != PendingZones.end(), row.entry.has_value());
    if (row.entry) {
      EXPECT_EQ(found->second.Name, row.entry->Name);
      EXPECT_TRUE(SameBits(found->second.Corner1, row.entry->Corner1));
      EXPECT_TRUE(SameBits(found->second.Corner2, row.entry->Corner2));
    }
    ASSERT_EQ(PluginSettings.KillZones.size(), row.appended ? 1U : 0U);
    if (row.appended) {
      const KillZone& zone = PluginSettings.KillZones[0];
      EXPECT_EQ(zone.Name, "Old");
      EXPECT_TRUE(SameBits(zone.Corner1, kHigh));
      EXPECT_TRUE(SameBits(zone.Corner2, kLow));
    }
  }
}

TEST_F(ZonesTest, PlayerWhoIsNotAnAdminIsRefusedAndNothingChanges) {
  auto* player = standin::AddPlayer("Guest", false);
  standin::MovePlayer(player, kHere);
  const std::string file_before = server_.ReadConfig();
  for (const bool with_entry : {false, true}) {
    // An entry the player could have no other way; it must not move either.
    if (with_entry) PendingZones[player] = PendingZone{"Old", kHigh, kLow};
    for (const Command command : kAllCommands) {
      SCOPED_TRACE(CommandText(command));
      standin::ClearEvents();
      RunCommand(command, player, u"/newbox Mine");
      EXPECT_EQ(ChatTo("Guest"), std::vector<std::string>{kNotAdmin});
      EXPECT_EQ(PendingZones.size(), with_entry ? 1U : 0U);
      if (with_entry) {
        EXPECT_EQ(PendingZones[player].Name, "Old");
        EXPECT_TRUE(SameBits(PendingZones[player].Corner1, kHigh));
        EXPECT_TRUE(SameBits(PendingZones[player].Corner2, kLow));
      }
      EXPECT_TRUE(PluginSettings.KillZones.empty());
    }
  }
  EXPECT_EQ(server_.ReadConfig(), file_before);
}

TEST_F(ZonesTest, NullControllerIsIgnored) {
  for (const Command command : kAllCommands) {
    RunCommand(command, nullptr, u"/newbox Ghost");
  }
  EXPECT_TRUE(standin::Events().empty());
  EXPECT_TRUE(PendingZones.empty());
  EXPECT_TRUE(PluginSettings.KillZones.empty());
  EXPECT_TRUE(SameBits(brimwarden::ReadPlayerPosition(nullptr), kUnset));
}

TEST_F(ZonesTest, NameIsEverythingAfterTheFirstEightCharacters) {
  struct Case {
    std::u16string message;
    std::string stored;  // UTF-8
    std::string shown;   // as the reply shows it
  };
  const std::vector<Case> cases = {
      {u"/newbox", "", ""},
      {u"/newbox ", "", ""},
      {u"/newbox North Gate", "North Gate", "North Gate"},
      {u"/newbox  Gate", " Gate", " Gate"},
      {u"/newbox Gate  ", "Gate  ", "Gate  "},
      {u"/NEWBOX_Lake", "Lake", "Lake"},  // the first eight characters are not compared
      {u"/newbox {} {0} {:x} %s %d %%", "{} {0} {:x} %s %d %%", "{} {0} {:x} %s %d %%"},
      {u"/newbox Zo\u00EB Nord", "Zo\xC3\xAB Nord", "Zo?? Nord"},
      {u"/newbox \u5317\u95E8", "\xE5\x8C\x97\xE9\x97\xA8", "??????"},
      {u"/newbox \U0001F996", "\xF0\x9F\xA6\x96", "????"},
      // A lone surrogate from the game's string becomes U+FFFD, so the name stays valid UTF-8.
      {std::u16string(u"/newbox a") + char16_t(0xD800) + u"b",
       "a\xEF\xBF\xBD"
       "b",
       "a???b"},
      {std::u16string(u"/newbox ") + char16_t(0xDC00), "\xEF\xBF\xBD", "???"},
      // The eighth character is the first half of a pair: the name starts with the lone half.
      {u"/newbox\U0001F996x", "\xEF\xBF\xBDx", "???x"},
  };
  auto* admin = standin::AddPlayer("Admin", true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    standin::ClearEvents();
    RunCommand(Command::kNewBox, admin, c.message);
    EXPECT_EQ(ChatTo("Admin"), std::vector<std::string>{Making(c.shown)});
    ASSERT_EQ(PendingZones.count(admin), 1U);
    EXPECT_EQ(PendingZones[admin].Name, c.stored);
  }
  // The game never passes a null message, but if it did the name would be empty.
  standin::ClearEvents();
  brimwarden::NewBoxCommand(admin, nullptr, EChatSendMode::GlobalChat);
  EXPECT_EQ(ChatTo("Admin"), std::vector<std::string>{Making("")});
  EXPECT_EQ(PendingZones[admin].Name, "");
}

TEST_F(ZonesTest, CoordinatesPrintAsPercentGAndCornersKeepTheirFloat) {
  const float values[] = {123456.7F,   0.0001F,       0.00001F,
                          -0.0F,       999999.5F,     12345.678F,
                          1234567.0F,  -250.0F,       0.0F,
                          100000.0F,   999999.0F,     1000000.0F,
                          -0.5F,       0.1F,          1e-4F,
                          9.99999e-5F, 3.4028235e38F, 1.17549435e-38F,
                          1.4e-45F,    -123.456F,     std::numeric_limits<float>::infinity()};
  auto* admin = standin::AddPlayer("Admin", true);
  Send(admin, u"/newbox Grid");
  for (const float value : values) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%g", static_cast<double>(value));
    SCOPED_TRACE(expected);
    const Vector3 position{value, 1.0F, -1.0F};
    standin::MovePlayer(admin, position);
    standin::ClearEvents();
    Send(admin, u"/setcorner1");
    EXPECT_EQ(ChatTo("Admin"),
              std::vector<std::string>{std::string("Corner 1 set to XYZ: ") + expected + " 1 -1"});
    EXPECT_TRUE(SameBits(PendingZones[admin].Corner1, position));

    // The same value in the Z place of corner 2.
    const Vector3 other{2.0F, -3.0F, value};
    standin::MovePlayer(admin, other);
    standin::ClearEvents();
    Send(admin, u"/setcorner2");
    EXPECT_EQ(ChatTo("Admin"),
              std::vector<std::string>{std::string("Corner 2 set to XYZ: 2 -3 ") + expected});
    EXPECT_TRUE(SameBits(PendingZones[admin].Corner2, other));
  }
}

// The reply's strings are handed to the game with the message, which frees them: the plugin
// neither keeps them (a leak) nor frees them again (a double free, reported as a foreign free).
TEST_F(ZonesTest, ReplyIsOneMessageFromThePluginAndHandsItsStringsToTheGame) {
  auto* admin = standin::AddPlayer("Admin", true);
  FString message(u"/newbox Gate");
  const auto before = standin::GetAllocatorStats();
  brimwarden::NewBoxCommand(admin, &message, EChatSendMode::LocalChat);
  const auto after = standin::GetAllocatorStats();
  EXPECT_EQ(after.live_blocks, before.live_blocks);
  EXPECT_EQ(after.foreign_frees, before.foreign_frees);
  EXPECT_GE(after.mallocs - before.mallocs, 2);  // the sender's name and the text

  std::vector<standin::Event> chats;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kChat) chats.push_back(event);
  }
  ASSERT_EQ(chats.size(), 1U);
  EXPECT_EQ(chats[0].to, "Admin");
  EXPECT_EQ(chats[0].from, "shBrimwarden");
  EXPECT_EQ(chats[0].received_time, -1.0);
  EXPECT_EQ(chats[0].text, Making("Gate"));
}

TEST_F(ZonesTest, CornerAtTheOriginStaysUnset) {
  auto* admin = standin::AddPlayer("Admin", true);
  Send(admin, u"/newbox Origin");
  standin::MovePlayer(admin, kUnset);
  Send(admin, u"/setcorner1");
  standin::MovePlayer(admin, kLow);
  Send(admin, u"/setcorner2");
  Send(admin, u"/confirm");
  // Negative zeros compare equal to zero: still unset.
  standin::MovePlayer(admin, Vector3{-0.0F, -0.0F, -0.0F});
  Send(admin, u"/setcorner1");
  Send(admin, u"/confirm");
  EXPECT_EQ(ChatTo("Admin"),
            (std::vector<std::string>{Making("Origin"), "Corner 1 set to XYZ: 0 0 0",
                                      "Corner 2 set to XYZ: -50.5 60 70", kBothCorners,
                                      "Corner 1 set to XYZ: -0 -0 -0", kBothCorners}));
  EXPECT_TRUE(PluginSettings.KillZones.empty());
  EXPECT_EQ(PendingZones.count(admin), 1U);
}

TEST_F(ZonesTest, OneCornerThenBothThenConfirmTwice) {
  auto* admin = standin::AddPlayer("Admin", true);
  Send(admin, u"/newbox Pass");
  standin::MovePlayer(admin, kHigh);
  Send(admin, u"/setcorner1");
  Send(admin, u"/confirm");
  standin::MovePlayer(admin, kLow);
  Send(admin, u"/setcorner2");
  Send(admin, u"/confirm");
  Send(admin, u"/confirm");
  Send(admin, u"/cancel");
  EXPECT_EQ(ChatTo("Admin"),
            (std::vector<std::string>{Making("Pass"), "Corner 1 set to XYZ: 100 200 300",
                                      kBothCorners, "Corner 2 set to XYZ: -50.5 60 70", kCreated,
                                      kNotStarted, kNotStarted}));
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
  EXPECT_TRUE(PendingZones.empty());
}

TEST_F(ZonesTest, TwoPlayersKeepSeparateEntries) {
  auto* alice = standin::AddPlayer("Alice", true);
  auto* bob = standin::AddPlayer("Bob", true);
  Send(alice, u"/newbox North");
  Send(bob, u"/newbox South");
  standin::MovePlayer(alice, kHigh);
  standin::MovePlayer(bob, kHere);
  Send(alice, u"/setcorner1");
  Send(bob, u"/setcorner1");
  Send(bob, u"/cancel");
  standin::MovePlayer(alice, kLow);
  Send(alice, u"/setcorner2");
  Send(alice, u"/confirm");
  Send(bob, u"/confirm");

  EXPECT_EQ(ChatTo("Alice"),
            (std::vector<std::string>{Making("North"), "Corner 1 set to XYZ: 100 200 300",
                                      "Corner 2 set to XYZ: -50.5 60 70", kCreated}));
  EXPECT_EQ(ChatTo("Bob"),
            (std::vector<std::string>{Making("South"), "Corner 1 set to XYZ: 1.5 -2 3", kCancelled,
                                      kNotStarted}));
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
  EXPECT_EQ(PluginSettings.KillZones[0].Name, "North");
  EXPECT_TRUE(SameBits(PluginSettings.KillZones[0].Corner1, kHigh));
  EXPECT_TRUE(SameBits(PluginSettings.KillZones[0].Corner2, kLow));
  EXPECT_TRUE(PendingZones.empty());
}

// The file holds one zone per name, so memory does too: the earlier zones of the name leave the
// list (wherever they stand in it) and the new one goes to its end.
TEST_F(ZonesTest, RepeatedNameReplacesEveryEarlierZoneOfThatName) {
  auto* admin = standin::AddPlayer("Admin", true);
  DefineZone(admin, u"/newbox spawn", kHigh, kLow);
  EXPECT_EQ(ChatTo("Admin").back(), kCreated);
  DefineZone(admin, u"/newbox spawn", kHere, kLow);
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
  EXPECT_TRUE(SameBits(PluginSettings.KillZones[0].Corner1, kHere));
  std::vector<std::string> chat = ChatTo("Admin");
  EXPECT_EQ(std::vector<std::string>(chat.end() - 2, chat.end()),
            (std::vector<std::string>{
                kCreated, "It replaced the earlier zone spawn: 100 200 300 to -50.5 60 70"}));

  // The notice follows whichever reply the save gave, and shows the name's characters as typed.
  standin::ClearEvents();
  PluginSettings.KillZones = {{"L\u00e4va\n", kLow, kHigh}};
  std::filesystem::remove(server_.ConfigPath());
  DefineZone(admin, u"/newbox L\u00e4va\n", kHigh, kLow);
  chat = ChatTo("Admin");
  EXPECT_EQ(chat.back(),
            "It replaced the earlier zone L\u00e4va\\u000a: -50.5 60 70 to 100 200 300");
  EXPECT_EQ(chat[chat.size() - 2], kNotSaved);
  server_.WriteConfig(R"({"TestServer": {}})");

  // Duplicates that only memory could hold, around another zone whose place is kept.
  PluginSettings.KillZones = {{"spawn", kHigh, kLow},
                              {"Spawn", kLow, kHigh},
                              {"spawn", kLow, kHere},
                              {"spawn ", kHere, kHigh}};
  DefineZone(admin, u"/newbox spawn", kLow, kHigh);
  std::vector<std::string> names;
  for (const KillZone& zone : PluginSettings.KillZones) names.push_back(zone.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Spawn", "spawn ", "spawn"}));
  EXPECT_TRUE(SameBits(PluginSettings.KillZones[2].Corner1, kLow));

  // Removal takes every zone of the name, and only those.
  PluginSettings.KillZones.push_back({"spawn", kHere, kHere});
  EXPECT_EQ(brimwarden::RemoveKillZonesNamed("spawn"), 2U);
  EXPECT_EQ(brimwarden::RemoveKillZonesNamed("spawn"), 0U);
  ASSERT_EQ(PluginSettings.KillZones.size(), 2U);
  EXPECT_EQ(PluginSettings.KillZones[0].Name, "Spawn");
  EXPECT_EQ(PluginSettings.KillZones[1].Name, "spawn ");
}

TEST_F(ZonesTest, ConfirmSavesTheZoneIntoThisServersSection) {
  server_.WriteConfig(R"({"Other": {"Kill Zones": {"x": {}}}, "TestServer": {"DinosPerTick": 7}})");
  auto* admin = standin::AddPlayer("Admin", true);
  const std::u16string name = std::u16string(u"/newbox Gate ") + char16_t(0xD800) + u" {}";
  DefineZone(admin, name, Vector3{1200.0F, 0.1F, 123456.78F}, kLow);
  EXPECT_EQ(ChatTo("Admin").back(), kCreated);

  const auto file = nlohmann::json::parse(server_.ReadConfig());
  const auto& zones = file.at("TestServer").at("Kill Zones");
  ASSERT_EQ(zones.size(), 1U);
  const auto& zone = zones.at("Gate \xEF\xBF\xBD {}");
  EXPECT_EQ(zone.at("Corner1"),
            nlohmann::json::array({1200.0, static_cast<double>(0.1F), 123456.78125}));
  EXPECT_EQ(zone.at("Corner2"), nlohmann::json::array({-50.5, 60.0, 70.0}));
  EXPECT_EQ(file.at("TestServer").at("DinosPerTick"), 7);
  EXPECT_EQ(file.at("Other"), nlohmann::json::parse(R"({"Kill Zones": {"x": {}}})"));
}

TEST_F(ZonesTest, FailedSaveIsReportedAndTheZoneStaysActive) {
  std::filesystem::remove(server_.ConfigPath());
  auto* admin = standin::AddPlayer("Admin", true);
  DefineZone(admin, u"/newbox Unsaved", kHigh, kLow);
  EXPECT_EQ(ChatTo("Admin").back(), kNotSaved);
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
  EXPECT_EQ(PluginSettings.KillZones[0].Name, "Unsaved");
  EXPECT_TRUE(PendingZones.empty());
  EXPECT_FALSE(std::filesystem::exists(server_.ConfigPath()));
  EXPECT_FALSE(LogTexts(spdlog::level::err).empty());
}

TEST_F(ZonesTest, ExceptionInAHandlerIsContainedAndEarlierChangesStay) {
  constexpr const char* kChat = "AShooterPlayerController.ClientChatMessage";
  auto* admin = standin::AddPlayer("Admin", true);
  FString cancel(u"/cancel");
  const auto before = standin::GetAllocatorStats();

  // "/newbox" replies before it changes the table: a failed reply leaves no entry.
  standin::ThrowFromGameFunction(kChat);
  Send(admin, u"/newbox Lost");
  EXPECT_TRUE(PendingZones.empty());
  EXPECT_EQ(LogTexts(spdlog::level::err),
            std::vector<std::string>{std::string("NewBoxCommand: injected: ") + kChat});

  // A corner is stored before the reply.
  Send(admin, u"/newbox Kept");
  standin::MovePlayer(admin, kHigh);
  standin::ThrowFromGameFunction(kChat);
  Send(admin, u"/setcorner1");
  EXPECT_TRUE(SameBits(PendingZones[admin].Corner1, kHigh));

  // The zone is appended, the entry removed and the file written before the reply.
  standin::MovePlayer(admin, kLow);
  Send(admin, u"/setcorner2");
  standin::ThrowFromGameFunction(kChat);
  Send(admin, u"/confirm");
  EXPECT_TRUE(PendingZones.empty());
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
  EXPECT_TRUE(nlohmann::json::parse(server_.ReadConfig())
                  .at("TestServer")
                  .at("Kill Zones")
                  .contains("Kept"));

  // Out of game memory while building the reply's strings: also contained.
  standin::ThrowFromGameFunction("FMemory.Malloc");
  brimwarden::CancelCommand(admin, &cancel, EChatSendMode::GlobalChat);
  EXPECT_EQ(LogTexts(spdlog::level::err).size(), 4U);
  EXPECT_EQ(LogTexts(spdlog::level::err).back(), "CancelCommand: injected: FMemory.Malloc");
  // A reply whose delivery failed was freed by the game all the same, and nothing twice.
  const auto after = standin::GetAllocatorStats();
  EXPECT_EQ(after.live_blocks, before.live_blocks);
  EXPECT_EQ(after.foreign_frees, before.foreign_frees);
}

}  // namespace
