// The game functions and fields the roster build and the sweep step reach by name. Each use
// resolves the name afresh (see NativeFunction), so nothing here caches an address.
#pragma once

#include <cstdint>

#include "brimwarden/host/game_types.h"

namespace brimwarden::sweep {

// Creatures with a team number at or above this one (tamed ones) are never touched.
inline constexpr std::int32_t kFirstExcludedTeam = 50000;

inline constexpr NativeFunction<UClass*()> kGetCreatureClass{
    "APrimalDinoCharacter.GetPrivateStaticClass"};
inline constexpr NativeFunction<void(UWorld*, UClass*, HostArray<AActor*>*)> kGetAllActorsOfClass{
    "UGameplayStatics.GetAllActorsOfClass"};
inline constexpr NativeFunction<bool(UObject*, UClass*)> kIsA{"UObjectBaseUtility.IsA"};
inline constexpr NativeFunction<Vector3*(APrimalCharacter*, Vector3*, const Vector3*,
                                         const Vector3*)>
    kGetGroundLocation{"APrimalCharacter.GetGroundLocation"};
inline constexpr NativeFunction<bool(AActor*, bool, bool)> kDestroy{"AActor.Destroy"};

inline constexpr NativeField<std::int32_t> kTargetingTeam{"AActor.TargetingTeam"};
inline constexpr NativeField<USceneComponent*> kRootComponent{"AActor.RootComponent"};
inline constexpr NativeField<Vector3> kRelativeLocation{"USceneComponent.RelativeLocation"};

}  // namespace brimwarden::sweep
