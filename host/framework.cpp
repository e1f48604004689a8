#include "brimwarden/host/framework.h"

#include "brimwarden/host/framework_api.h"

namespace brimwarden::host {
namespace {

template <typename Callback, typename Operation>
void Register(Operation operation, const char* name, const Callback& callback) {
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

}  // namespace

void RegisterTickCallback(const char* id, TickHandler handler) {
  Register(&ArkApi::ICommands::RegisterTickCallback, id, ArkApi::TickCallback(handler));
}
void RegisterRconCommand(const char* name, RconHandler handler) {
  Register(&ArkApi::ICommands::RegisterRconCommand, name, ArkApi::RconCommandCallback(handler));
}
void RegisterChatCommand(const char* name, ChatHandler handler) {
  Register(&ArkApi::ICommands::RegisterChatCommand, name, ArkApi::ChatCommandCallback(handler));
}
void RemoveTickCallback(const char* id) { Remove(&ArkApi::ICommands::RemoveTickCallback, id); }
void RemoveRconCommand(const char* name) { Remove(&ArkApi::ICommands::RemoveRconCommand, name); }
void RemoveChatCommand(const char* name) { Remove(&ArkApi::ICommands::RemoveChatCommand, name); }

UWorld* CurrentWorld() { return ArkApi::GetApiUtils().CurrentWorld(); }
std::string ServerDirectory() { return ArkApi::Tools::GetCurrentDir(); }
const std::vector<spdlog::sink_ptr>& LogSinks() { return GetLogSinks(); }

}  // namespace brimwarden::host
