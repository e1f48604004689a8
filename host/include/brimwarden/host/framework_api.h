// The plugin framework's exports that the plugin calls. The framework keeps its own copies of
// every name and callable passed to it, and calls the callbacks one at a time on the game thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/sink.h>

#include "brimwarden/host/export.h"
#include "brimwarden/host/game_types.h"

namespace ArkApi {

using brimwarden::AShooterPlayerController;
using brimwarden::FString;
using brimwarden::RCONClientConnection;
using brimwarden::RCONPacket;
using brimwarden::UWorld;
namespace EChatSendMode = brimwarden::EChatSendMode;

using ChatCommandCallback =
    std::function<void(AShooterPlayerController*, FString*, EChatSendMode::Type)>;
using RconCommandCallback = std::function<void(RCONClientConnection*, RCONPacket*, UWorld*)>;
using TickCallback = std::function<void(float)>;

class ICommands {
 public:
  virtual ~ICommands() = default;
  virtual void RegisterChatCommand(const FString& name, const ChatCommandCallback& callback) = 0;
  virtual void RegisterConsoleCommand(const FString& name,
                                      const std::function<void()>& callback) = 0;
  virtual void RegisterRconCommand(const FString& name, const RconCommandCallback& callback) = 0;
  virtual void RegisterTickCallback(const FString& id, const TickCallback& callback) = 0;
  virtual bool RemoveChatCommand(const FString& name) = 0;
  virtual bool RemoveConsoleCommand(const FString& name) = 0;
  virtual bool RemoveRconCommand(const FString& name) = 0;
  virtual bool RemoveTickCallback(const FString& id) = 0;
};

class IApiUtils {
 public:
  virtual ~IApiUtils() = default;
  virtual UWorld* CurrentWorld() const = 0;
};

BRIMWARDEN_FRAMEWORK_API ICommands& GetCommands();
BRIMWARDEN_FRAMEWORK_API IApiUtils& GetApiUtils();

namespace Tools {
/// The server's directory, without a trailing separator.
BRIMWARDEN_FRAMEWORK_API std::string GetCurrentDir();
}  // namespace Tools

}  // namespace ArkApi

/// The framework's shared list of log sinks.
BRIMWARDEN_FRAMEWORK_API std::vector<spdlog::sink_ptr>& GetLogSinks();
