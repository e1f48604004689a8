// Out of memory inside a zone command, at every allocation in turn: nothing escapes the handler,
// what was done before the failure stays, and a save that fails this way is never reported as a
// saved zone. This program's operator new is replaced by one that can be told to fail once.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/host/ark_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/zones/zones.h"
#include "test_support.h"

namespace {

// Allocations left before the one that fails; negative when disarmed.
std::atomic<long> allocations_before_failure{-1};
std::atomic<bool> failure_fired{false};

void* Allocate(std::size_t size) {
  const long left = allocations_before_failure.load();
  if (left == 0) {
    allocations_before_failure = -1;
    failure_fired = true;
    throw std::bad_alloc();
  }
  if (left > 0) allocations_before_failure = left - 1;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using brimwarden::PendingZone;
using brimwarden::PendingZones;
using brimwarden::PluginSettings;
using brimwarden::test::ChatTo;

constexpr const char* kCreated = "Zone created";
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

TEST_F(ZonesOutOfMemoryTest, ConfirmKeepsItsStateConsistentWhereverMemoryRunsOut) {
  constexpr Vector3 kHigh{100.0F, 200.0F, 300.0F};
  constexpr Vector3 kLow{-50.0F, 60.0F, 70.0F};
  FString message(u"/confirm");
  bool saw_success = false;
  bool saw_unsaved = false;
  for (long n = 0; n < 100000 && !saw_success; ++n) {
    SCOPED_TRACE(n);
    auto* admin = Fresh();
    PendingZones[admin] = PendingZone{"Gate", kHigh, kLow};
    const bool failed = RunFailingAt(
        n, [&] { brimwarden::ConfirmCommand(admin, &message, EChatSendMode::GlobalChat); });
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
    if (replies.empty()) {
      ASSERT_TRUE(failed);  // the reply itself ran out of memory
    } else if (replies[0] == kCreated) {
      // Told it was saved: the file must hold it, whole.
      const std::string file = server_.ReadConfig();
      const auto document = nlohmann::json::parse(file, nullptr, false);
      ASSERT_FALSE(document.is_discarded())
          << "SaveKillZones reported success but left config.json unparseable:\n"
          << file;
      EXPECT_TRUE(document.at("TestServer").at("Kill Zones").contains("Gate"));
      saw_success = !failed;
    } else {
      ASSERT_EQ(replies[0], kNotSaved);
      ASSERT_TRUE(failed);
      saw_unsaved = true;
    }
  }
  EXPECT_TRUE(saw_success);
  // Some allocation failed inside the save, after the zone was appended.
  EXPECT_TRUE(saw_unsaved);
}

TEST_F(ZonesOutOfMemoryTest, NewBoxRepliesBeforeItCreatesTheEntry) {
  FString message(u"/newbox North Gate");
  bool saw_success = false;
  for (long n = 0; n < 100000 && !saw_success; ++n) {
    SCOPED_TRACE(n);
    auto* admin = Fresh();
    const bool failed = RunFailingAt(
        n, [&] { brimwarden::NewBoxCommand(admin, &message, EChatSendMode::GlobalChat); });
    const std::vector<std::string> replies = ChatTo("Admin");
    ASSERT_LE(replies.size(), 1U);
    if (PendingZones.count(admin) == 1) {
      EXPECT_EQ(PendingZones[admin].Name, "North Gate");
      EXPECT_EQ(replies.size(), 1U);
    } else {
      ASSERT_TRUE(failed);
    }
    saw_success = !failed;
  }
  EXPECT_TRUE(saw_success);
}

}  // namespace
