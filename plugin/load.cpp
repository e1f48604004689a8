// Load and Unload: the logger over the framework's sinks, the configuration, the roster, and the
// registrations with the framework (the seven of the sweep, the reload and zone authoring, then
// the zone management commands, "BWD.status", "BWD.resume" and "BWD.recent"), made and removed in a
// fixed order.
//
// Nothing escapes either into the server. A standard exception ends the sequence where it stood
// and is logged at info. Any other exception or a hardware fault ends it too, contained by the
// sweep's fault guard and logged at error; one inside the roster build at load is contained
// around the build alone, so the load goes on with the roster as it stands. A fault skips the
// destructors of the frames it leaves: what they held stays allocated, the price of keeping the
// server up.
#include <exception>
#include <memory>

#include <spdlog/logger.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/sweep/sweep.h"
#include "brimwarden/zones/zones.h"

namespace brimwarden {
namespace {

constexpr const char* kTickCallbackId = "CastRayBWD";
constexpr const char* kReloadCommand = "BWD.reload";
constexpr const char* kLogPattern = "%D %R [%n][%l] %v";
constexpr const char* kPreventedRosterCrash = "Prevented crash while building the creature roster";
constexpr const char* kPreventedLoadCrash = "Prevented crash in Load";
constexpr const char* kPreventedUnloadCrash = "Prevented crash in Unload";

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

// Builds the roster inside the fault guard, as a tick does; logged after the guard has returned.
void BuildCreatureRosterContained() {
  if (!RunContained(&BuildCreatureRoster)) Log(LogLevel::kError, kPreventedRosterCrash);
}

void LoadSteps() {
  try {
    CreateLogger();
    LoadConfig();
    BuildCreatureRosterContained();
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
    Log(LogLevel::kInfo, error.what());
  }
}

void UnloadSteps() {
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
    Log(LogLevel::kInfo, error.what());
  }
}

}  // namespace

void Load() {
  if (!RunContained(&LoadSteps)) Log(LogLevel::kError, kPreventedLoadCrash);
}

void Unload() {
  if (!RunContained(&UnloadSteps)) Log(LogLevel::kError, kPreventedUnloadCrash);
}

}  // namespace brimwarden
