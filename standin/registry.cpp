// Name resolution ("Class.Member" names to game functions and field offsets) and fault injection.
// The plugin never tests what GetAddress answers, so an unknown name is a programming error: the
// stand-in names it and aborts rather than hand back an address that would fault later. Before
// its host has set it up, GetAddress throws instead (see standin::SetUp), so that a plugin loaded
// into a process that is not one of our hosts never reaches the abort.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "internal.h"

namespace standin {
namespace {

using internal::GameFunction;

struct FunctionEntry {
  void* address;
  GameFunction function;
};

struct Registry {
  std::unordered_map<std::string, FunctionEntry> functions;
  std::unordered_map<std::string, std::size_t> fields;
};

template <typename Function>
void* AddressOf(Function* function) {
  return reinterpret_cast<void*>(function);
}

Registry& TheRegistry() {
  static auto& registry = *[] {
    auto* made = new Registry;  // never destroyed: see internal.h
    auto& functions = made->functions;
    functions["FMemory.Malloc"] = {AddressOf(&internal::MemoryMalloc), GameFunction::kMalloc};
    functions["FMemory.Realloc"] = {AddressOf(&internal::MemoryRealloc), GameFunction::kRealloc};
    functions["FMemory.Free"] = {AddressOf(&internal::MemoryFree), GameFunction::kFree};
    functions["APrimalDinoCharacter.GetPrivateStaticClass"] = {
        AddressOf(&internal::GetCreatureClass), GameFunction::kGetPrivateStaticClass};
    functions["UGameplayStatics.GetAllActorsOfClass"] = {AddressOf(&internal::GetAllActorsOfClass),
                                                         GameFunction::kGetAllActorsOfClass};
    functions["UObjectBaseUtility.IsA"] = {AddressOf(&internal::IsA), GameFunction::kIsA};
    functions["APrimalCharacter.GetGroundLocation"] = {AddressOf(&internal::GetGroundLocation),
                                                       GameFunction::kGetGroundLocation};
    functions["AActor.Destroy"] = {AddressOf(&internal::DestroyActor), GameFunction::kDestroy};
    functions["AShooterPlayerController.ClientChatMessage"] = {
        AddressOf(&internal::ClientChatMessage), GameFunction::kClientChatMessage};
    functions["RCONClientConnection.SendMessageW"] = {AddressOf(&internal::SendMessageW),
                                                      GameFunction::kSendMessageW};
    const internal::FieldOffsets offsets = internal::GetFieldOffsets();
    made->fields["AActor.TargetingTeam"] = offsets.targeting_team;
    made->fields["AActor.RootComponent"] = offsets.root_component;
    made->fields["USceneComponent.RelativeLocation"] = offsets.relative_location;
    made->fields["AActor.DefaultActorLocation"] = offsets.default_actor_location;
    made->fields["AShooterPlayerController.bIsAdmin"] = offsets.is_admin;
    return made;
  }();
  return registry;
}

struct Injection {
  int throws = 0;
  int faults = 0;
  // A share of the calls that fail, drawn with a generator of its own, and what it injected.
  double failure_rate = 0;  // 0 to 1
  std::uint64_t random_state = 0;
  InjectedFailures injected{};
};

// splitmix64: the same draws on every platform.
std::uint64_t NextRandom(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double UnitRandom(std::uint64_t& state) {
  return static_cast<double>(NextRandom(state) >> 11) * 0x1.0p-53;
}

struct Injections {
  std::array<Injection, static_cast<std::size_t>(GameFunction::kCount)> pending{};
  std::array<std::string, static_cast<std::size_t>(GameFunction::kCount)> names{};
  std::array<std::int64_t, static_cast<std::size_t>(GameFunction::kCount)> calls{};
  int armed = 0;  // how many entries have something pending: the fast path tests only this
};

Injections& TheInjections() {
  static auto& injections = *new Injections;  // never destroyed: see internal.h
  return injections;
}

[[noreturn]] void UnknownName(const std::string& name) {
  internal::Fatal("unknown game name '" + name + "'");
}

const FunctionEntry& FindFunction(const std::string& name) {
  Registry& registry = TheRegistry();
  const auto found = registry.functions.find(name);
  if (found == registry.functions.end()) UnknownName(name);
  return found->second;
}

void Recount(Injections& injections) {
  injections.armed = 0;
  for (const Injection& entry : injections.pending) {
    if (entry.throws > 0 || entry.faults > 0 || entry.failure_rate > 0) ++injections.armed;
  }
}

/// Sets what the named game function is to inject (`arm` changes its entry) and recounts.
template <typename Arm>
void Inject(const std::string& name, Arm arm) {
  const FunctionEntry& entry = FindFunction(name);
  Injections& injections = TheInjections();
  const auto index = static_cast<std::size_t>(entry.function);
  arm(injections.pending[index]);
  injections.names[index] = name;
  Recount(injections);
}

// Reads through a null pointer: a real access violation inside the game function. The volatile
// pointer and sink keep the compiler from proving the read away.
// The sanitizers would report the read instead of letting it fault, so they stay out of it.
#if defined(__GNUC__)
__attribute__((noinline, no_sanitize("address", "undefined")))
#endif
void ReadThroughNull() {
  int* volatile pointer = nullptr;
  volatile int sink = *pointer;  // NOLINT(clang-analyzer-core.NullDereference): the point
  (void)sink;
}

}  // namespace

namespace internal {

void Fatal(const std::string& message) {
  std::fprintf(stderr, "stand-in: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

void EnterGameFunction(GameFunction function) {
  Injections& injections = TheInjections();
  ++injections.calls[static_cast<std::size_t>(function)];
  if (injections.armed == 0) return;
  Injection& entry = injections.pending[static_cast<std::size_t>(function)];
  if (entry.throws > 0) {
    --entry.throws;
    Recount(injections);
    throw std::runtime_error("injected: " + injections.names[static_cast<std::size_t>(function)]);
  }
  if (entry.faults > 0) {
    --entry.faults;
    Recount(injections);
    ReadThroughNull();
  }
  if (entry.failure_rate > 0 && UnitRandom(entry.random_state) < entry.failure_rate) {
    // Half of the failures throw, half are real access violations; counted before either.
    if (NextRandom(entry.random_state) % 2 == 0) {
      ++entry.injected.throws;
      throw std::runtime_error("injected: " + injections.names[static_cast<std::size_t>(function)]);
    }
    ++entry.injected.faults;
    ReadThroughNull();
  }
}

void FaultNow() { ReadThroughNull(); }

void ClearInjections() {
  Injections& injections = TheInjections();
  for (Injection& entry : injections.pending) entry = Injection{};
  injections.armed = 0;
}

}  // namespace internal

void ThrowFromGameFunction(const std::string& name, int count) {
  Inject(name, [count](Injection& injection) { injection.throws = count > 0 ? count : 0; });
}

void FaultInGameFunction(const std::string& name, int count) {
  Inject(name, [count](Injection& injection) { injection.faults = count > 0 ? count : 0; });
}

void FailGameFunctionAtRate(const std::string& name, double percent, std::uint64_t seed) {
  Inject(name, [percent, seed](Injection& injection) {
    injection.failure_rate = percent > 0 ? percent / 100.0 : 0.0;
    injection.random_state = seed;
  });
}

InjectedFailures InjectedFailuresOf(const std::string& name) {
  const FunctionEntry& entry = FindFunction(name);
  return TheInjections().pending[static_cast<std::size_t>(entry.function)].injected;
}

std::int64_t GameFunctionCalls(const std::string& name) {
  const FunctionEntry& entry = FindFunction(name);
  return TheInjections().calls[static_cast<std::size_t>(entry.function)];
}

}  // namespace standin

void* GetAddress(const std::string& name) {
  standin::internal::RequireSetUp();
  return standin::FindFunction(name).address;
}

// The field's address is computed from the object's address alone, as the game's offsets are:
// nothing is read here, so a stale object faults where the caller reads the field.
void* GetAddress(const void* base, const std::string& name) {
  standin::internal::RequireSetUp();
  standin::Registry& registry = standin::TheRegistry();
  const auto found = registry.fields.find(name);
  if (found == registry.fields.end()) standin::UnknownName(name);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a null or stale base must not be undefined here
  return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(base) + found->second);
}
