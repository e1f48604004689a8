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
// Each entry also says who frees what, and when: the last column. Memory that crosses the seam is
// either the game's, the framework's or the plugin's, and only its owner frees it; storage the
// plugin allocates for the game comes from the game allocator, so that either side can free it.
//
// Adding a game function or field: one line in BRIMWARDEN_GAME_FUNCTIONS or BRIMWARDEN_GAME_FIELDS
// (constant, C++ type, "Class.Member", marking, who frees what), then use
// brimwarden::host::kConstant from "brimwarden/host/game_names.h". The stand-in must answer the
// name too (standin/registry.cpp).
#pragma once

namespace brimwarden::host {

enum class SeamOrigin { kGiven, kAssumed };

}  // namespace brimwarden::host

// clang-format off

// The game allocator, which every HostArray and FString uses:
// X(constant, signature, name, marking, who frees what).
#define BRIMWARDEN_GAME_ALLOCATOR(X)                                                              \
  X(kMalloc,  void*(std::size_t, std::uint32_t), "FMemory.Malloc",  kGiven,                      \
    "the caller owns the block until it frees it through FMemory.Free or hands it to the game")   \
  X(kRealloc, void*(void*, std::size_t),         "FMemory.Realloc", kGiven,                      \
    "takes the old block and returns one the caller owns; to 0 bytes it frees the block")         \
  X(kFree,    void(void*),                       "FMemory.Free",    kGiven,                      \
    "frees a block of FMemory.Malloc or FMemory.Realloc that the caller owns, nothing else")

// Game functions, called with the object (if any) first:
// X(constant, signature, name, marking, who frees what).
#define BRIMWARDEN_GAME_FUNCTIONS(X)                                                              \
  X(kGetCreatureClass,    UClass*(),                                                      "APrimalDinoCharacter.GetPrivateStaticClass", kGiven, \
    "the class is the game's and lives as long as the game")                                      \
  X(kGetAllActorsOfClass, void(UWorld*, UClass*, HostArray<AActor*>*),                    "UGameplayStatics.GetAllActorsOfClass",       kGiven, \
    "the game refills the caller's array, taking and reallocating its storage through FMemory; after the call the caller owns that storage and frees it through FMemory.Free; the actors stay the game's") \
  X(kIsA,                 bool(UObject*, UClass*),                                        "UObjectBaseUtility.IsA",                     kGiven, \
    "nothing changes hands")                                                                       \
  X(kGetGroundLocation,   Vector3*(APrimalCharacter*, Vector3*, const Vector3*, const Vector3*), "APrimalCharacter.GetGroundLocation",   kGiven, \
    "writes the caller's Vector3 and returns its address; nothing changes hands")                  \
  X(kDestroy,             bool(AActor*, bool, bool),                                      "AActor.Destroy",                             kGiven, \
    "the actor stays the game's, which gives its memory back some ticks later: a pointer kept to it goes stale, so each visit reads the actor afresh inside the fault guard") \
  X(kClientChatMessage,   void(AShooterPlayerController*, ChatMessage),                   "AShooterPlayerController.ClientChatMessage", kGiven, \
    "the message is passed by value, so the callee destroys it: its strings become the game's at the call, which frees them through FMemory.Free (an exception in the call included); the plugin allocates them through FMemory.Malloc and never frees them") \
  X(kSendRconMessage,     void(RCONClientConnection*, std::int32_t, std::int32_t, FString*), "RCONClientConnection.SendMessageW",       kGiven, \
    "the reply stays the caller's: the game copies what it sends during the call, and the caller frees the string after it")

// Game fields, reached by their offset in the object: X(constant, type, name, marking, who frees
// what).
#define BRIMWARDEN_GAME_FIELDS(X)                                                                 \
  X(kTargetingTeam,      std::int32_t,     "AActor.TargetingTeam",              kGiven,           \
    "read in place in the game's actor, while it lives")                                           \
  X(kRootComponent,      USceneComponent*, "AActor.RootComponent",              kGiven,           \
    "the component is the actor's; the plugin only reads through it")                              \
  X(kRelativeLocation,   Vector3,          "USceneComponent.RelativeLocation",  kGiven,           \
    "read in place in the game's component")                                                       \
  X(kControllerLocation, Vector3,          "AActor.DefaultActorLocation",       kGiven,           \
    "read in place in the game's player controller")                                               \
  X(kIsAdmin,            std::uint8_t,     "AShooterPlayerController.bIsAdmin", kAssumed,         \
    "read in place in the game's player controller, by host::IsServerAdmin alone")

