// The stand-in's framework side: the command interface and its dispatch, the ordered events, the
// server directory, the log sinks, name resolution and fault injection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <spdlog/logger.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "brimwarden/host/framework_api.h"
#include "brimwarden/host/game_types.h"
#include "brimwarden/host/rcon.h"
#include "brimwarden/standin/standin.h"
#include "test_support.h"

namespace {

using ::testing::ElementsAre;

class StandinFramework : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
  }
};

struct Registration {
  standin::EventKind kind;
  std::string registration;
  std::string name;
  bool operator==(const Registration&) const = default;
};

std::vector<Registration> RegistrationEvents() {
  std::vector<Registration> seen;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kRegister || event.kind == standin::EventKind::kRemove) {
      seen.push_back({event.kind, event.registration, event.name});
    }
  }
  return seen;
}

TEST_F(StandinFramework, ChatCommandsAreDispatchedByTheirFirstWordWithoutRegardToCase) {
  AShooterPlayerController* const alice = standin::AddPlayer("Alice", false);
  std::vector<std::u16string> received;
  ArkApi::GetCommands().RegisterChatCommand(
      FString("/NewBox"),
      [&](AShooterPlayerController* player, FString* message, EChatSendMode::Type mode) {
        EXPECT_EQ(player, alice);
        EXPECT_EQ(mode, EChatSendMode::LocalChat);
        EXPECT_EQ(message->Array().Num(), message->Len() + 1);  // the count holds the terminator
        received.emplace_back(message->View());
      });

  const struct {
    std::u16string message;
    bool taken;
  } cases[] = {
      {u"/newbox North Gate", true},
      {u"/NEWBOX", true},
      {u"/nEwBoX\tTabbed", true},
      {u"/newboxes", false},
      {u"/newbo", false},
      {u" /newbox", false},
      {u"", false},
      {u"newbox x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(standin::SendChat(alice, c.message, EChatSendMode::LocalChat), c.taken)
        << std::string(c.message.begin(), c.message.end());
  }
  EXPECT_THAT(received, ElementsAre(u"/newbox North Gate", u"/NEWBOX", u"/nEwBoX\tTabbed"));
  EXPECT_TRUE(ArkApi::GetCommands().RemoveChatCommand(FString("/NewBox")));
  EXPECT_FALSE(standin::SendChat(alice, u"/newbox x"));
}

TEST_F(StandinFramework, RegistrationsAndRemovalsAreRecordedInOrderAndUnknownNamesAnswerFalse) {
  ArkApi::ICommands& commands = ArkApi::GetCommands();
  commands.RegisterTickCallback(FString("Sweep"), [](float) {});
  commands.RegisterRconCommand(FString("Game.reload"),
                               [](RCONClientConnection*, RCONPacket*, UWorld*) {});
  commands.RegisterChatCommand(FString(std::u16string_view(u"/z\u00e9ro")),
                               [](AShooterPlayerController*, FString*, EChatSendMode::Type) {});
  EXPECT_THAT(standin::RegisteredNames("tick"), ElementsAre("Sweep"));
  EXPECT_THAT(standin::RegisteredNames("chat"), ElementsAre("/z\xC3\xA9ro"));

  EXPECT_FALSE(commands.RemoveTickCallback(FString("sweep")));  // ids are exact
  EXPECT_TRUE(commands.RemoveTickCallback(FString("Sweep")));
  EXPECT_FALSE(commands.RemoveTickCallback(FString("Sweep")));
  EXPECT_TRUE(commands.RemoveRconCommand(FString("Game.reload")));
  EXPECT_TRUE(commands.RemoveChatCommand(FString(std::u16string_view(u"/z\u00e9ro"))));

  using K = standin::EventKind;
  EXPECT_THAT(RegistrationEvents(), ElementsAre(Registration{K::kRegister, "tick", "Sweep"},
                                                Registration{K::kRegister, "rcon", "Game.reload"},
                                                Registration{K::kRegister, "chat", "/z\xC3\xA9ro"},
                                                Registration{K::kRemove, "tick", "sweep"},
                                                Registration{K::kRemove, "tick", "Sweep"},
                                                Registration{K::kRemove, "tick", "Sweep"},
                                                Registration{K::kRemove, "rcon", "Game.reload"},
                                                Registration{K::kRemove, "chat", "/z\xC3\xA9ro"}));
  EXPECT_TRUE(standin::RegisteredNames("tick").empty());
  EXPECT_TRUE(standin::RegisteredNames("chat").empty());
}

TEST_F(StandinFramework, TickRunsCallbacksOncePerTickInRegistrationOrderAfterCounting) {
  ArkApi::ICommands& commands = ArkApi::GetCommands();
  std::vector<std::string> calls;
  commands.RegisterTickCallback(FString("first"), [&](float delta) {
    calls.push_back("first " + std::to_string(standin::TickCount()) + " " + std::to_string(delta));
  });
  {
    // The framework keeps its own copy: the callable and name passed may go away at once.
    const FString name("second");
    ArkApi::TickCallback callback = [&](float) {
      calls.push_back("second " + std::to_string(standin::TickCount()));
    };
    commands.RegisterTickCallback(name, callback);
  }
  standin::Tick(0.5F);
  standin::Tick(0.25F);
  EXPECT_TRUE(commands.RemoveTickCallback(FString("first")));
  standin::Tick();
  EXPECT_TRUE(commands.RemoveTickCallback(FString("second")));
  standin::Tick();
  EXPECT_THAT(calls, ElementsAre("first 1 0.500000", "second 1", "first 2 0.250000", "second 2",
                                 "second 3"));
  EXPECT_EQ(standin::TickCount(), 4);
}

TEST_F(StandinFramework, RconCommandsGetTheRequestAndTheirRepliesAreRecorded) {
  const NativeFunction<void(RCONClientConnection*, std::int32_t, std::int32_t, FString*)> send{
      "RCONClientConnection.SendMessageW"};
  std::vector<std::string> bodies;
  ArkApi::GetCommands().RegisterRconCommand(
      FString("Game.reload"),
      [&](RCONClientConnection* connection, RCONPacket* packet, UWorld* world) {
        EXPECT_EQ(world, ArkApi::GetApiUtils().CurrentWorld());
        std::int32_t id = 0;  // the request id is the packet's second 32-bit field
        std::memcpy(&id, reinterpret_cast<const char*>(packet) + 4, sizeof id);
        FString reply(std::string_view("Reloaded " + std::to_string(id)));
        send(connection, id, 0, &reply);
      });
  EXPECT_TRUE(standin::SendRcon("Game.reload now", 41));
  EXPECT_FALSE(standin::SendRcon("game.reload", 42));  // RCON names are exact
  EXPECT_FALSE(standin::SendRcon("Game.reloaded", 43));
  EXPECT_TRUE(standin::SendRcon("Game.reload", -7));
  EXPECT_TRUE(ArkApi::GetCommands().RemoveRconCommand(FString("Game.reload")));

  std::vector<std::pair<std::int32_t, std::string>> replies;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kRcon) replies.emplace_back(event.id, event.text);
  }
  EXPECT_THAT(replies, ElementsAre(std::pair<std::int32_t, std::string>{41, "Reloaded 41"},
                                   std::pair<std::int32_t, std::string>{-7, "Reloaded -7"}));
}

