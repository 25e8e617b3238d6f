#include "core/linalg/isolated_minimiser.hpp"

namespace quintara::linalg {

namespace {

// Each reduced pivot squared's room, relative to the problem's scale (no
// direction of the free face is nearly flat), and the least a free weight
// times the least pivot squared may be: about what leaving that coordinate
// out would cost a solve in its gradient, relative to the scale. At 1e-10
// (some seventy KKT tolerances) no solve meeting the tolerance stops
// without it.
constexpr double kPivotRoom = 1e-6;
constexpr double kLeaveCost = 1e-10;
// A held multiplier's room, in KKT tolerances: the computed multiplier is
// within one of the true one, and a solve meeting the tolerance cannot free
// a coordinate this far inside. (Relative to the whole problem's scale, set
// by its largest market, a small market's multiplier is naturally tiny: a
// margin in those units would refuse most windows.)
constexpr double kHeldRoom = 64.0;

}  // namespace

bool isolated_minimiser(const SimplexSolution& s, double lo, double hi) {
  // NaN rooms (a solve that did not end on its test) fail both tests.
  if (lo != 0.0 || !(s.held_room >= kHeldRoom) || !(s.pivot_room >= kPivotRoom)) return false;
  // Held at hi only where the cap binds (hi < 1); a lone weight of 1 on
  // the plain simplex is free (the sum constraint holds it).
  const bool capped = hi < 1.0;
  const double room = kLeaveCost / s.pivot_room;
  for (const double w : s.weights) {
    if (w == 0.0 || (capped && w >= hi)) continue;
    if (!(w >= room && (!capped || w <= hi - room))) return false;
  }
  return true;
}

}  // namespace quintara::linalg
