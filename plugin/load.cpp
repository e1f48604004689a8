// Load and Unload: the logger over the framework's sinks, the configuration, the roster, and the
// registrations with the framework (the seven of the sweep, the reload and zone authoring, then
// the zone management commands and "BWD.status"), made and removed in a fixed order.
#include <exception>
#include <memory>

#include <spdlog/logger.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework_api.h"
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
  void (*handler)(AShooterPlayerController*, FString*, EChatSendMode::Type);
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
    {"BWD.status", nullptr, StatusCommand},  // after every other registration
};

void CreateLogger() {
  std::shared_ptr<spdlog::logger>& handle = PluginLogger();
  const std::vector<spdlog::sink_ptr>& sinks = GetLogSinks();
  handle = std::make_shared<spdlog::logger>(LoggerName, sinks.begin(), sinks.end());
  handle->set_pattern(kLogPattern, spdlog::pattern_time_type::local);
  handle->flush_on(spdlog::level::info);
}

// Each registration fetches the command interface afresh and passes a name whose storage comes
// from the game allocator; the framework keeps copies, so both go away right after the call.
template <typename Callback, typename Operation>
void Register(Operation operation, const char* name, Callback callback) {
  ArkApi::ICommands& commands = ArkApi::GetCommands();
  const FString game_name(name);
  (commands.*operation)(game_name, callback);
}

template <typename Operation>
void Remove(Operation operation, const char* name) {
  ArkApi::ICommands& commands = ArkApi::GetCommands();
  const FString game_name(name);
  (commands.*operation)(game_name);
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
    Register(&ArkApi::ICommands::RegisterTickCallback, kTickCallbackId,
             ArkApi::TickCallback(CastRayTickCallback));
    Register(&ArkApi::ICommands::RegisterRconCommand, kReloadCommand,
             ArkApi::RconCommandCallback(ReloadConfigCommand));
    for (const ChatCommand& command : kChatCommands) {
      Register(&ArkApi::ICommands::RegisterChatCommand, command.name,
               ArkApi::ChatCommandCallback(command.handler));
    }
    for (const LaterCommand& command : kLaterCommands) {
      if (command.chat != nullptr) {
        Register(&ArkApi::ICommands::RegisterChatCommand, command.name,
                 ArkApi::ChatCommandCallback(command.chat));
      } else {
        Register(&ArkApi::ICommands::RegisterRconCommand, command.name,
                 ArkApi::RconCommandCallback(command.rcon));
      }
    }
  } catch (const std::exception& error) {
    LogCaughtAtInfo(error);
  }
}

void Unload() {
  try {
    Remove(&ArkApi::ICommands::RemoveTickCallback, kTickCallbackId);
    Remove(&ArkApi::ICommands::RemoveRconCommand, kReloadCommand);
    for (const ChatCommand& command : kChatCommands) {
      Remove(&ArkApi::ICommands::RemoveChatCommand, command.name);
    }
    for (const LaterCommand& command : kLaterCommands) {
      if (command.chat != nullptr) {
        Remove(&ArkApi::ICommands::RemoveChatCommand, command.name);
      } else {
        Remove(&ArkApi::ICommands::RemoveRconCommand, command.name);
      }
    }
  } catch (const std::exception& error) {
    LogCaughtAtInfo(error);
  }
}

}  // namespace brimwarden
