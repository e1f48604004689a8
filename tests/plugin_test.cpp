// The plugin shell: entry reasons, the registration and removal order, the logger's lines, and the
// library's teardown giving back everything it took from the game allocator.
#include <chrono>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#endif

#include <gtest/gtest.h>

#include "brimwarden/config/config.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"
#include "test_support.h"

namespace {

using brimwarden::test::PluginLibrary;
using brimwarden::test::ServerDir;

using Registration = std::pair<std::string, std::string>;  // kind, name

// The seven of the shell in their fixed order, the zone management commands, then "BWD.status",
// "BWD.resume" and "BWD.recent" last.
const std::vector<Registration> kTable = {
    {"tick", "CastRayBWD"},
    {"rcon", "BWD.reload"},
    {"chat", "/newbox"},
    {"chat", "/setcorner1"},
    {"chat", "/setcorner2"},
    {"chat", "/confirm"},
    {"chat", "/cancel"},
    // The zone management commands come after the seven, chat first, then RCON.
    {"chat", "/zones"},
    {"chat", "/zoneinfo"},
    {"chat", "/removezone"},
    {"rcon", "BWD.zones"},
    {"rcon", "BWD.zoneinfo"},
    {"rcon", "BWD.removezone"},
    {"rcon", "BWD.status"},
    {"rcon", "BWD.resume"},
    {"rcon", "BWD.recent"},
};

std::vector<Registration> Calls(standin::EventKind kind) {
  std::vector<Registration> calls;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == kind) calls.emplace_back(event.registration, event.name);
  }
  return calls;
}

class PluginShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
    server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 5}})");
  }
  ServerDir server_;
};

TEST_F(PluginShellTest, LoadRegistersAndUnloadRemovesInTableOrder) {
  const auto before = standin::GetAllocatorStats();
  brimwarden::Load();
  EXPECT_EQ(Calls(standin::EventKind::kRegister), kTable);
  for (const char* kind : {"tick", "rcon", "chat"}) {
    std::vector<std::string> expected;
    for (const auto& [k, name] : kTable) {
      if (k == kind) expected.push_back(name);
    }
    EXPECT_EQ(standin::RegisteredNames(kind), expected) << kind;
  }
  // Every name was made from the game allocator and given back right after its call.
  EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks);
  EXPECT_GE(standin::GetAllocatorStats().mallocs - before.mallocs, 13);

  brimwarden::Unload();
  EXPECT_EQ(Calls(standin::EventKind::kRemove), kTable);
  for (const char* kind : {"tick", "rcon", "chat"}) {
    EXPECT_TRUE(standin::RegisteredNames(kind).empty()) << kind;
  }
  EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks);
  EXPECT_EQ(standin::GetAllocatorStats().foreign_frees, before.foreign_frees);
  brimwarden::ResetProcessObjects();
}

TEST_F(PluginShellTest, LogLinesCarryDateTimeNameAndLevelAndAreFlushedAtOnce) {
  server_.WriteConfig(R"({"TestServer": {}})");
  brimwarden::Load();
  brimwarden::Unload();
  brimwarden::ResetProcessObjects();

  const std::time_t now = std::time(nullptr);
  std::vector<std::string> stamps;
  for (const std::time_t t : {now - 60, now, now + 60}) {
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%m/%d/%y %H:%M", std::localtime(&t));
    stamps.emplace_back(buffer);
  }
  const std::regex line(R"((\d\d/\d\d/\d\d \d\d:\d\d) \[Brimwarden\]\[(info|warning|error)\] .+)");
  bool saw_warning = false;
  for (const standin::LogRecord& record : standin::LogRecords()) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(record.formatted, match, line)) << record.formatted;
    EXPECT_NE(std::find(stamps.begin(), stamps.end(), match[1].str()), stamps.end())
        << record.formatted;
    EXPECT_EQ(record.logger, "Brimwarden");
    if (record.formatted.ends_with(
            "[Brimwarden][warning] DinosPerTick not set in config, using 20")) {
      saw_warning = true;
    }
  }
  EXPECT_TRUE(saw_warning);

  // A line at info or above is flushed before the call returns; below info nothing is written.
  const auto& logger = brimwarden::PluginLogger();
  ASSERT_NE(logger, nullptr);
  const int flushes = standin::FlushCount();
  const std::size_t lines = standin::LogRecords().size();
  logger->debug("dropped");
  EXPECT_EQ(standin::LogRecords().size(), lines);
  logger->info("kept");
  EXPECT_EQ(standin::LogRecords().size(), lines + 1);
  EXPECT_EQ(standin::FlushCount(), flushes + 1);
  logger->error("kept too");
  EXPECT_EQ(standin::FlushCount(), flushes + 2);
}

