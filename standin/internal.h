// Internal pieces of the stand-in framework and game server, shared between its source files.
//
// All state is process-wide and lives in function-local statics that are never destroyed: the
// plugin library may be unloaded during process exit and still return its storage through
// "FMemory.Free", so nothing here may go away before it.
//
// The game state is touched by one thread (the game thread of whoever drives the stand-in). Only
// the log sinks and the event list may be reached from other threads; they carry their own locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "brimwarden/standin/standin.h"

namespace standin::internal {

// ---- Text ------------------------------------------------------------------------------------

/// Converts UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
/// Converts UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
/// Returns the characters of a game string before its terminator (count 0 is the empty string).
std::u16string_view GameStringView(const char16_t* data, std::int32_t count);

/// The game's string layout: element pointer, count (with the terminator), capacity.
struct GameStringLayout {
  char16_t* data;
  std::int32_t count;
  std::int32_t capacity;
};
static_assert(sizeof(GameStringLayout) == sizeof(FString));

/// A game-side string with the game's layout {data, count, capacity}, whose storage belongs to
/// the stand-in (not the game allocator). Handed to the plugin as FString*.
class GameString {
 public:
  explicit GameString(std::u16string_view text);
  GameString(const GameString&) = delete;
  GameString& operator=(const GameString&) = delete;
  FString* AsFString() { return reinterpret_cast<FString*>(&layout_); }
  GameStringLayout Layout() const { return layout_; }

 private:
  std::u16string storage_;
  GameStringLayout layout_{};
};

// ---- Events ----------------------------------------------------------------------------------

void RecordEvent(const Event& event);

// ---- Log sinks -------------------------------------------------------------------------------

/// Points the log file sink at DIR/ArkApi/Logs/server.log.
void RedirectLogFile(const std::string& dir);

// ---- Allocator (FMemory) ---------------------------------------------------------------------

void* MemoryMalloc(std::size_t bytes, std::uint32_t alignment);
void* MemoryRealloc(void* block, std::size_t bytes);
void MemoryFree(void* block);
/// Frees a block as the game's own code does (a string it destroys, say): counted as a call of
/// "FMemory.Free", a block it did not hand out reported the same way, but never failing on request.
void GameFree(void* block) noexcept;

// ---- Game functions and fault injection ------------------------------------------------------

/// Every game function the stand-in offers; the index of its fault-injection counters.
enum class GameFunction : int {
  kMalloc,
  kRealloc,
  kFree,
  kGetPrivateStaticClass,
  kGetAllActorsOfClass,
  kIsA,
  kGetGroundLocation,
  kDestroy,
  kClientChatMessage,
  kSendMessageW,
  kCount,
};

/// Runs at the top of every game function: throws or faults when a test asked for it.
void EnterGameFunction(GameFunction function);

/// Drops every pending throw and fault.
void ClearInjections();

/// Reads through a null pointer: a real access violation, as the game's own code would make.
void FaultNow();

/// Throws std::logic_error(kNotSetUpMessage) until the host has called SetUp.
void RequireSetUp();

/// Prints "stand-in: MESSAGE" to stderr and aborts (a programming error of the caller).
[[noreturn]] void Fatal(const std::string& message);

// The game functions, with the signatures the plugin calls them with.
UClass* GetCreatureClass();
void GetAllActorsOfClass(UWorld* world, UClass* cls, HostArray<AActor*>* out);
bool IsA(UObject* object, UClass* cls);
Vector3* GetGroundLocation(APrimalCharacter* self, Vector3* result, const Vector3* offset_up,
                           const Vector3* offset_down);
bool DestroyActor(AActor* self, bool net_force, bool should_modify_level);
void ClientChatMessage(AShooterPlayerController* self, ChatMessage message);
void SendMessageW(RCONClientConnection* self, std::int32_t request_id, std::int32_t zero,
                  FString* message);

/// Byte offsets of the game fields inside their objects.
struct FieldOffsets {
  std::size_t targeting_team;
  std::size_t root_component;
  std::size_t relative_location;
  std::size_t default_actor_location;
  std::size_t is_admin;
};
FieldOffsets GetFieldOffsets();

// ---- World -----------------------------------------------------------------------------------

UWorld* CurrentWorld();
/// Reclaims the memory of destroyed actors whose delay has run out at the current tick.
void ReclaimDueActors();
/// The tick counter (ticks run since the last ResetWorld).
std::int64_t& TickCounter();

// ---- Actor memory ----------------------------------------------------------------------------

/// The memory every actor fits in. The first actors of a world get a page each, so that a
/// reclaimed one can be made inaccessible without touching its neighbours; in a large world the
/// others share pages (actor_pool.cpp).
inline constexpr std::size_t kActorBytes = 128;

/// Returns zeroed, writable memory for a new actor.
void* AcquireActorMemory();
/// Reclaims an actor's memory: its page made inaccessible, or in a shared page every word of it
/// set to ReclaimedFill(). A bounded number stay so; the oldest are later reused.
void ReclaimActorMemory(void* actor);
/// Tells whether `pointer` is the start of an actor's memory that can be read (not reclaimed).
bool IsActorMemoryAccessible(const void* pointer);
/// The address a reclaimed actor in a shared page is filled with: a page that is never accessible.
const void* ReclaimedFill();
/// Sets how many reclaimed actors stay inaccessible before the oldest is reused (0: the default).
void SetMaxReclaimedKept(std::size_t actors);
/// Returns every actor's memory to the system (all actors are gone).
void ReleaseAllActorMemory();

// ---- Terrain ---------------------------------------------------------------------------------

float TerrainHeight(float x, float y);
void ResetTerrain();

}  // namespace standin::internal
