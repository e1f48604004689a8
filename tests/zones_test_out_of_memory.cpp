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
#include "failing_allocator.h"
#include "test_support.h"

namespace {

using brimwarden::PendingZone;
using brimwarden::PendingZones;
using brimwarden::PluginSettings;
using brimwarden::test::allocations_before_failure;
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
    brimwarden::test::allocation_failure_fired = false;
    allocations_before_failure = n;
    handler();
    allocations_before_failure = -1;
    return brimwarden::test::allocation_failure_fired;
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
