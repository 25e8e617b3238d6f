// Whether the exact solver's answer is the simplex-constrained quadratic's
// only minimiser, with room to spare.
//
// The problem is active_set.hpp's. Without a ridge and with more
// coordinates than G's rank (more donors than periods) the minimiser need
// not be unique, and two solves begun at different points may stop at
// different minimisers, whose fits after the pre-period differ. A warm
// start is therefore safe only where the minimiser is unique, and this
// test says where it provably is, from what the solver reports of its
// answer (SimplexSolution::held_room, pivot_room):
// - the solve ended on its KKT test (w is stationary on its free set);
// - every held coordinate's multiplier has the right sign by kHeldRoom KKT
//   tolerances (strict complementarity: every minimiser has the same
//   gradient, so any other holds the same coordinates at their bounds);
// - the Hessian reduced to the free set's sum-zero directions has every
//   Cholesky pivot squared above kMargin times the problem's scale (no
//   other point of the free face has the same objective);
// - every free weight lies inside its bounds by kMargin.
// Together these make w the unique minimiser, and well enough separated
// that any solve meeting the KKT tolerance ends on the same free set, whose
// equality-constrained solve then agrees to rounding (its condition is at
// most about 1 / kMargin).
//
// Numerical caveats: the test is one-sided. True means unique; false may
// also mean only "too close to call" (a tiny weight, a near-tie among
// donors, a perfect pre-period fit). Bounds other than lo = 0 return false
// (every coordinate would carry weight; callers keep their cold solve).
#pragma once

#include "core/linalg/simplex.hpp"

namespace quintara::linalg {

bool isolated_minimiser(const SimplexSolution& s, double lo, double hi);

}  // namespace quintara::linalg
