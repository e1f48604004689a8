// The containment test of a kill zone's box, shared by the sweep step and the creature count so
// that a count tells exactly what the sweep will destroy. Inline: the step runs it for every zone
// and every creature it visits.
#pragma once

#include "brimwarden/host/game_types.h"

namespace brimwarden::sweep {

/// Tells whether p lies between the two corner values, bounds included. A NaN anywhere fails.
inline bool AxisContains(float corner1, float corner2, float p) {
  const float lo = corner1 <= corner2 ? corner1 : corner2;
  const float hi = corner1 <= corner2 ? corner2 : corner1;
  return lo <= p && p <= hi;
}

/// Tells whether p lies in the box with these two opposite corners, in either order.
inline bool BoxContains(const Vector3& corner1, const Vector3& corner2, const Vector3& p) {
  return AxisContains(corner1.X, corner2.X, p.X) && AxisContains(corner1.Y, corner2.Y, p.Y) &&
         AxisContains(corner1.Z, corner2.Z, p.Z);
}

}  // namespace brimwarden::sweep
