// The plugin's calls into the framework. Each call fetches the framework's objects afresh, and a
// name passed to it is a temporary FString with storage from the game allocator; the framework
// keeps copies, so both go away right after the call. Handlers are plain functions, wrapped into
// the framework's callable types here.
#pragma once

#include <string>
#include <vector>

#include <spdlog/common.h>

#include "brimwarden/host/game_types.h"

namespace brimwarden::host {

using TickHandler = void (*)(float);
using RconHandler = void (*)(RCONClientConnection*, RCONPacket*, UWorld*);
using ChatHandler = void (*)(AShooterPlayerController*, FString*, EChatSendMode::Type);

void RegisterTickCallback(const char* id, TickHandler handler);
void RegisterRconCommand(const char* name, RconHandler handler);
void RegisterChatCommand(const char* name, ChatHandler handler);
void RemoveTickCallback(const char* id);
void RemoveRconCommand(const char* name);
void RemoveChatCommand(const char* name);

/// The game's current world.
UWorld* CurrentWorld();
/// The server's directory, without a trailing separator.
std::string ServerDirectory();
/// The framework's shared log sinks.
const std::vector<spdlog::sink_ptr>& LogSinks();

}  // namespace brimwarden::host
