// The game functions and fields the roster build and the sweep step reach by name, from the seam
// table (host/include/brimwarden/host/seam.h). Each use resolves the name afresh.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

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

// How far ahead in the game's list of actors a walk over all of them asks for memory.
inline constexpr std::int32_t kPrefetchDistance = 16;

/// Asks the processor to start loading the actor `kPrefetchDistance` entries after `index`, if
/// there is one: in a large world each actor's memory misses the caches, and the walk stalls on
/// it. A hint only: it never faults, not even for an entry whose memory the game has given back,
/// and reads no field, so every field is still reached through its name when it is used.
inline void PrefetchActorAhead(const HostArray<AActor*>& actors, std::int32_t index) {
  if (index + kPrefetchDistance >= actors.Num()) return;
#if defined(_MSC_VER) && !defined(__clang__)
  _mm_prefetch(reinterpret_cast<const char*>(actors[index + kPrefetchDistance]), _MM_HINT_T0);
#else
  __builtin_prefetch(actors[index + kPrefetchDistance]);
#endif
}

}  // namespace brimwarden::sweep
