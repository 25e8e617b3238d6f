// Exact minimiser of the simplex-constrained quadratic, by a primal
// active-set method.
//
// Minimises f(w) = 1/2 w^T (G + lambda I) w - b^T w over {sum w = 1,
// lo <= w_i <= hi} (lo <= 0 and hi >= 1 give the unit simplex), the problem
// of simplex.hpp, but returns its minimiser instead of an iterate.
//
// Algorithm: a primal active-set method in the style of Lawson-Hanson. Every
// coordinate is free or held at one of its bounds. On the free set F the
// equality-constrained subproblem is solved by a Newton step in the null
// space of the sum constraint: with f0 the first member of F, the reduced
// Hessian R(a, c) = H(a, c) - H(a, f0) - H(f0, c) + H(f0, f0) over the other
// members is factored by Cholesky, appended to row by row as coordinates
// enter and re-factored (or rotated, QpPath) when one leaves. A step that
// would cross a bound is cut there (ratio test) and the blocking coordinate
// leaves F; at a point
// stationary on F, the held coordinate whose multiplier has the wrong sign by
// the most enters F (with a ridge, up to 16 more whose multipliers are
// wrong by at least half as much enter with it). The start is the cheapest
// vertex (plain simplex) or the box vertex filled in the order of the vertex
// objectives (bounded simplex).
//
// Termination is on the KKT conditions, to a tolerance relative to the
// problem's scale s = max(max_i |H_ii|, max_i |b_i|): every free gradient
// within tol of their mean -mu, every coordinate at its lower bound with
// g_i + mu >= -tol and at its upper bound with g_i + mu <= tol, where
// tol = s * (1e-12 + 8 n eps) (n eps bounds the rounding of one gradient
// entry). The KKT test is repeated on a gradient recomputed from scratch
// before the solve ends. An iteration cap (a safety net for cycling on
// degenerate problems) hands the problem to solve_bounded and keeps the
// better of the two points.
//
// Numerical caveats:
// - G may be singular (more donors than periods, duplicated or collinear
//   donors, all-zero columns). The free block is kept nonsingular by the
//   active-set rule, not by regularisation: a coordinate whose Cholesky pivot
//   squared falls to tol / 4 or below (no curvature left in its direction)
//   is not factored; the objective is then linear along that zero-curvature
//   direction and the step goes to the first bound, which removes a
//   coordinate and the singularity. The step lowers the objective because
//   the entering multiplier exceeds tol.
// - Without strong convexity the minimiser need not be unique; the method
//   returns one of them, deterministically. A zero problem (G + lambda I = 0
//   on the diagonal, b = 0) returns the uniform point, the least-norm one.
// - Ties (entering multiplier, blocking ratio, start vertex) go to the lowest
//   index. Sums run in a fixed order, so the result is bit-reproducible and
//   independent of threads.
// - NaN or infinite entries are not supported (the entries validate data).
#pragma once

#include <cstddef>
#include <span>

#include "core/linalg/gram_columns.hpp"
#include "core/linalg/matrix.hpp"
#include "core/linalg/simplex.hpp"

namespace quintara::linalg {

// The exact minimiser over the bounded simplex, bounds first made feasible
// as project_bounded_simplex makes them. `iterations` counts active-set
// steps; `gap` is the largest KKT violation left (gradient units, at most
// the tolerance unless the fallback ran).
SimplexSolution solve_simplex_qp(const MatView& G, std::span<const double> b, double lambda,
                                 double lo, double hi);
// The same reading G's columns from `G`, which forms them as they are
// first needed (GramColumns::of_block); the same bits as the whole matrix.
SimplexSolution solve_simplex_qp(GramColumns& G, std::span<const double> b, double lambda,
                                 double lo, double hi);
// The same begun at `start` instead of the cheapest vertex: a point of the
// feasible box summing to 1 (to 1e-9), such as the minimiser of a nearby
// problem. The coordinates strictly inside the box start free. The result
// meets the same KKT test, so it is the minimiser to the same tolerance
// (not the same bits); fewer steps when the start's free set is close to
// the answer's. Any other `start` (empty, infeasible) begins at the vertex.
SimplexSolution solve_simplex_qp(GramColumns& G, std::span<const double> b, double lambda,
                                 double lo, double hi, std::span<const double> start);

// The arithmetic of the factor's upkeep and solves.
// - kReference: a coordinate leaving the free set has the rows from its own
//   factored afresh, and the back solve sums in index order, so the bits
//   depend only on the free set (what the overloads above do).
// - kFast: the leaving row is deleted and the factor restored by plane
//   rotations, O(m^2) per removal instead of O(m^3) for m free coordinates,
//   and the back solve's dot products sum in eight interleaved partial sums,
//   which vectorise; a fresh factor is formed left-looking in register
//   tiles (factor_blocked), its divisions by a pivot products by its
//   reciprocal. The result meets the same KKT test (the minimiser to
//   the same tolerance), deterministically, but not with kReference's bits.
enum class QpPath : char { kReference, kFast };
//
// `keep` (empty: every coordinate) restricts the problem to the coordinates
// i with keep[i] != 0; the others stay at zero weight and take no part. b,
// start and the weights have G's size. The solve is the one on the kept
// principal submatrix, sum for sum and in the same order, without copying
// it out.
SimplexSolution solve_simplex_qp(GramColumns& G, std::span<const double> b, double lambda,
                                 double lo, double hi, std::span<const double> start, QpPath path,
                                 std::span<const unsigned char> keep = {});

// The KKT tolerance above for a problem of scale s (max(max_i |H_ii|,
// max_i |b_i|) over the kept coordinates) in n kept coordinates, for a
// solver that checks its own answer by the same test.
double kkt_tolerance(double scale, std::size_t n);

}  // namespace quintara::linalg