// The stand-in converts text as it goes between the client's UTF-8 and the game's UTF-16: a
// malformed sequence in a request becomes one U+FFFD for its lead byte and the continuation bytes
// that lead byte announces; a lone surrogate in a reply becomes U+FFFD.
TEST_F(StandinFramework, RconTextReplacesEachMalformedSequenceOnce) {
  const NativeFunction<void(RCONClientConnection*, std::int32_t, std::int32_t, FString*)> send{
      "RCONClientConnection.SendMessageW"};
  std::u16string received;
  ArkApi::GetCommands().RegisterRconCommand(
      FString("T"), [&](RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
        received = brimwarden::host::RconCommandText(packet);
        FString reply(std::u16string_view(u"\xD800 ok"));
        send(connection, 1, 0, &reply);
      });
  struct Case {
    std::string request;
    std::u16string received;
  };
  const Case cases[] = {
      {"T \xE2\x82X", u"T \uFFFDX"},              // cut short before another character
      {"T \xF0\x9F", u"T \uFFFD"},                // cut short at the end
      {"T \xC0\x80\x80", u"T \uFFFD\uFFFD"},      // overlong, then a stray continuation
      {"T \xED\xA0\x80\x80", u"T \uFFFD\uFFFD"},  // an encoded surrogate, then a stray continuation
      {"T \xF8\xE2\x82\xAC", u"T \uFFFD\u20AC"},  // a byte that starts nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_TRUE(standin::SendRcon(c.request, 1));
    EXPECT_EQ(received, c.received);
  }
  EXPECT_TRUE(ArkApi::GetCommands().RemoveRconCommand(FString("T")));
  std::vector<std::string> replies;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kRcon) replies.push_back(event.text);
  }
  EXPECT_EQ(replies, std::vector<std::string>(std::size(cases), "\xEF\xBF\xBD ok"));
}

