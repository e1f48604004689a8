// Out of memory inside a zone command, at every allocation in turn: nothing escapes the handler,
// what was done before the failure stays, and an unsaved zone is never reported as saved. This
// program's operator new is replaced by one that can be told to fail once.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/zones/zones.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace {

// Allocations left before the one that fails; negative when disarmed.
std::atomic<long> allocations_before_failure{-1};
std::atomic<bool> failure_fired{false};

// What is under test is the plugin's own code. On Linux the stand-in shares this program's
// operator new, and the game's bookkeeping is not made to fail (on Windows the stand-in has a
// runtime of its own).
bool CalledFromStandin([[maybe_unused]] void* caller) {
#if defined(_WIN32)
  return false;
#else
  Dl_info info{};
  return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "BrimwardenStandin") != nullptr;
#endif
}

void* Allocate(std::size_t size, void* caller) {
  const long left = allocations_before_failure.load();
  if (left < 0 || CalledFromStandin(caller)) {
    // Disarmed, or not counted.
  } else if (left == 0) {
    allocations_before_failure = -1;
    failure_fired = true;
    throw std::bad_alloc();
  } else if (left > 0) {
    allocations_before_failure = left - 1;
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size, __builtin_return_address(0)); }
void* operator new[](std::size_t size) { return Allocate(size, __builtin_return_address(0)); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using brimwarden::PendingZone;
using brimwarden::PendingZones;
using brimwarden::PluginSettings;
using brimwarden::test::ChatTo;

constexpr const char* kNotSaved =
    "Zone created, but it could not be saved to config.json: it stays active until the plugin "
    "reloads its configuration";

class ZonesOutOfMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A load creates the plugin's logger over the framework's sinks, which the handlers log to.
    server_.WriteConfig(R"({"TestServer": {}})");
    brimwarden::Load();
    brimwarden::Unload();
  }
  void TearDown() override {
    allocations_before_failure = -1;
    brimwarden::ResetProcessObjects();
  }

  AShooterPlayerController* Fresh() {
    brimwarden::ResetProcessObjects();
    standin::ResetWorld();
    standin::ClearEvents();
    standin::ClearLogRecords();
    server_.WriteConfig(R"({"TestServer": {}})");
    return standin::AddPlayer("Admin", true);
  }

  /// Runs `handler` with the allocation numbered `n` from now failing; tells whether it failed.
  template <typename Handler>
  bool RunFailingAt(long n, Handler handler) {
    failure_fired = false;
    allocations_before_failure = n;
    handler();
    allocations_before_failure = -1;
    return failure_fired;
  }

  brimwarden::test::ServerDir server_;
};

// The configuration file is missing, so the save fails early without touching the JSON library,
// whose destructors allocate and would end the process when an allocation fails inside them.
TEST_F(ZonesOutOfMemoryTest, ConfirmKeepsItsStateConsistentWhereverMemoryRunsOut) {
  constexpr Vector3 kHigh{100.0F, 200.0F, 300.0F};
  constexpr Vector3 kLow{-50.0F, 60.0F, 70.0F};
  FString message(u"/confirm");
  bool saw_complete_run = false;
  int appended_then_failed = 0;
  for (long n = 0; n < 100000 && !saw_complete_run; ++n) {
    SCOPED_TRACE(n);
    auto* admin = Fresh();
    std::filesystem::remove(server_.ConfigPath());
    PendingZones[admin] = PendingZone{"Gate", kHigh, kLow};
    const bool failed = RunFailingAt(
        n, [&] { brimwarden::ConfirmCommand(admin, &message, EChatSendMode::GlobalChat); });
    saw_complete_run = !failed;
    const std::vector<std::string> replies = ChatTo("Admin");
    ASSERT_LE(replies.size(), 1U);
    if (PluginSettings.KillZones.empty()) {
      // Failed before the zone was appended: nothing changed and nothing was said.
      ASSERT_TRUE(failed);
      EXPECT_EQ(PendingZones.count(admin), 1U);
      EXPECT_TRUE(replies.empty());
      continue;
    }
    ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
    EXPECT_EQ(PluginSettings.KillZones[0].Name, "Gate");
    EXPECT_TRUE(PendingZones.empty());
    if (failed) ++appended_then_failed;
    // Never told that an unsaved zone was saved; without a reply only when the reply failed.
    if (replies.empty()) {
      ASSERT_TRUE(failed);
    } else {
      EXPECT_EQ(replies[0], kNotSaved);
    }
  }
  EXPECT_TRUE(saw_complete_run);
  EXPECT_GT(appended_then_failed, 0);
}

}  // namespace