TEST_F(PluginShellTest, ContainExceptionsLogsOneErrorLineAndReportsTheFailure) {
  brimwarden::Load();
  brimwarden::Unload();
  standin::ClearLogRecords();
  EXPECT_TRUE(brimwarden::ContainExceptions("Quiet", [] {}));
  EXPECT_FALSE(
      brimwarden::ContainExceptions("NewBoxCommand", [] { throw std::runtime_error("{} boom"); }));
  EXPECT_FALSE(brimwarden::ContainExceptions("Other", [] { throw 42; }));
  EXPECT_EQ(brimwarden::test::LogTexts(spdlog::level::err),
            (std::vector<std::string>{"NewBoxCommand: {} boom", "Other: unknown exception"}));
  brimwarden::ResetProcessObjects();
}

// Beyond the standard exceptions, which end Load or Unload with a line at info: a fault or any
// other exception in the roster build at load is contained around the build and the load goes
// on; anywhere else in Load or Unload it ends the sequence where it stood. A registration's name is
// the first game allocation of an empty world's load, and the framework records a registration or
// removal (telling the listener) before it keeps or drops the callable.
TEST_F(PluginShellTest, FaultsAndOtherExceptionsInLoadAndUnloadAreContained) {
  const auto throw_at_first = [](standin::EventKind kind) {
    standin::SetEventListener([kind](const standin::Event& event) {
      if (event.kind == kind) throw 42;
    });
  };
  const std::vector<Registration> first_only = {kTable.front()};
  struct Case {
    const char* what;
    bool in_unload;
    std::function<void()> arrange;
    std::vector<std::string> errors;
    std::vector<Registration> calls;  // the registrations, or the removals for Unload
  };
  const Case cases[] = {
      {"fault listing the world",
       false,
       [] { standin::FaultInGameFunction("UGameplayStatics.GetAllActorsOfClass"); },
       {"Prevented crash while building the creature roster"},
       kTable},
      {"exception listing the world",
       false,
       [] { standin::ThrowFromGameFunction("UGameplayStatics.GetAllActorsOfClass"); },
       {"Prevented crash while building the creature roster"},
       kTable},
      {"fault in the class lookup",
       false,
       [] { standin::FaultInGameFunction("APrimalDinoCharacter.GetPrivateStaticClass"); },
       {"Prevented crash while building the creature roster"},
       kTable},
      {"fault allocating a name",
       false,
       [] { standin::FaultInGameFunction("FMemory.Malloc"); },
       {"Prevented crash in Load"},
       {}},
      {"int thrown registering",
       false,
       [&] { throw_at_first(standin::EventKind::kRegister); },
       {"Prevented crash in Load"},
       first_only},
      {"fault allocating a name",
       true,
       [] { standin::FaultInGameFunction("FMemory.Malloc"); },
       {"Prevented crash in Unload"},
       {}},
      {"int thrown removing",
       true,
       [&] { throw_at_first(standin::EventKind::kRemove); },
       {"Prevented crash in Unload"},
       first_only},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + (c.in_unload ? " in Unload" : " in Load"));
    standin::ClearEvents();
    if (c.in_unload) brimwarden::Load();
    standin::ClearEvents();
    standin::ClearLogRecords();
    c.arrange();
    c.in_unload ? brimwarden::Unload() : brimwarden::Load();
    standin::SetEventListener(nullptr);
    EXPECT_EQ(brimwarden::test::LogTexts(spdlog::level::err), c.errors);
    EXPECT_EQ(Calls(c.in_unload ? standin::EventKind::kRemove : standin::EventKind::kRegister),
              c.calls);
    brimwarden::Unload();
    brimwarden::ResetProcessObjects();
  }

  // A standard exception keeps its handling: the sequence ends, one line at info, none at error.
  standin::ClearEvents();
  standin::ClearLogRecords();
  standin::ThrowFromGameFunction("FMemory.Malloc");
  brimwarden::Load();
  EXPECT_TRUE(brimwarden::test::LogTexts(spdlog::level::err).empty());
  EXPECT_EQ(brimwarden::test::LogTexts(spdlog::level::info).back(), "injected: FMemory.Malloc");
  EXPECT_TRUE(Calls(standin::EventKind::kRegister).empty());
  brimwarden::Unload();
  brimwarden::ResetProcessObjects();
}