// The game takes the message by value and destroys it: it frees the strings through
// "FMemory.Free" once it has recorded the message, and also when the call ends in an exception.
TEST_F(StandinFramework, ChatMessagesAreRecordedAndTheirStringsFreedByTheGame) {
  AShooterPlayerController* const bob = standin::AddPlayer("Bob", true);
  const NativeFunction<void(AShooterPlayerController*, ChatMessage)> deliver{
      "AShooterPlayerController.ClientChatMessage"};
  for (const bool injected_throw : {false, true}) {
    SCOPED_TRACE(injected_throw);
    standin::ClearEvents();
    FString sender("shBrimwarden");
    FString text(std::u16string_view(u"Zone \u00e9 created"));
    const standin::AllocatorStats before = standin::GetAllocatorStats();
    ChatMessage message;
    message.SenderName = HandOverToChatField(sender);
    message.Message = HandOverToChatField(text);
    message.ReceivedTime = -1.0;
    if (injected_throw) {
      standin::ThrowFromGameFunction("AShooterPlayerController.ClientChatMessage");
      EXPECT_THROW(deliver(bob, message), std::runtime_error);
    } else {
      deliver(bob, message);
    }
    const standin::AllocatorStats after = standin::GetAllocatorStats();
    EXPECT_FALSE(standin::IsLiveBlock(message.SenderName.Data));
    EXPECT_FALSE(standin::IsLiveBlock(message.Message.Data));
    EXPECT_EQ(after.live_blocks, before.live_blocks - 2);
    EXPECT_EQ(after.frees, before.frees + 2);
    EXPECT_EQ(after.foreign_frees, before.foreign_frees);
    EXPECT_EQ(sender.Array().Data(), nullptr);  // handed over: nothing left to free here
    if (injected_throw) {
      EXPECT_TRUE(standin::Events().empty());
      continue;
    }
    const std::vector<standin::Event> events = standin::Events();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].kind, standin::EventKind::kChat);
    EXPECT_EQ(events[0].to, "Bob");
    EXPECT_EQ(events[0].from, "shBrimwarden");
    EXPECT_EQ(events[0].text, "Zone \xC3\xA9 created");
    EXPECT_EQ(events[0].received_time, -1.0);
    EXPECT_THAT(brimwarden::test::ChatTo("Bob"), ElementsAre("Zone \xC3\xA9 created"));
  }
}

TEST_F(StandinFramework, EventsReachTheListenerInTheOrderTheyHappen) {
  std::vector<standin::EventKind> heard;
  standin::SetEventListener([&](const standin::Event& event) {
    heard.push_back(event.kind);
    EXPECT_EQ(standin::Events().back().kind, event.kind);  // recorded before the listener runs
  });
  AActor* creature = standin::SpawnCreature(7, 0, {});
  ArkApi::GetCommands().RegisterTickCallback(FString("t"), [](float) {});
  NativeFunction<bool(AActor*, bool, bool)>{"AActor.Destroy"}(creature, true, true);
  ArkApi::GetCommands().RemoveTickCallback(FString("t"));
  standin::SetEventListener(nullptr);
  standin::DestroyByGame(7);  // already destroyed: nothing happens, nothing is heard

  using K = standin::EventKind;
  EXPECT_THAT(heard, ElementsAre(K::kRegister, K::kDestroy, K::kRemove));
  EXPECT_EQ(standin::Events().size(), 3U);
}

