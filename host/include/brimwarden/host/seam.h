// The seam between the plugin and the server: everything the plugin takes from the framework and
// from the game, one line per entry. Plugin code outside host/ names none of it directly: it
// calls the constants and functions that host/ makes from these lines (tests/check_seam.py fails
// the build's tests otherwise). docs/building-for-a-server.md is written from this table.
//
// Each entry is marked with how much we know of it:
//   kGiven    the framework's or the game's own name, signature or layout, as the plugin is
//             written against them;
//   kAssumed  an assumption that our stand-in makes and a real server may not share: check it
//             against the framework's SDK before building for a server.
//
// Adding a game function or field: one line in BRIMWARDEN_GAME_FUNCTIONS or BRIMWARDEN_GAME_FIELDS
// (constant, C++ type, "Class.Member", marking), then use brimwarden::host::kConstant from
// "brimwarden/host/game_names.h". The stand-in must answer the name too (standin/registry.cpp).
#pragma once

namespace brimwarden::host {

enum class SeamOrigin { kGiven, kAssumed };

}  // namespace brimwarden::host

// clang-format off

// The game allocator, which every HostArray and FString uses: X(constant, signature, name, marking).
#define BRIMWARDEN_GAME_ALLOCATOR(X)                                                              \
  X(kMalloc,  void*(std::size_t, std::uint32_t), "FMemory.Malloc",  kGiven)                      \
  X(kRealloc, void*(void*, std::size_t),         "FMemory.Realloc", kGiven)                      \
  X(kFree,    void(void*),                       "FMemory.Free",    kGiven)

// Game functions, called with the object (if any) first: X(constant, signature, name, marking).
#define BRIMWARDEN_GAME_FUNCTIONS(X)                                                              \
  X(kGetCreatureClass,    UClass*(),                                                      "APrimalDinoCharacter.GetPrivateStaticClass", kGiven) \
  X(kGetAllActorsOfClass, void(UWorld*, UClass*, HostArray<AActor*>*),                    "UGameplayStatics.GetAllActorsOfClass",       kGiven) \
  X(kIsA,                 bool(UObject*, UClass*),                                        "UObjectBaseUtility.IsA",                     kGiven) \
  X(kGetGroundLocation,   Vector3*(APrimalCharacter*, Vector3*, const Vector3*, const Vector3*), "APrimalCharacter.GetGroundLocation",   kGiven) \
  X(kDestroy,             bool(AActor*, bool, bool),                                      "AActor.Destroy",                             kGiven) \
  X(kClientChatMessage,   void(AShooterPlayerController*, ChatMessage),                   "AShooterPlayerController.ClientChatMessage", kGiven) \
  X(kSendRconMessage,     void(RCONClientConnection*, std::int32_t, std::int32_t, FString*), "RCONClientConnection.SendMessageW",       kGiven)

// Game fields, reached by their offset in the object: X(constant, type, name, marking).
#define BRIMWARDEN_GAME_FIELDS(X)                                                                 \
  X(kTargetingTeam,      std::int32_t,     "AActor.TargetingTeam",              kGiven)           \
  X(kRootComponent,      USceneComponent*, "AActor.RootComponent",              kGiven)           \
  X(kRelativeLocation,   Vector3,          "USceneComponent.RelativeLocation",  kGiven)           \
  X(kControllerLocation, Vector3,          "AActor.DefaultActorLocation",       kGiven)           \
  X(kIsAdmin,            std::uint8_t,     "AShooterPlayerController.bIsAdmin", kAssumed)

// What the framework exports and declares, and what the plugin assumes of its binary form:
// X(kind, name, marking, what the plugin relies on). Declared in framework_api.h, native.h,
// game_types.h and rcon.h; the framework's module is what the plugin links against.
#define BRIMWARDEN_FRAMEWORK_SEAM(X)                                                              \
  X("export",    "ArkApi::GetCommands",           kGiven,   "ICommands& (), fetched afresh before each use")                  \
  X("export",    "ArkApi::GetApiUtils",           kGiven,   "IApiUtils& (), fetched afresh before each use")                  \
  X("export",    "ArkApi::Tools::GetCurrentDir",  kGiven,   "std::string (), the server's directory")                         \
  X("export",    "GetLogSinks",                   kGiven,   "std::vector<spdlog::sink_ptr>& (), the shared log sinks")        \
  X("export",    "GetAddress(name)",              kGiven,   "void* (const std::string&), a game function by \"Class.Member\"") \
  X("export",    "GetAddress(object, name)",      kGiven,   "void* (const void*, const std::string&), a field inside the object") \
  X("interface", "ICommands::RegisterChatCommand", kGiven,  "(const FString&, const ChatCommandCallback&)")                    \
  X("interface", "ICommands::RegisterRconCommand", kGiven,  "(const FString&, const RconCommandCallback&)")                    \
  X("interface", "ICommands::RegisterTickCallback", kGiven, "(const FString&, const TickCallback&)")                           \
  X("interface", "ICommands::RemoveChatCommand",  kGiven,   "(const FString&), result not consulted")                         \
  X("interface", "ICommands::RemoveRconCommand",  kGiven,   "(const FString&), result not consulted")                         \
  X("interface", "ICommands virtual table",       kAssumed, "the operations' places: the console-command pair among them, bool results, a virtual destructor first") \
  X("interface", "IApiUtils::CurrentWorld",       kGiven,   "UWorld* () const")                                               \
  X("interface", "IApiUtils virtual table",       kAssumed, "CurrentWorld in the first place after a virtual destructor")     \
  X("type",      "ArkApi::ChatCommandCallback",   kGiven,   "(AShooterPlayerController*, FString*, EChatSendMode::Type), an owning copyable function object") \
  X("type",      "ArkApi::RconCommandCallback",   kGiven,   "(RCONClientConnection*, RCONPacket*, UWorld*), an owning copyable function object") \
  X("type",      "ArkApi::TickCallback",          kGiven,   "(float), an owning copyable function object")                    \
  X("type",      "std::function",                 kAssumed, "the form of the callable types")                                  \
  X("type",      "EChatSendMode::Type",           kAssumed, "a 32-bit enumeration; its values")                               \
  X("type",      "FString",                       kGiven,   "a HostArray of 16-bit characters, the count including the terminator") \
  X("type",      "HostArray",                     kGiven,   "element pointer, int32 count, int32 capacity; the growth rule")  \
  X("type",      "ChatMessage",                   kGiven,   "the chat record's fields in order")                              \
  X("layout",    "RCONPacket request id",         kGiven,   "the second signed 32-bit field")                                 \
  X("layout",    "RCONPacket body",               kAssumed, "an FString after three signed 32-bit fields (size, id, type)")   \
  X("module",    "framework module",              kAssumed, "libBrimwardenStandin.dll here; the framework's own import library in a server") \
  X("abi",       "C++ ABI and runtime",           kAssumed, "clang for mingw-w64 (Itanium ABI, libstdc++) here; the framework's compiler and runtime in a server") \
  X("abi",       "spdlog",                        kAssumed, "the framework's spdlog and fmt versions, whose sinks the plugin's logger writes through")

// clang-format on
