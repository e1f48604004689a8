// The game world: classes, actors (creatures, other actors, player controllers), the game
// functions that act on them, and the destruction of actors with their memory reclaimed a few
// ticks later.
//
// Each actor's memory (actor_pool.cpp) holds the fields the plugin reads by offset and its root
// scene component. What the stand-in knows about an actor beyond that (its id, whether it was
// destroyed and when) lives in a record outside that memory, so it survives the memory being
// reclaimed. Records are kept in spawn order, which is the order the game lists
// actors in.
#include <cstddef>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal.h"

namespace standin {
namespace {

using internal::EnterGameFunction;
using internal::GameFunction;

struct ClassObject {
  const char* name;
  const ClassObject* super;
};

// The class tree the plugin can meet. Constant-initialised, so they exist before any caller.
constexpr ClassObject kActorClass{"AActor", nullptr};
constexpr ClassObject kCharacterClass{"APrimalCharacter", &kActorClass};
constexpr ClassObject kCreatureClass{"APrimalDinoCharacter", &kCharacterClass};
constexpr ClassObject kControllerClass{"AShooterPlayerController", &kActorClass};
constexpr ClassObject kStaticMeshClass{"AStaticMeshActor", &kActorClass};
constexpr ClassObject kSceneComponentClass{"USceneComponent", nullptr};

constexpr std::uint64_t kActorMagic = 0x524F544341'4E4942ULL;  // marks memory as an actor

struct SceneComponentObject {
  const ClassObject* cls;
  Vector3 relative_location;
};

/// An actor as laid out in its memory: the fields reached by offset through GetAddress.
struct ActorObject {
  const ClassObject* cls;  // first, as every game object's class is
  std::uint64_t magic;
  std::uint64_t record;  // index of the actor's record
  std::int32_t targeting_team;
  SceneComponentObject* root_component;
  Vector3 default_actor_location;
  std::uint8_t is_admin;
  SceneComponentObject component;  // the actor's own root component
};
static_assert(sizeof(ActorObject) <= internal::kActorBytes);

struct ActorRecord {
  std::int64_t id;  // -1 for player controllers
  const ClassObject* cls;
  ActorObject* object;  // null once the memory is reclaimed
  bool destroyed = false;
  std::int64_t destroyed_at_tick = -1;
  int destroy_requests = 0;
  // Taken when the actor is destroyed, since its memory goes away.
  std::int32_t team = 0;
  Vector3 position{};
};

struct WorldObject {
  std::uint64_t magic;
};

struct World {
  WorldObject object{kActorMagic};
  std::vector<ActorRecord> records;                          // spawn order
  std::unordered_map<std::int64_t, std::size_t> by_id;       // the newest actor with that id
  std::vector<std::pair<std::string, std::size_t>> players;  // in joining order
  std::multimap<std::int64_t, std::size_t> reclaim_due;      // tick -> record
  std::function<void(std::vector<AActor*>&)> list_hook;
  std::vector<AActor*> listed;  // GetAllActorsOfClass's list, kept for its storage
  int reclaim_delay = 2;
  std::int64_t tick = 0;
  std::size_t alive_creatures = 0;
};

World& TheWorld() {
  static auto& world = *new World;  // never destroyed: see internal.h
  return world;
}

bool ClassIsA(const ClassObject* cls, const ClassObject* wanted) {
  for (; cls != nullptr; cls = cls->super) {
    if (cls == wanted) return true;
  }
  return false;
}

AActor* AsActor(ActorObject* object) { return reinterpret_cast<AActor*>(object); }

std::size_t Spawn(std::int64_t id, const ClassObject* cls, std::int32_t team, Vector3 position) {
  World& world = TheWorld();
  auto* object = static_cast<ActorObject*>(internal::AcquireActorMemory());
  const std::size_t index = world.records.size();
  object->cls = cls;
  object->magic = kActorMagic;
  object->record = index;
  object->targeting_team = team;
  object->component = SceneComponentObject{&kSceneComponentClass, position};
  object->root_component = &object->component;
  world.records.push_back(ActorRecord{id, cls, object});
  if (ClassIsA(cls, &kCreatureClass)) ++world.alive_creatures;
  return index;
}

std::size_t SpawnWithId(std::int64_t id, const ClassObject* cls, std::int32_t team,
                        Vector3 position) {
  World& world = TheWorld();
  const auto found = world.by_id.find(id);
  if (found != world.by_id.end() && !world.records[found->second].destroyed) {
    throw std::invalid_argument("stand-in: an actor with id " + std::to_string(id) +
                                " is already in the world");
  }
  const std::size_t index = Spawn(id, cls, team, position);
  world.by_id[id] = index;
  return index;
}

/// The live actor with that id; throws for an unknown or destroyed id.
ActorObject& LiveActor(std::int64_t id) {
  World& world = TheWorld();
  const auto found = world.by_id.find(id);
  if (found == world.by_id.end() || world.records[found->second].destroyed) {
    throw std::invalid_argument("stand-in: no live actor with id " + std::to_string(id));
  }
  return *world.records[found->second].object;
}

void Reclaim(std::size_t index) {
  ActorRecord& record = TheWorld().records[index];
  if (record.object == nullptr) return;
  internal::ReclaimActorMemory(record.object);
  record.object = nullptr;
}

/// Takes the actor out of the world; its memory goes back after the reclaim delay.
void MarkDestroyed(std::size_t index) {
  World& world = TheWorld();
  ActorRecord& record = world.records[index];
  if (record.destroyed) return;
  record.destroyed = true;
  record.destroyed_at_tick = world.tick;
  record.team = record.object->targeting_team;
  record.position = record.object->component.relative_location;
  if (ClassIsA(record.cls, &kCreatureClass)) --world.alive_creatures;
  if (world.reclaim_delay <= 0) {
    Reclaim(index);
  } else {
    world.reclaim_due.emplace(world.tick + world.reclaim_delay, index);
  }
}

void RecordDestroy(const ActorRecord& record) {
  Event event{};
  event.kind = EventKind::kDestroy;
  event.creature = record.id;
  event.tick = TheWorld().tick;
  internal::RecordEvent(event);
}

/// Reads the actor's header through the pointer, as the game does: a reclaimed actor faults here.
/// Memory that holds no actor (a page given back long ago, garbage) faults too, after a report.
std::size_t RecordOf(const void* actor, const char* operation) {
  const auto* object = static_cast<const ActorObject*>(actor);
  // A reclaimed actor in a shared page reads as the fill: it faults as a protected page does.
  if (static_cast<const void*>(object->cls) == internal::ReclaimedFill()) internal::FaultNow();
  const std::uint64_t record = object->record;
  if (object->magic != kActorMagic || record >= TheWorld().records.size()) {
    std::fprintf(stderr, "stand-in: %s on %p, which holds no actor\n", operation, actor);
    std::fflush(stderr);
    internal::FaultNow();
  }
  return static_cast<std::size_t>(record);
}

/// Appends to the caller's array with the game's own growth rule and allocator.
void AppendToGameArray(HostArray<AActor*>* out, const std::vector<AActor*>& actors) {
  struct ArrayLayout {
    AActor** data;
    std::int32_t count;
    std::int32_t capacity;
  };
  static_assert(sizeof(ArrayLayout) == sizeof(HostArray<AActor*>));
  auto* array = reinterpret_cast<ArrayLayout*>(out);
  array->count = 0;  // the storage is kept
  for (AActor* actor : actors) {
    if (array->count == array->capacity) {
      const std::int32_t count = array->count + 1;
      std::int32_t capacity = 0;
      if (array->capacity == 0 && count <= 4) {
        capacity = 4;
      } else {
        const std::int64_t grown = std::int64_t{count} + 3 * std::int64_t{count} / 8 + 16;
        capacity = grown > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(grown);
      }
      const std::size_t bytes = static_cast<std::size_t>(capacity) * sizeof(AActor*);  // NOLINT

      void* storage = array->data == nullptr ? internal::MemoryMalloc(bytes, 0)
                                             : internal::MemoryRealloc(array->data, bytes);
      if (storage == nullptr) throw std::bad_alloc();
      array->data = static_cast<AActor**>(storage);
      array->capacity = capacity;
    }
    array->data[array->count++] = actor;
  }
}

// The strings of a chat message the game received by value: freed when the receiving call ends.
class DestroyedWithTheCall {
 public:
  explicit DestroyedWithTheCall(const ChatMessage& message) : message_(message) {}
  DestroyedWithTheCall(const DestroyedWithTheCall&) = delete;
  DestroyedWithTheCall& operator=(const DestroyedWithTheCall&) = delete;
  ~DestroyedWithTheCall() {
    for (const FStringView16* field :
         {&message_.SenderName, &message_.SenderSteamName, &message_.SenderTribeName,
          &message_.Message, &message_.Receiver, &message_.UserId}) {
      if (field->Data != nullptr) internal::GameFree(const_cast<char16_t*>(field->Data));
    }
  }

