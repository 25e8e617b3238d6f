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
//   Cholesky pivot squared above kPivotRoom times the problem's scale (no
//   other point of the free face has the same objective);
// - every free weight lies inside its bounds by kLeaveCost / pivot_room
//   (a weight so small, on so flat a face, that another solve could stop
//   without it, is too close to call).
// Strict complementarity and a positive definite reduced Hessian make w
// the unique minimiser; the margins keep that conclusion clear of the
// rounding in the solver's gradient and factor, and of the KKT tolerance
// within which another solve could stop.
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