TEST_F(PluginShellTest, LibraryEntryRunsLoadOnAttachUnloadOnDetachAndNothingElse) {
  const auto before = standin::GetAllocatorStats();
  {
    PluginLibrary plugin;
    EXPECT_EQ(Calls(standin::EventKind::kRegister), kTable);
    using Entry = int (*)(void*, unsigned long, void*);
    auto entry = reinterpret_cast<Entry>(plugin.Symbol("DllMain"));
    ASSERT_NE(entry, nullptr);

    standin::ClearEvents();
    EXPECT_EQ(entry(nullptr, 2, nullptr), 1);  // thread attach
    EXPECT_EQ(entry(nullptr, 3, nullptr), 1);  // thread detach
    std::thread([] {}).join();                 // the loader's own thread notifications
    EXPECT_TRUE(Calls(standin::EventKind::kRegister).empty());
    EXPECT_TRUE(Calls(standin::EventKind::kRemove).empty());

    EXPECT_EQ(entry(nullptr, 0, nullptr), 1);
    EXPECT_EQ(Calls(standin::EventKind::kRemove), kTable);
    EXPECT_EQ(entry(nullptr, 1, nullptr), 1);
    EXPECT_EQ(Calls(standin::EventKind::kRegister), kTable);
    standin::ClearEvents();
  }
  // Unloading the library runs the detach: the seven removals, then the teardown.
  EXPECT_EQ(Calls(standin::EventKind::kRemove), kTable);
  EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks);
}

TEST_F(PluginShellTest, TeardownReturnsTheRosterStorageAfterUnload) {
  for (int id = 0; id < 50; ++id) standin::SpawnCreature(id, 1, {0, 0, 500});
  const auto before = standin::GetAllocatorStats();
  PluginLibrary plugin;
  // The roster built at load holds the 50 creatures in storage from the game allocator.
  EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks + 1);
  plugin.UnloadNow();
  const auto after = standin::GetAllocatorStats();
  EXPECT_EQ(after.live_blocks, before.live_blocks);
  EXPECT_EQ(after.foreign_frees, before.foreign_frees);
}

TEST_F(PluginShellTest, ReloadingTheLibraryStartsFromFreshObjects) {
  {
    PluginLibrary plugin;
    standin::Tick();
  }
#if !defined(_WIN32)
  // The library must really be unmapped, or its teardown never ran.
  EXPECT_EQ(dlopen(BRIMWARDEN_PLUGIN_FILE, RTLD_NOW | RTLD_NOLOAD), nullptr);
#endif
  standin::ClearEvents();
  {
    PluginLibrary plugin;
    EXPECT_EQ(Calls(standin::EventKind::kRegister), kTable);
  }
}

// Loading and unloading the library leaves nothing of it behind in the process: the fault
// handlers it installed are given back, the library is really unmapped, and no thread-local slot
// of the process stays taken (a statically linked thread runtime inside the library took one at
// every load on Windows, and after about a thousand loads the next one failed). Each round
// contains a fault, so the guard is set up every time.
TEST_F(PluginShellTest, RepeatedLoadsLeaveNothingOfTheLibraryBehind) {
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 1}})");
  standin::SetReclaimDelayTicks(0);
  int round = 0;
  const auto load_fault_unload = [&round] {
    standin::SpawnCreature(round, 0, {0, 0, 500});
    PluginLibrary plugin;
    standin::DestroyByGame(round);  // reclaimed at once: the next visit faults
    standin::ClearLogRecords();
    standin::Tick();
    EXPECT_EQ(brimwarden::test::LogTexts(spdlog::level::err),
              std::vector<std::string>{"Prevented crash in CastRayTick"})
        << "round " << round;
    ++round;
  };
  load_fault_unload();  // whatever the process sets up once, at the first load
  const auto before = standin::GetAllocatorStats();