// What the framework exports and declares, and what the plugin assumes of its binary form:
// X(kind, name, marking, what the plugin relies on, who frees what). Declared in framework_api.h,
// native.h, game_types.h and rcon.h; the framework's module is what the plugin links against.
#define BRIMWARDEN_FRAMEWORK_SEAM(X)                                                              \
  X("export",    "ArkApi::GetCommands",           kGiven,   "ICommands& (), fetched afresh before each use", \
    "the framework's object; never freed or kept by the plugin")                                   \
  X("export",    "ArkApi::GetApiUtils",           kGiven,   "IApiUtils& (), fetched afresh before each use", \
    "the framework's object; never freed or kept by the plugin")                                   \
  X("export",    "ArkApi::Tools::GetCurrentDir",  kGiven,   "std::string (), the server's directory", \
    "returned by value: the plugin's own string, freed by the runtime it shares with the framework") \
  X("export",    "GetLogSinks",                   kGiven,   "std::vector<spdlog::sink_ptr>& (), the shared log sinks", \
    "the list is the framework's; the plugin's logger copies the shared pointers and holds the sinks until the library's teardown") \
  X("export",    "GetAddress(name)",              kGiven,   "void* (const std::string&), a game function by \"Class.Member\"", \
    "the name is the caller's; the address is the game's code")                                    \
  X("export",    "GetAddress(object, name)",      kGiven,   "void* (const void*, const std::string&), a field inside the object", \
    "the name is the caller's; the address lies inside the object")                                \
  X("interface", "ICommands::RegisterChatCommand", kGiven,  "(const FString&, const ChatCommandCallback&)", \
    "the framework copies the name and the callable; the caller frees its name right after the call; the callable runs the plugin's code, so Unload removes every registration") \
  X("interface", "ICommands::RegisterRconCommand", kGiven,  "(const FString&, const RconCommandCallback&)", \
    "as RegisterChatCommand")                                                                      \
  X("interface", "ICommands::RegisterTickCallback", kGiven, "(const FString&, const TickCallback&)", \
    "as RegisterChatCommand")                                                                      \
  X("interface", "ICommands::RemoveChatCommand",  kGiven,   "(const FString&), result not consulted", \
    "the caller frees its name right after the call; the framework destroys its copy of the callable") \
  X("interface", "ICommands::RemoveRconCommand",  kGiven,   "(const FString&), result not consulted", \
    "as RemoveChatCommand")                                                                        \
  X("interface", "ICommands virtual table",       kAssumed, "the operations' places: the console-command pair among them, bool results, a virtual destructor first", \
    "the plugin never destroys the object")                                                        \
  X("interface", "IApiUtils::CurrentWorld",       kGiven,   "UWorld* () const",                   \
    "the world is the game's")                                                                     \
  X("interface", "IApiUtils virtual table",       kAssumed, "CurrentWorld in the first place after a virtual destructor", \
    "the plugin never destroys the object")                                                        \
  X("type",      "ArkApi::ChatCommandCallback",   kGiven,   "(AShooterPlayerController*, FString*, EChatSendMode::Type), an owning copyable function object", \
    "the message is the framework's, valid during the call; the plugin neither frees nor keeps it") \
  X("type",      "ArkApi::RconCommandCallback",   kGiven,   "(RCONClientConnection*, RCONPacket*, UWorld*), an owning copyable function object", \
    "the connection and the packet are the game's, valid during the call; the plugin neither frees nor keeps them") \
  X("type",      "ArkApi::TickCallback",          kGiven,   "(float), an owning copyable function object", \
    "nothing changes hands")                                                                       \
  X("type",      "std::function",                 kAssumed, "the form of the callable types",     \
    "the framework's copies are destroyed by the framework, with the runtime both share")          \
  X("type",      "EChatSendMode::Type",           kAssumed, "a 32-bit enumeration; its values",   \
    "a value")                                                                                     \
  X("type",      "FString",                       kGiven,   "a HostArray of 16-bit characters, the count including the terminator", \
    "owns its characters, from the game allocator; handed over whole where the game takes it by value") \
  X("type",      "HostArray",                     kGiven,   "element pointer, int32 count, int32 capacity; the growth rule", \
    "owns its storage, allocated and freed through FMemory")                                       \
  X("type",      "ChatMessage",                   kGiven,   "the chat record's fields in order",  \
    "holds its strings by value: whoever receives it by value frees them (see ClientChatMessage)") \
  X("function",  "host::IsServerAdmin",           kAssumed, "bool (AShooterPlayerController*), the one place the admin flag is read: a whole byte at AShooterPlayerController.bIsAdmin here; a server build maps it to the SDK's own accessor, since a game's flag is often one bit of a shared byte", \
    "nothing changes hands")                                                                       \
  X("layout",    "RCONPacket request id",         kGiven,   "the second signed 32-bit field",     \
    "a value")                                                                                     \
  X("layout",    "RCONPacket body",               kAssumed, "an FString at byte 16: after three signed 32-bit fields (size, id, type) and 4 bytes of padding to pointer alignment", \
    "the game's, valid during the call; read in place")                                            \
  X("module",    "framework module",              kAssumed, "libBrimwardenStandin.dll here; the framework's own import library in a server", \
    "loaded before the plugin and unloaded after it: the library's teardown still returns storage through FMemory.Free") \
  X("abi",       "C++ ABI and runtime",           kAssumed, "clang for mingw-w64 (Itanium ABI, libstdc++) here; the framework's compiler and runtime in a server", \
    "std::string, std::function and the sinks' shared pointers are freed on the other side of the seam: one runtime and heap for both") \
  X("abi",       "spdlog",                        kAssumed, "the framework's spdlog and fmt versions, whose sinks the plugin's logger writes through", \
    "the sinks are shared by the framework's loggers and the plugin's; the last holder destroys them")

// clang-format on
