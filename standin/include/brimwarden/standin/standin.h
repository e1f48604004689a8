// Control surface of the stand-in framework and game server, for the test programs and the dev
// server. The plugin never includes this header: it reaches the stand-in only through the
// framework's exports (framework_api.h) and game names resolved with GetAddress.
//
// Everything here runs on one thread, the "game thread" of whoever drives the stand-in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/common.h>

#include "brimwarden/host/export.h"
#include "brimwarden/host/framework_api.h"

// The stand-in and its hosts (the test programs, the dev server, the benchmarks and fuzz targets)
// name the game's types unqualified; the plugin, which never includes this header, names them in
// namespace brimwarden.
using brimwarden::AActor;
using brimwarden::APrimalCharacter;
using brimwarden::APrimalDinoCharacter;
using brimwarden::AShooterPlayerController;
using brimwarden::ChatMessage;
using brimwarden::FString;
using brimwarden::FStringView16;
using brimwarden::HandOverToChatField;
using brimwarden::HostArray;
using brimwarden::RCONClientConnection;
using brimwarden::RCONPacket;
using brimwarden::UClass;
using brimwarden::UObject;
using brimwarden::USceneComponent;
using brimwarden::UWorld;
using brimwarden::Vector3;
namespace EChatSendMode = brimwarden::EChatSendMode;