#if defined(_WIN32)
  // Windows hands out the lowest free slot: a slot taken and kept by a load shows as a higher one.
  const auto free_slot = [] {
    const DWORD slot = TlsAlloc();
    if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
    return slot;
  };
  const DWORD first_free_slot = free_slot();
#else
  struct sigaction before_segv {};
  sigaction(SIGSEGV, nullptr, &before_segv);
#endif
  for (int i = 0; i < 20; ++i) load_fault_unload();
  EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks);
#if defined(_WIN32)
  EXPECT_EQ(free_slot(), first_free_slot);
#else
  struct sigaction after_segv {};
  sigaction(SIGSEGV, nullptr, &after_segv);
  EXPECT_EQ(after_segv.sa_sigaction, before_segv.sa_sigaction);
  EXPECT_EQ(dlopen(BRIMWARDEN_PLUGIN_FILE, RTLD_NOW | RTLD_NOLOAD), nullptr);
#endif
  standin::ClearEvents();
  PluginLibrary plugin;
  EXPECT_EQ(Calls(standin::EventKind::kRegister), kTable);
}

TEST(StatusTextTest, ShowsWhatTheLatestLoadLeftAndTheCounters) {
  brimwarden::ResetProcessObjects();
  brimwarden::Settings& settings = brimwarden::PluginSettings;
  // Before any successful load: no key found, zero settings, the failure's reason.
  settings.LastLoadFailed = true;
  settings.LastLoadError = "Failed to get server key";
  EXPECT_EQ(brimwarden::StatusText(),
            "Brimwarden: server key (none); DinosPerTick 0, BottomRayDistance 0, MaxDestroyShare "
            "0.5; 0 kill zones; dry run off\n"
            "Last load: failed: Failed to get server key\n"
            "Sweep: pass 0, 0 creatures left in this pass; 0 visits since load\n"
            "Destroyed since load: 0 in kill zones, 0 with no ground; faults contained: 0");

  brimwarden::ResetProcessObjects();
  settings.ServerKey = "Île {0}\n";
  settings.DinosPerTick = -5;
  settings.BottomRayDistance = 3000;  // configured as -3000
  settings.MaxDestroyShare = 0.125;
  settings.KillZones.resize(2);
  settings.DryRun = true;
  settings.WipeGuard.Paused = true;
  settings.WipeGuard.TripPass = 6;
  settings.WipeGuard.TripCondemned = 50;
  settings.WipeGuard.TripVisited = 51;
  brimwarden::SweepStats = {7, 123456789012, 5, 6, 8, 9, 10, false, true, 11, 12};
  const std::string before_dry_run =
      "Brimwarden: server key Île {0}\\u000a; DinosPerTick -5, BottomRayDistance -3000, "
      "MaxDestroyShare 0.125; 2 kill zones; dry run on\n"
      "Last load: ok\n"
      "Sweep: pass 7, 0 creatures left in this pass; 123456789012 visits since load\n"
      "Destroyed since load: 5 in kill zones, 6 with no ground; faults contained: 8\n";
  const std::string paused =
      "\nPaused by the wipe guard in pass 6: 50 of 51 creatures visited would have been "
      "destroyed; send BWD.resume to go on";
  EXPECT_EQ(brimwarden::StatusText(),
            before_dry_run +
                "Dry run, this pass so far: would destroy 9 in kill zones, 10 with no ground; "
                "last pass: 11 in kill zones, 12 with no ground" +
                paused);
  brimwarden::SweepStats.HasDryRunLastPass = false;
  EXPECT_EQ(brimwarden::StatusText(),
            before_dry_run +
                "Dry run, this pass so far: would destroy 9 in kill zones, 10 with no ground; "
                "last pass: none" +
                paused);
  brimwarden::ResetProcessObjects();
}

}  // namespace
