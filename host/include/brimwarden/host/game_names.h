// The game functions and fields of the seam table (seam.h) as constants the plugin calls:
// brimwarden::host::kDestroy(actor, true, true), brimwarden::host::kTargetingTeam(actor). Each use
// resolves the name afresh (see NativeFunction), so nothing here caches an address.
#pragma once

#include <cstdint>

#include "brimwarden/host/game_types.h"
#include "brimwarden/host/native.h"
#include "brimwarden/host/seam.h"

namespace brimwarden::host {

#define BRIMWARDEN_DEFINE_GAME_FUNCTION(constant, signature, name, origin, ownership) \
  inline const NativeFunction<signature> constant{name};
#define BRIMWARDEN_DEFINE_GAME_FIELD(constant, type, name, origin, ownership) \
  inline const NativeField<type> constant{name};
BRIMWARDEN_GAME_FUNCTIONS(BRIMWARDEN_DEFINE_GAME_FUNCTION)
BRIMWARDEN_GAME_FIELDS(BRIMWARDEN_DEFINE_GAME_FIELD)
#undef BRIMWARDEN_DEFINE_GAME_FUNCTION
#undef BRIMWARDEN_DEFINE_GAME_FIELD

}  // namespace brimwarden::host
