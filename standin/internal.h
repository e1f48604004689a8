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

/// The memory of each actor is one page of its own, so that a reclaimed actor can be made
/// inaccessible without touching its neighbours.
inline constexpr std::size_t kActorPageBytes = 4096;

/// Returns a zeroed, writable page for a new actor.
void* AcquireActorPage();
/// Makes a page inaccessible; a bounded number stay so, the oldest are later reused.
void ReclaimActorPage(void* page);
/// Tells whether `pointer` is the start of an actor page that can be read (not reclaimed).
bool IsActorPageAccessible(const void* pointer);
/// Sets how many reclaimed pages stay protected before the oldest is reused (0: the default).
void SetMaxProtectedPages(std::size_t pages);
/// Returns every page to the system (all actors are gone).
void ReleaseAllActorPages();

// ---- Terrain ---------------------------------------------------------------------------------

float TerrainHeight(float x, float y);
void ResetTerrain();

}  // namespace standin::internal