TEST_F(StandinFramework, TheRecordingSinkKeepsEachLineAndTheFileSinkFollowsTheServerDir) {
  const brimwarden::test::ServerDir dir;
  EXPECT_EQ(ArkApi::Tools::GetCurrentDir(), dir.Path().generic_string());
  std::vector<spdlog::sink_ptr>& sinks = GetLogSinks();
  ASSERT_EQ(&sinks, &GetLogSinks());  // one shared list
  spdlog::logger logger("Tester", sinks.begin(), sinks.end());
  logger.set_pattern("%D %R [%n][%l] %v", spdlog::pattern_time_type::local);
  logger.flush_on(spdlog::level::info);
  const int flushes = standin::FlushCount();
  logger.debug("not shown");  // below the logger's default threshold
  logger.warn("Setting {} replaced", "DinosPerTick");
  logger.error("Prevented crash");

  const std::vector<standin::LogRecord> records = standin::LogRecords();
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(records[0].level, spdlog::level::warn);
  EXPECT_EQ(records[0].logger, "Tester");
  EXPECT_EQ(records[0].text, "Setting DinosPerTick replaced");
  EXPECT_TRUE(std::regex_match(
      records[0].formatted,
      std::regex(
          R"(\d\d/\d\d/\d\d \d\d:\d\d \[Tester\]\[warning\] Setting DinosPerTick replaced)")))
      << records[0].formatted;
  EXPECT_EQ(records[1].level, spdlog::level::err);
  EXPECT_EQ(standin::FlushCount(), flushes + 2);

  std::vector<std::pair<std::string, std::string>> logged;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kLog) logged.emplace_back(event.level, event.text);
  }
  EXPECT_THAT(
      logged,
      ElementsAre(std::pair<std::string, std::string>{"warning", "Setting DinosPerTick replaced"},
                  std::pair<std::string, std::string>{"error", "Prevented crash"}));

  std::ifstream file(dir.Path() / "ArkApi" / "Logs" / "server.log", std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  EXPECT_EQ(written, records[0].formatted + "\n" + records[1].formatted + "\n");
  standin::ClearLogRecords();
  EXPECT_TRUE(standin::LogRecords().empty());

  standin::SetServerDir("");  // back to the default
  EXPECT_EQ(ArkApi::Tools::GetCurrentDir(), std::filesystem::current_path().string());
  standin::SetServerDir(dir.Path().generic_string() + "/");
  EXPECT_EQ(standin::ServerDir(), dir.Path().generic_string());  // without a trailing separator
}

TEST_F(StandinFramework, TheSinksKeepWorkingAfterThePluginThatSetTheirFormatterIsUnloaded) {
  const brimwarden::test::ServerDir dir;
  {
    const brimwarden::test::PluginLibrary plugin;  // its logger hands the sinks its formatters
  }
  std::vector<spdlog::sink_ptr>& sinks = GetLogSinks();
  spdlog::logger probe("Probe", sinks.begin(), sinks.end());  // sets no pattern of its own
  probe.warn("after the unload");
  ASSERT_FALSE(standin::LogRecords().empty());
  const standin::LogRecord last = standin::LogRecords().back();
  EXPECT_EQ(last.text, "after the unload");
  EXPECT_THAT(last.formatted, ::testing::EndsWith("after the unload"));
}

TEST_F(StandinFramework, InjectedExceptionsComeFromTheNamedGameFunctionOnly) {
  AActor* creature = standin::SpawnCreature(1, 0, {});
  const NativeFunction<UClass*()> creature_class{"APrimalDinoCharacter.GetPrivateStaticClass"};
  const NativeFunction<bool(UObject*, UClass*)> is_a{"UObjectBaseUtility.IsA"};
  auto* object = reinterpret_cast<UObject*>(creature);
  standin::ThrowFromGameFunction("UObjectBaseUtility.IsA", 2);
  UClass* cls = creature_class();  // other functions are not affected
  for (int call = 0; call < 2; ++call) {
    try {
      is_a(object, cls);
      ADD_FAILURE() << "no exception from call " << call;
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "injected: UObjectBaseUtility.IsA");
    }
  }
  EXPECT_TRUE(is_a(object, cls));
}

#if !defined(_WIN32)
TEST(StandinDeathTest, AnUnknownGameNameAbortsWithItsName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetAddress(std::string("AActor.Teleport")),
               "stand-in: unknown game name 'AActor.Teleport'");
  int object = 0;
  EXPECT_DEATH(GetAddress(&object, std::string("AActor.Health")),
               "stand-in: unknown game name 'AActor.Health'");
  EXPECT_DEATH(standin::FaultInGameFunction("FMemory.Nothing"),
               "unknown game name 'FMemory.Nothing'");
}

TEST(StandinDeathTest, AnInjectedFaultIsARealAccessViolationInsideTheGameFunction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  standin::ResetWorld();
  AActor* creature = standin::SpawnCreature(1, 0, {});
  EXPECT_EXIT(
      {
        standin::FaultInGameFunction("AActor.Destroy");
        NativeFunction<bool(AActor*, bool, bool)>{"AActor.Destroy"}(creature, true, true);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}
#endif

}  // namespace
