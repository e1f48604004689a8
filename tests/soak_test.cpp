// Soak: the plugin library loaded and unloaded a thousand times in one server process, each time
// doing real work (a reload over RCON, a zone confirmed in chat and saved, ticks that sweep a
// creature out of the new zone). Afterwards nothing may be left behind: no block of the game
// allocator, no memory growth of the process, no open file, no lock on config.json.lock.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <algorithm>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brimwarden/standin/standin.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define BRIMWARDEN_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRIMWARDEN_UNDER_ASAN 1
#endif
#endif

namespace {

using brimwarden::test::PluginLibrary;
using brimwarden::test::ServerDir;

constexpr int kCycles = 1000;
// Memory is measured once the allocators of the process have reached their working size.
constexpr int kWarmUpCycles = 100;
// What the process may grow by over the 900 measured cycles: far below the 900 times of even a
// small leak per cycle (a zone, a log line, a formatter), above the jitter of the C library's heap.
constexpr std::int64_t kRssToleranceBytes = 1 << 20;
constexpr int kTicksPerCycle = 3;
// Ground is found under every creature, so only the zone removes one.
constexpr float kGroundHeight = 100.0F;
constexpr float kStandingHeight = 150.0F;
constexpr Vector3 kZoneCorner1{1000.0F, 1000.0F, 0.0F};
constexpr Vector3 kZoneCorner2{2000.0F, 2000.0F, 500.0F};

std::int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size_pages = 0;
  std::int64_t resident_pages = 0;
  statm >> size_pages >> resident_pages;
  return resident_pages * sysconf(_SC_PAGESIZE);
}

int OpenFileCount() {
  int count = 0;
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(directory);
  return count - 1;  // the directory stream itself
}

bool CanLockExclusively(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return locked;
}

std::vector<std::string> RconRepliesTo(std::int32_t id) {
  std::vector<std::string> texts;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kRcon && event.id == id) texts.push_back(event.text);
  }
  return texts;
}

// One life of the plugin library: load, reload, a zone confirmed and saved, a few ticks, unload.
// Returns the first thing that went wrong, or an empty string.
std::string RunOneCycle(int cycle, AShooterPlayerController* admin) {
  standin::ClearEvents();
  standin::ClearLogRecords();
  // Lands inside the zone confirmed below; the first tick after the confirmation removes it.
  const std::int64_t doomed = 1000000 + cycle;
  standin::SpawnCreature(doomed, 0, {1500.0F, 1500.0F, kStandingHeight});

  PluginLibrary plugin;
  if (!standin::SendRcon("BWD.reload", cycle)) return "BWD.reload is not registered";
  if (RconRepliesTo(cycle) != std::vector<std::string>{"Config Reloaded."}) {
    return "the reload did not reply \"Config Reloaded.\" once";
  }

  standin::SendChat(admin, u"/newbox Soak");
  standin::MovePlayer(admin, kZoneCorner1);
  standin::SendChat(admin, u"/setcorner1");
  standin::MovePlayer(admin, kZoneCorner2);
  standin::SendChat(admin, u"/setcorner2");
  standin::SendChat(admin, u"/confirm");
  const std::vector<std::string> chat = brimwarden::test::ChatTo("Admin");
  // From the second cycle on, the zone replaces the one of the cycle before, and says so.
  if (std::find(chat.begin(), chat.end(), "Zone created") == chat.end()) {
    return "the zone was not confirmed and saved";
  }

  for (int tick = 0; tick < kTicksPerCycle; ++tick) standin::Tick();
  if (!standin::IsDestroyed(doomed)) return "the sweep did not remove the creature in the zone";
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.level >= spdlog::level::err) return "error logged: " + record.text;
  }
  return {};
}

TEST(SoakTest, ThousandLoadsAndUnloadsLeaveNothingBehind) {
  ServerDir server;
  server.WriteConfig(R"({"TestServer": {"DinosPerTick": 20}, "Other": {"DinosPerTick": 5}})");
  standin::ResetWorld();
  standin::SetFlatTerrain(kGroundHeight);
  // Creatures that stand on the ground outside the zone: visited every pass, never destroyed.
  for (std::int64_t id = 1; id <= 10; ++id) {
    standin::SpawnCreature(id, 0, {static_cast<float>(id) * 100.0F, 0.0F, kStandingHeight});
  }
  AShooterPlayerController* admin = standin::AddPlayer("Admin", /*admin=*/true);

  const standin::AllocatorStats before = standin::GetAllocatorStats();
  std::int64_t warm_rss = 0;
  int warm_files = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    if (cycle == kWarmUpCycles) {
      warm_rss = ResidentBytes();
      warm_files = OpenFileCount();
    }
    const std::string failure = RunOneCycle(cycle, admin);
    ASSERT_EQ(failure, "") << "cycle " << cycle;
    const standin::AllocatorStats now = standin::GetAllocatorStats();
    ASSERT_EQ(now.live_blocks, before.live_blocks) << "cycle " << cycle;
    ASSERT_EQ(now.foreign_frees, before.foreign_frees) << "cycle " << cycle;
  }

  const std::int64_t growth = ResidentBytes() - warm_rss;
  std::printf("soak: %d cycles, resident memory %+lld KiB after warm-up, %lld allocator calls\n",
              kCycles, static_cast<long long>(growth / 1024),
              static_cast<long long>(standin::GetAllocatorStats().mallocs - before.mallocs));
#if defined(BRIMWARDEN_UNDER_ASAN)
  // AddressSanitizer holds freed memory in quarantine; its own leak check covers this build.
  (void)growth;
#else
  EXPECT_LE(growth, kRssToleranceBytes);
#endif
  EXPECT_EQ(OpenFileCount(), warm_files);
  EXPECT_EQ(standin::GetAllocatorStats().live_bytes, before.live_bytes);
  EXPECT_TRUE(CanLockExclusively((server.PluginDir() / "config.json.lock").string()));
  EXPECT_EQ(standin::RegisteredNames("tick").size(), 0U);
  EXPECT_EQ(standin::RegisteredNames("chat").size(), 0U);
}

}  // namespace