 private:
  const ChatMessage& message_;
};

}  // namespace

namespace internal {

UClass* GetCreatureClass() {
  EnterGameFunction(GameFunction::kGetPrivateStaticClass);
  return reinterpret_cast<UClass*>(const_cast<ClassObject*>(&kCreatureClass));
}

void GetAllActorsOfClass(UWorld* world_object, UClass* cls, HostArray<AActor*>* out) {
  EnterGameFunction(GameFunction::kGetAllActorsOfClass);
  World& world = TheWorld();
  if (world_object != CurrentWorld())
    Fatal("UGameplayStatics.GetAllActorsOfClass with a world that is not the game's");
  const auto* wanted = reinterpret_cast<const ClassObject*>(cls);
  // Refilled in place: a million creatures are listed without growing a new list each time.
  std::vector<AActor*>& actors = world.listed;
  actors.clear();
  actors.reserve(world.records.size());
  for (const ActorRecord& record : world.records) {
    if (!record.destroyed && ClassIsA(record.cls, wanted)) actors.push_back(AsActor(record.object));
  }
  if (world.list_hook) world.list_hook(actors);
  AppendToGameArray(out, actors);
}

bool IsA(UObject* object, UClass* cls) {
  EnterGameFunction(GameFunction::kIsA);
  const ClassObject* own = *reinterpret_cast<const ClassObject* const*>(object);
  return ClassIsA(own, reinterpret_cast<const ClassObject*>(cls));
}

Vector3* GetGroundLocation(APrimalCharacter* self, Vector3* result, const Vector3* offset_up,
                           const Vector3* offset_down) {
  EnterGameFunction(GameFunction::kGetGroundLocation);
  const auto* actor = reinterpret_cast<const ActorObject*>(self);
  // An actor without a root component stands at the origin, as the game places it.
  const Vector3 position =
      actor->root_component != nullptr ? actor->root_component->relative_location : Vector3{};
  float top = position.Z + offset_up->Z;
  float bottom = position.Z + offset_down->Z;
  if (top < bottom) std::swap(top, bottom);
  const float ground = TerrainHeight(position.X, position.Y);
  if (ground >= bottom && ground <= top) {  // false for NaN: no ground there
    *result = Vector3{position.X, position.Y, ground};
  } else {
    result->Z = 0.0F;
  }
  return result;
}

bool DestroyActor(AActor* self, bool /*net_force*/, bool /*should_modify_level*/) {
  EnterGameFunction(GameFunction::kDestroy);
  const std::size_t index = RecordOf(self, "AActor.Destroy");
  ActorRecord& record = TheWorld().records[index];
  ++record.destroy_requests;
  RecordDestroy(record);
  MarkDestroyed(index);  // a repeated request for a destroyed actor changes nothing more
  return true;
}

void ClientChatMessage(AShooterPlayerController* self, ChatMessage message) {
  // The game takes the message by value and destroys it when the call ends, however it ends: its
  // strings are freed through "FMemory.Free" once the message is recorded, or at the failure.
  const DestroyedWithTheCall strings(message);
  EnterGameFunction(GameFunction::kClientChatMessage);
  const std::size_t index = RecordOf(self, "AShooterPlayerController.ClientChatMessage");
  World& world = TheWorld();
  if (world.records[index].cls != &kControllerClass) {
    Fatal("AShooterPlayerController.ClientChatMessage on an actor that is not a player controller");
  }
  Event event{};
  event.kind = EventKind::kChat;
  for (const auto& [name, record] : world.players) {
    if (record == index) event.to = name;
  }
  event.from = Utf16ToUtf8(GameStringView(message.SenderName.Data, message.SenderName.Count));
  event.text = Utf16ToUtf8(GameStringView(message.Message.Data, message.Message.Count));
  event.received_time = message.ReceivedTime;
  RecordEvent(event);
}

void SendMessageW(RCONClientConnection* /*self*/, std::int32_t request_id, std::int32_t /*zero*/,
                  FString* message) {
  EnterGameFunction(GameFunction::kSendMessageW);
  Event event{};
  event.kind = EventKind::kRcon;
  event.id = request_id;
  event.text = Utf16ToUtf8(message->View());
  RecordEvent(event);
}

FieldOffsets GetFieldOffsets() {
  return FieldOffsets{offsetof(ActorObject, targeting_team), offsetof(ActorObject, root_component),
                      offsetof(SceneComponentObject, relative_location),
                      offsetof(ActorObject, default_actor_location),
                      offsetof(ActorObject, is_admin)};
}

UWorld* CurrentWorld() { return reinterpret_cast<UWorld*>(&TheWorld().object); }

void ReclaimDueActors() {
  World& world = TheWorld();
  while (!world.reclaim_due.empty() && world.reclaim_due.begin()->first <= world.tick) {
    const std::size_t index = world.reclaim_due.begin()->second;
    world.reclaim_due.erase(world.reclaim_due.begin());
    Reclaim(index);
  }
}

std::int64_t& TickCounter() { return TheWorld().tick; }

}  // namespace internal

void ResetWorld() {
  World& world = TheWorld();
  internal::ReleaseAllActorMemory();
  internal::SetMaxReclaimedKept(0);
  world.records.clear();
  world.records.shrink_to_fit();
  world.by_id.clear();
  world.players.clear();
  world.reclaim_due.clear();
  world.list_hook = nullptr;
  world.listed.clear();
  world.listed.shrink_to_fit();
  world.reclaim_delay = 2;
  world.tick = 0;
  world.alive_creatures = 0;
  internal::ResetTerrain();
  internal::ClearInjections();
}

AActor* SpawnCreature(std::int64_t id, std::int32_t team, Vector3 position) {
  return AsActor(TheWorld().records[SpawnWithId(id, &kCreatureClass, team, position)].object);
}

AActor* SpawnForeignActor(std::int64_t id, Vector3 position) {
  return AsActor(TheWorld().records[SpawnWithId(id, &kStaticMeshClass, 0, position)].object);
}

void SetActorListHook(std::function<void(std::vector<AActor*>&)> hook) {
  TheWorld().list_hook = std::move(hook);
}

void SetRootComponentPresent(std::int64_t id, bool present) {
  ActorObject& actor = LiveActor(id);
  actor.root_component = present ? &actor.component : nullptr;
}

void SetTeam(std::int64_t id, std::int32_t team) { LiveActor(id).targeting_team = team; }

AActor* FindCreature(std::int64_t id) {
  World& world = TheWorld();
  const auto found = world.by_id.find(id);
  if (found == world.by_id.end()) return nullptr;
  const ActorRecord& record = world.records[found->second];
  return record.destroyed ? nullptr : AsActor(record.object);
}

std::int64_t CreatureId(const AActor* actor) {
  // Never reads through a pointer that might fault: the memory is checked first.
  if (!internal::IsActorMemoryAccessible(actor)) return -1;
  const auto* object = reinterpret_cast<const ActorObject*>(actor);
  const World& world = TheWorld();
  if (object->magic != kActorMagic || object->record >= world.records.size()) return -1;
  const ActorRecord& record = world.records[object->record];
  if (record.object != object) return -1;
  return record.id;
}

bool IsDestroyed(std::int64_t id) {
  World& world = TheWorld();
  const auto found = world.by_id.find(id);
  return found != world.by_id.end() && world.records[found->second].destroyed;
}

std::size_t AliveCreatureCount() { return TheWorld().alive_creatures; }

void DestroyByGame(std::int64_t id) {
  World& world = TheWorld();
  const auto found = world.by_id.find(id);
  if (found == world.by_id.end() || world.records[found->second].destroyed) return;
  RecordDestroy(world.records[found->second]);
  MarkDestroyed(found->second);
}

void SetReclaimDelayTicks(int ticks) { TheWorld().reclaim_delay = ticks < 0 ? 0 : ticks; }

void SetReclaimedPagesKept(std::size_t pages) { internal::SetMaxReclaimedKept(pages); }

std::vector<CreatureInfo> Creatures() {
  std::vector<CreatureInfo> creatures;
  for (const ActorRecord& record : TheWorld().records) {
    if (!ClassIsA(record.cls, &kCreatureClass)) continue;
    CreatureInfo info{record.id,
                      record.team,
                      record.position,
                      record.destroyed,
                      record.destroyed_at_tick,
                      record.destroy_requests};
    if (!record.destroyed) {
      info.team = record.object->targeting_team;
      info.position = record.object->component.relative_location;
    }
    creatures.push_back(info);
  }
  return creatures;
}

AShooterPlayerController* AddPlayer(const std::string& name, bool admin) {
  World& world = TheWorld();
  if (FindPlayer(name) != nullptr) {
    throw std::invalid_argument("stand-in: a player named '" + name + "' is already connected");
  }
  const std::size_t index = Spawn(-1, &kControllerClass, 0, Vector3{});
  ActorObject* object = world.records[index].object;
  object->is_admin = admin ? 1 : 0;
  world.players.emplace_back(name, index);
  return reinterpret_cast<AShooterPlayerController*>(object);
}

AShooterPlayerController* FindPlayer(const std::string& name) {
  World& world = TheWorld();
  for (const auto& [player_name, index] : world.players) {
    const ActorRecord& record = world.records[index];
    if (player_name == name && !record.destroyed) {
      return reinterpret_cast<AShooterPlayerController*>(record.object);
    }
  }
  return nullptr;
}

void MovePlayer(AShooterPlayerController* player, Vector3 position) {
  reinterpret_cast<ActorObject*>(player)->default_actor_location = position;
}

}  // namespace standin
