// The game's types as the plugin names them: brimwarden::FString, brimwarden::AActor and the rest.
// This header decides whose definitions they are. In our builds (the stand-in's) they are all
// ours. In a server build (BRIMWARDEN_USE_FRAMEWORK_SDK, set by the vs2022-server preset) the
// game's classes and the chat mode are the SDK's, named here in namespace brimwarden, while the
// records whose layouts are given (Vector3, HostArray, FString, ChatMessage) stay ours: the SDK's
// types of those names live in the global namespace and do not clash. Where the framework's
// interfaces take the SDK's FString, host/framework.cpp and host/rcon.cpp pass ours by its given
// layout (docs/building-for-a-server.md says what to adapt). The plugin's own code compiles
// unchanged against either.
#pragma once

#include <cstdint>

#if defined(BRIMWARDEN_USE_FRAMEWORK_SDK)

#include BRIMWARDEN_SDK_GAME_TYPES_HEADER

namespace brimwarden {
using ::AActor;
using ::APrimalCharacter;
using ::APrimalDinoCharacter;
using ::AShooterPlayerController;
using ::RCONClientConnection;
using ::RCONPacket;
using ::UClass;
using ::UObject;
using ::USceneComponent;
using ::UWorld;
namespace EChatSendMode = ::EChatSendMode;
}  // namespace brimwarden

#else

namespace brimwarden {

// Opaque game objects: the plugin only passes their addresses around and reaches their fields
// through NativeField.
struct UObject;
struct UClass;
struct UWorld;
struct AActor;
struct APrimalCharacter;
struct APrimalDinoCharacter;
struct AShooterPlayerController;
struct USceneComponent;
struct RCONClientConnection;
struct RCONPacket;

namespace EChatSendMode {
enum Type : std::int32_t { GlobalChat = 0, GlobalTribeChat = 1, LocalChat = 2, AllianceChat = 3 };
}  // namespace EChatSendMode

}  // namespace brimwarden

#endif

#include "brimwarden/host/own_game_types.h"
