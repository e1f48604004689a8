// Load and Unload: the logger over the framework's sinks, the configuration, the roster, and the
// registrations with the framework (the seven of the sweep, the reload and zone authoring, then
// the zone management commands, "BWD.status", "BWD.resume" and "BWD.recent"), made and removed in a
// fixed order.
#include <exception>
#include <memory>

#include <spdlog/logger.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/sweep/sweep.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden {
namespace {

constexpr const char* kTickCallbackId = "CastRayBWD";
constexpr const char* kReloadCommand = "BWD.reload";
constexpr const char* kLogPattern = "%D %R [%n][%l] %v";

struct ChatCommand {
  const char* name;
  host::ChatHandler handler;
};
constexpr ChatCommand kChatCommands[] = {
    {"/newbox", NewBoxCommand},         {"/setcorner1", SetCorner1Command},
    {"/setcorner2", SetCorner2Command}, {"/confirm", ConfirmCommand},
    {"/cancel", CancelCommand},
};

// Registered after the seven above, in this order, and removed after them in the same order. Each
// entry is a chat command or an RCON command: exactly one of its handlers is set.
struct LaterCommand {
  const char* name;
  void (*chat)(AShooterPlayerController*, FString*, EChatSendMode::Type);
  void (*rcon)(RCONClientConnection*, RCONPacket*, UWorld*);
};
constexpr LaterCommand kLaterCommands[] = {
    {"/zones", ZonesCommand, nullptr},
    {"/zoneinfo", ZoneInfoCommand, nullptr},
    {"/removezone", RemoveZoneCommand, nullptr},
    {"BWD.zones", nullptr, ZonesRconCommand},
    {"BWD.zoneinfo", nullptr, ZoneInfoRconCommand},
    {"BWD.removezone", nullptr, RemoveZoneRconCommand},
    {"BWD.status", nullptr, StatusCommand},
    {"BWD.resume", nullptr, ResumeCommand},
    {"BWD.recent", nullptr, RecentCommand},
};

void CreateLogger() {
  std::shared_ptr<spdlog::logger>& handle = PluginLogger();
  const std::vector<spdlog::sink_ptr>& sinks = host::LogSinks();
  handle = std::make_shared<spdlog::logger>(LoggerName, sinks.begin(), sinks.end());
  handle->set_pattern(kLogPattern, spdlog::pattern_time_type::local);
  handle->flush_on(spdlog::level::info);
}

void LogCaughtAtInfo(const std::exception& error) noexcept {
  try {
    if (const auto& logger = PluginLogger()) logger->info(error.what());
  } catch (...) {  // nowhere left to report
  }
}

}  // namespace

void Load() {
  try {
    CreateLogger();
    LoadConfig();
    BuildCreatureRoster();
    host::RegisterTickCallback(kTickCallbackId, CastRayTickCallback);
    host::RegisterRconCommand(kReloadCommand, ReloadConfigCommand);
    for (const ChatCommand& command : kChatCommands) {
      host::RegisterChatCommand(command.name, command.handler);
    }
    for (const LaterCommand& command : kLaterCommands) {
      if (command.chat != nullptr) {
        host::RegisterChatCommand(command.name, command.chat);
      } else {
        host::RegisterRconCommand(command.name, command.rcon);
      }
    }
  } catch (const std::exception& error) {
    LogCaughtAtInfo(error);
  }
}

void Unload() {
  try {
    host::RemoveTickCallback(kTickCallbackId);
    host::RemoveRconCommand(kReloadCommand);
    for (const ChatCommand& command : kChatCommands) {
      host::RemoveChatCommand(command.name);
    }
    for (const LaterCommand& command : kLaterCommands) {
      if (command.chat != nullptr) {
        host::RemoveChatCommand(command.name);
      } else {
        host::RemoveRconCommand(command.name);
      }
    }
  } catch (const std::exception& error) {
    LogCaughtAtInfo(error);
  }
}

}  // namespace brimwarden
