#include "core/linalg/isolated_minimiser.hpp"

namespace quintara::linalg {

namespace {

// A free weight's room inside its bounds, and each reduced pivot squared's
// relative to the problem's scale: the reduced solve's condition stays
// below about 1e6, so two solves ending on one free set agree to about
// 1e-10.
constexpr double kMargin = 1e-6;
// A held multiplier's room, in KKT tolerances: the computed multiplier is
// within one of the true one, and a solve meeting the tolerance cannot free
// a coordinate this far inside. (Relative to the whole problem's scale, set
// by its largest market, a small market's multiplier is naturally tiny: a
// margin in those units would refuse most windows.)
constexpr double kHeldRoom = 64.0;

}  // namespace

bool isolated_minimiser(const SimplexSolution& s, double lo, double hi) {
  // NaN rooms (a solve that did not end on its test) fail both tests.
  if (lo != 0.0 || !(s.held_room >= kHeldRoom) || !(s.pivot_room >= kMargin)) return false;
  // Held at hi only where the cap binds (hi < 1); a lone weight of 1 on
  // the plain simplex is free (the sum constraint holds it).
  const bool capped = hi < 1.0;
  for (const double w : s.weights) {
    if (w == 0.0 || (capped && w >= hi)) continue;
    if (!(w >= kMargin && (!capped || w <= hi - kMargin))) return false;
  }
  return true;
}

}  // namespace quintara::linalg
