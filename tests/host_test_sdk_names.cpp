// The plugin's headers beside the SDK's names: a server build's SDK defines the game's types in the
// global namespace (FString, AActor, EChatSendMode...), and the plugin's own definitions must not
// clash with them. This file defines such types, as an SDK header would, after every header of the
// plugin; it compiles only while ours stay out of the global namespace. It includes nothing of the
// stand-in, whose hosts name our types unqualified.
#include <type_traits>

#include <gtest/gtest.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework.h"
#include "brimwarden/host/game_names.h"
#include "brimwarden/host/players.h"
#include "brimwarden/host/rcon.h"
#include "brimwarden/host/text.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/sweep/sweep.h"
#include "brimwarden/zones/zones.h"

struct UObject {};
struct UClass {};
struct UWorld {};
struct AActor {};
struct APrimalCharacter {};
struct APrimalDinoCharacter {};
struct AShooterPlayerController {};
struct USceneComponent {};
struct RCONClientConnection {};
struct RCONPacket {};
struct FString {
  wchar_t* data;
};
struct FVector {
  float X, Y, Z;
};
struct Vector3 {
  double X, Y, Z;
};
template <typename T>
class HostArray {};
struct ChatMessage {};
namespace EChatSendMode {
enum Type { GlobalChat };
}  // namespace EChatSendMode

namespace {

TEST(SdkNamesTest, ThePluginsTypesLiveBesideTheSdksOwn) {
  EXPECT_FALSE((std::is_same_v<::FString, brimwarden::FString>));
  EXPECT_FALSE((std::is_same_v<::AActor, brimwarden::AActor>));
  EXPECT_EQ(sizeof(brimwarden::FString), 16U);  // the game's layout, not the SDK stand-in's above
}

}  // namespace
