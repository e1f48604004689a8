// Shared set-up for the sweep's test files: a fresh world and server directory, the plugin's
// process-wide objects reset, a logger over the framework's sinks as Load makes it, and readers
// for what the sweep did to the stand-in's creatures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/sweep/sweep.h"
#include "test_support.h"

namespace brimwarden::test {

inline constexpr const char* kPreventedCrash = "Prevented crash in CastRayTick";
// Ground of the default world, and heights that stand on it or have sunk below it.
inline constexpr float kGroundHeight = 100.0F;
inline constexpr float kStanding = 150.0F;
inline constexpr float kSunk = -400.0F;

/// A fake actor address for roster arithmetic; never dereferenced.
inline AActor* FakeActor(std::int64_t index) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an address that is never dereferenced
  return reinterpret_cast<AActor*>(static_cast<std::uintptr_t>(0x10000 + 8 * index));
}

class SweepFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<spdlog::logger>& logger = PluginLogger();
    const std::vector<spdlog::sink_ptr>& sinks = GetLogSinks();
    logger = std::make_shared<spdlog::logger>(LoggerName, sinks.begin(), sinks.end());
    logger->flush_on(spdlog::level::info);
    standin::SetActorListHook(nullptr);
    standin::SetReclaimDelayTicks(2);
    FreshWorld();
  }

  /// An empty flat world at height 100, an empty roster, the default settings, no events.
  void FreshWorld() {
    standin::ResetWorld();
    ResetProcessObjects();
    PluginSettings.TopRayDistance = 150000;
    PluginSettings.BottomRayDistance = -150000;
    PluginSettings.DinosPerTick = 20;
    standin::ClearEvents();
    standin::ClearLogRecords();
    OnFreshWorld();
  }
  /// Runs after every FreshWorld (which drops the stand-in's actor list hook).
  virtual void OnFreshWorld() {}

  void TearDown() override {
    standin::SetActorListHook(nullptr);
    ResetProcessObjects();
    PluginLogger().reset();
  }

  /// Ids of the creatures that received "AActor.Destroy", in the order of the requests.
  static std::vector<std::int64_t> DestroyRequests() {
    std::vector<std::int64_t> ids;
    for (const standin::Event& event : standin::Events()) {
      if (event.kind == standin::EventKind::kDestroy) ids.push_back(event.creature);
    }
    return ids;
  }

  /// How many destroy requests the creature received.
  static int RequestsFor(std::int64_t id) {
    for (const standin::CreatureInfo& info : standin::Creatures()) {
      if (info.id == id) return info.destroy_requests;
    }
    ADD_FAILURE() << "no creature " << id;
    return -1;
  }

  /// The stand-in ids of the roster's entries, first to last (-1 for what is not a creature).
  static std::vector<std::int64_t> RosterIds() {
    std::vector<std::int64_t> ids;
    for (std::int32_t index = 0; index < CreatureRoster.Num(); ++index) {
      ids.push_back(standin::CreatureId(CreatureRoster[index]));
    }
    return ids;
  }

  static std::vector<std::string> ErrorLines() { return LogTexts(spdlog::level::err); }

  ServerDir server_;
};

}  // namespace brimwarden::test