namespace standin {

// ---- Set-up ----------------------------------------------------------------------------------

/// Marks the stand-in as driven by one of its hosts (the dev server, a test program). Until then
/// it does nothing: the framework's exports (GetCommands, GetApiUtils, Tools::GetCurrentDir,
/// GetAddress) throw std::logic_error, which the plugin's Load and Unload catch and log, and
/// nothing is written to the server log file. A plugin library copied with the stand-in into a
/// real server therefore sits inert instead of reaching a world that is not there.
BRIMWARDEN_FRAMEWORK_API void SetUp();
BRIMWARDEN_FRAMEWORK_API bool IsSetUp();

/// The message of what the exports throw before SetUp.
inline constexpr const char* kNotSetUpMessage =
    "Brimwarden stand-in: not set up by the dev server; this library belongs to the dev kit and "
    "does nothing in a server";

// ---- Server directory and log sinks ----------------------------------------------------------

/// Sets the directory that ArkApi::Tools::GetCurrentDir answers, and opens the log file
/// DIR/ArkApi/Logs/server.log as one of the framework's sinks (created with its folders).
BRIMWARDEN_FRAMEWORK_API void SetServerDir(const std::string& dir);
BRIMWARDEN_FRAMEWORK_API std::string ServerDir();

/// One line that reached the framework's recording sink.
struct LogRecord {
  spdlog::level::level_enum level;
  std::string logger;     // logger name
  std::string text;       // the message alone
  std::string formatted;  // the whole line as the logger's pattern rendered it, without newline
};
BRIMWARDEN_FRAMEWORK_API std::vector<LogRecord> LogRecords();
BRIMWARDEN_FRAMEWORK_API void ClearLogRecords();
/// How many times the recording sink has been flushed.
BRIMWARDEN_FRAMEWORK_API int FlushCount();

// ---- Game allocator ("FMemory.*") --------------------------------------------------------------

struct AllocatorStats {
  std::int64_t live_blocks = 0;
  std::int64_t live_bytes = 0;
  std::int64_t mallocs = 0;
  std::int64_t reallocs = 0;
  std::int64_t frees = 0;
  std::int64_t foreign_frees = 0;  // frees of a block the allocator did not hand out (not freed)
};
BRIMWARDEN_FRAMEWORK_API AllocatorStats GetAllocatorStats();
/// Tells whether `block` is a live block handed out by the game allocator.
BRIMWARDEN_FRAMEWORK_API bool IsLiveBlock(const void* block);
/// Allocates through the game allocator, as the game's own code does (counted like the plugin's).
BRIMWARDEN_FRAMEWORK_API void* GameMalloc(std::size_t bytes);

// ---- World
// ---------------------------------------------------------------------------------------

/// Removes every actor and player, resets the terrain to flat 100 and the tick counter to 0.
/// Registrations made by a loaded plugin are kept. Also drops the actor list hook and pending
/// injected faults, and sets the reclaim delay back to 2. The actors' memory goes back to the
/// system at once, so a pointer kept from before faults.
BRIMWARDEN_FRAMEWORK_API void ResetWorld();

BRIMWARDEN_FRAMEWORK_API void SetFlatTerrain(float height);
BRIMWARDEN_FRAMEWORK_API void SetHillsTerrain(std::uint32_t seed);
/// The ground height at (x, y); no ground exists where this is NaN (holes in the terrain).
BRIMWARDEN_FRAMEWORK_API float GroundHeightAt(float x, float y);

/// Spawns a creature of the creature class. Creatures are listed in the order they were spawned.
/// Throws std::invalid_argument when a live actor already has that id.
BRIMWARDEN_FRAMEWORK_API AActor* SpawnCreature(std::int64_t id, std::int32_t team,
                                               Vector3 position);
/// Spawns an actor of another class (not listed by GetAllActorsOfClass for the creature class).
BRIMWARDEN_FRAMEWORK_API AActor* SpawnForeignActor(std::int64_t id, Vector3 position);
/// Lets a test change the list that "UGameplayStatics.GetAllActorsOfClass" hands back (insert
/// nulls, foreign actors, stale pointers) before the game writes it into the caller's array.
/// Pass nullptr to stop.
BRIMWARDEN_FRAMEWORK_API void SetActorListHook(std::function<void(std::vector<AActor*>&)> hook);
/// Removes or restores the creature's root component ("AActor.RootComponent" becomes null).
BRIMWARDEN_FRAMEWORK_API void SetRootComponentPresent(std::int64_t id, bool present);
BRIMWARDEN_FRAMEWORK_API void SetTeam(std::int64_t id, std::int32_t team);
BRIMWARDEN_FRAMEWORK_API AActor* FindCreature(std::int64_t id);         // null once destroyed
BRIMWARDEN_FRAMEWORK_API std::int64_t CreatureId(const AActor* actor);  // -1 if unknown
BRIMWARDEN_FRAMEWORK_API bool IsDestroyed(std::int64_t id);
BRIMWARDEN_FRAMEWORK_API std::size_t AliveCreatureCount();
/// The game itself destroys the creature (not the plugin); its memory goes back later.
BRIMWARDEN_FRAMEWORK_API void DestroyByGame(std::int64_t id);
/// How many ticks after its destruction an actor's memory is reclaimed (made inaccessible, so a
/// stale pointer faults). Default 2; 0 reclaims at once.
BRIMWARDEN_FRAMEWORK_API void SetReclaimDelayTicks(int ticks);
/// How many reclaimed actors' memory stays inaccessible before the oldest is reused for a new
/// actor (default 4096; 0 restores it). Fewer make a stale pointer more likely to reach a new
/// creature.
BRIMWARDEN_FRAMEWORK_API void SetReclaimedPagesKept(std::size_t pages);
/// The first actors of a world (since the last ResetWorld) each have a page of memory of their
/// own, and any read through a stale pointer to one of them faults once its memory is reclaimed.
/// The others share pages (a page each would take 4 GiB for a million actors): a stale pointer to
/// one of those reads a fill whose pointers lead to memory that is never accessible, so the
/// game's functions fault on it and CreatureId answers -1, but a field read directly through it
/// gives a meaningless value.
inline constexpr std::size_t kActorsWithOwnPage = 65536;

struct CreatureInfo {
  std::int64_t id;
  std::int32_t team;
  Vector3 position;
  bool destroyed;
  std::int64_t destroyed_at_tick;  // -1 while alive
  int destroy_requests;            // "AActor.Destroy" calls received
};
/// Every creature spawned since the last ResetWorld, in spawn order.
BRIMWARDEN_FRAMEWORK_API std::vector<CreatureInfo> Creatures();

/// Adds a connected player with its own controller.
BRIMWARDEN_FRAMEWORK_API AShooterPlayerController* AddPlayer(const std::string& name, bool admin);
BRIMWARDEN_FRAMEWORK_API AShooterPlayerController* FindPlayer(const std::string& name);
BRIMWARDEN_FRAMEWORK_API void MovePlayer(AShooterPlayerController* player, Vector3 position);

// ---- Fault injection -------------------------------------------------------------------------

/// The next `count` calls of the named game function throw std::runtime_error("injected: NAME").
BRIMWARDEN_FRAMEWORK_API void ThrowFromGameFunction(const std::string& name, int count = 1);
/// The next `count` calls of the named game function read through a null pointer (a real fault).
BRIMWARDEN_FRAMEWORK_API void FaultInGameFunction(const std::string& name, int count = 1);
/// From now on, `percent` (0 to 100) of the calls of the named game function fail, drawn with
/// `seed`: half of the failures throw as ThrowFromGameFunction does, half fault as
/// FaultInGameFunction does. 0 stops it. The counts of InjectedFailuresOf are kept.
BRIMWARDEN_FRAMEWORK_API void FailGameFunctionAtRate(const std::string& name, double percent,
                                                     std::uint64_t seed);
struct InjectedFailures {
  std::int64_t throws = 0;
  std::int64_t faults = 0;
};
/// How many failures FailGameFunctionAtRate has injected into the named function so far.
BRIMWARDEN_FRAMEWORK_API InjectedFailures InjectedFailuresOf(const std::string& name);
/// How many times the named game function has been entered since the process started, calls
/// that then threw or faulted included.
BRIMWARDEN_FRAMEWORK_API std::int64_t GameFunctionCalls(const std::string& name);

// ---- Framework dispatch ----------------------------------------------------------------------

/// Runs one server tick: every registered tick callback, then reclaims due actor memory.
BRIMWARDEN_FRAMEWORK_API void Tick(float delta_seconds = 1.0F / 30.0F);
BRIMWARDEN_FRAMEWORK_API std::int64_t TickCount();
/// `player` sends a chat message; it is dispatched to the chat command named by its first word
/// (compared without regard to case). Returns false when no command took it.
BRIMWARDEN_FRAMEWORK_API bool SendChat(AShooterPlayerController* player,
                                       const std::u16string& message,
                                       EChatSendMode::Type mode = EChatSendMode::GlobalChat);
/// An RCON client sends `command`; dispatched by its first word. Returns false when none took it.
BRIMWARDEN_FRAMEWORK_API bool SendRcon(const std::string& command, std::int32_t request_id);

// ---- Events
// --------------------------------------------------------------------------------------

enum class EventKind { kLog, kChat, kRcon, kDestroy, kRegister, kRemove };

/// One thing that happened in the stand-in, in order.
struct Event {
  EventKind kind;
  std::string level;          // kLog: "info", "warning", "error", ...
  std::string text;           // kLog: message; kChat: message text (UTF-8); kRcon: reply text
  std::string to;             // kChat: the receiving player's name
  std::string from;           // kChat: the sender name
  double received_time = 0;   // kChat
  std::int32_t id = 0;        // kRcon: request id
  std::int64_t creature = 0;  // kDestroy: creature id
  std::int64_t tick = 0;      // kDestroy: tick counter when the request came
  std::string registration;   // kRegister, kRemove: "tick", "rcon", "chat"
  std::string name;           // kRegister, kRemove: the name passed
};
BRIMWARDEN_FRAMEWORK_API std::vector<Event> Events();
BRIMWARDEN_FRAMEWORK_API void ClearEvents();
/// Called for every event as it happens (after it is recorded). Pass nullptr to stop.
BRIMWARDEN_FRAMEWORK_API void SetEventListener(std::function<void(const Event&)> listener);

/// The names currently registered of one kind ("tick", "rcon", "chat"), in registration order.
BRIMWARDEN_FRAMEWORK_API std::vector<std::string> RegisteredNames(const std::string& kind);

}  // namespace standin
