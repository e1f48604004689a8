// Running one command of the script language against the world.
#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "brimwarden/host/text.h"
#include "server.h"

namespace brimwarden::devserver {
namespace {

/// Throws unless the creature was spawned and is not destroyed yet.
void RequireLiveCreature(bool spawned, std::int64_t id) {
  if (!spawned) throw std::runtime_error("no creature " + std::to_string(id));
  if (standin::IsDestroyed(id)) {
    throw std::runtime_error("creature " + std::to_string(id) + " is already destroyed");
  }
}

}  // namespace

void DevServer::Execute(const Command& command) {
  switch (command.kind) {
    case CommandKind::kTerrainFlat:
      standin::SetFlatTerrain(command.height);
      return;
    case CommandKind::kTerrainHills:
      standin::SetHillsTerrain(command.seed);
      return;
    case CommandKind::kCreature:
      if (teams_.count(command.id) != 0) {
        throw std::runtime_error("creature " + std::to_string(command.id) + " already exists");
      }
      standin::SpawnCreature(command.id, command.team, command.position);
      Spawned(command.id, command.team);
      next_creature_id_ = std::max(next_creature_id_, command.id + 1);
      return;
    case CommandKind::kPopulate:
      Populate(command.count, command.sunk_percent, command.tamed_percent, command.seed);
      return;
    case CommandKind::kPlayer:
      if (standin::FindPlayer(command.name) != nullptr) {
        throw std::runtime_error("player " + command.name + " already exists");
      }
      standin::AddPlayer(command.name, command.admin);
      return;
    case CommandKind::kMove:
    case CommandKind::kChat: {
      AShooterPlayerController* player = standin::FindPlayer(command.name);
      if (player == nullptr) throw std::runtime_error("no player named " + command.name);
      if (command.kind == CommandKind::kMove) {
        standin::MovePlayer(player, command.position);
      } else {
        standin::SendChat(player, host::ToUtf16(command.text));
        standin::ClearEvents();
      }
      return;
    }
    case CommandKind::kRcon:
      Rcon(command.text, NextRconId(), nullptr);
      return;
    case CommandKind::kTick:
      Tick(command.count);
      return;
    case CommandKind::kUnload:
      if (!IsLoaded()) throw std::runtime_error("the plugin is not loaded");
      Unload();
      return;
    case CommandKind::kLoad:
      if (IsLoaded()) throw std::runtime_error("the plugin is already loaded");
      Load();
      return;
    case CommandKind::kWrite: {
      const std::filesystem::path path = options_.dir / PathFromUtf8(command.name);
      std::filesystem::create_directories(path.parent_path());
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << command.text;
      out.close();
      if (!out) throw std::runtime_error("cannot write " + PathToUtf8(path));
      return;
    }
    case CommandKind::kDestroy:
      RequireLiveCreature(teams_.count(command.id) != 0, command.id);
      destroyed_by_game_.insert(command.id);
      standin::DestroyByGame(command.id);
      return;
    case CommandKind::kTeam:
      RequireLiveCreature(teams_.count(command.id) != 0, command.id);
      standin::SetTeam(command.id, command.team);
      wild_alive_ +=
          (command.team < kTamedTeam ? 1 : 0) - (teams_[command.id] < kTamedTeam ? 1 : 0);
      teams_[command.id] = command.team;
      return;
    case CommandKind::kChaos:
      StartChaos(command.rate, command.seed, command.fault_rate);
      return;
    case CommandKind::kHelp:
    case CommandKind::kStatus:
    case CommandKind::kMap:
    case CommandKind::kRun:
    case CommandKind::kQuit:
      break;
  }
  throw std::runtime_error("this command works only at the prompt");
}

}  // namespace brimwarden::devserver
