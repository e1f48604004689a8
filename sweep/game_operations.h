// The game functions and fields the roster build and the sweep step reach by name, from the seam
// table (host/include/brimwarden/host/seam.h). Each use resolves the name afresh.
#pragma once

#include "brimwarden/host/game_names.h"

namespace brimwarden::sweep {

// Creatures with a team number at or above this one (tamed ones) are never touched.
inline constexpr std::int32_t kFirstExcludedTeam = 50000;

using host::kDestroy;
using host::kGetAllActorsOfClass;
using host::kGetCreatureClass;
using host::kGetGroundLocation;
using host::kIsA;
using host::kRelativeLocation;
using host::kRootComponent;
using host::kTargetingTeam;

}  // namespace brimwarden::sweep
