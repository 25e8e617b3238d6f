// Simplex-constrained quadratic programs for donor weights.
//
// Minimise f(w) = 1/2 w^T (G + lambda I) w - b^T w over the unit simplex
// (w >= 0, sum w = 1) or the bounded simplex (lo <= w_i <= hi, sum w = 1).
// With G = X^T X and b = X^T y this is 1/2 ||y - X w||^2 + lambda/2 ||w||^2 up
// to a constant. Every sum runs from index 0 upward, so weights are
// bit-reproducible.
#pragma once

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// The estimators take the exact minimiser of active_set.hpp; the iterative
// solvers below remain as its fallback and as an independent check.
//
// Budgets of the iterative solves. Frank-Wolfe on the plain simplex
// settles within a few hundred steps on real panels; active bounds make the
// projected-gradient path slower to settle, hence the larger budget and the
// tighter tolerance there.
inline constexpr std::size_t kFwMaxIter = 5000;
inline constexpr double kFwTol = 1e-10;
inline constexpr std::size_t kBoundedMaxIter = 20000;
inline constexpr double kBoundedTol = 1e-12;

struct SimplexSolution {
  std::vector<double> weights;
  // 0-based iteration at which the stopping test passed, or max_iter.
  std::size_t iterations = 0;
  // Last duality gap computed (+inf when no iteration ran).
  double gap = 0.0;
  // The exact solver's separation of its answer (isolated_minimiser.hpp),
  // where it ended on its KKT test: the least multiplier of a held
  // coordinate in KKT tolerances (+inf with none held), and the least pivot
  // squared of the reduced Hessian on the free set relative to the
  // problem's scale (+inf with one coordinate free). NaN otherwise.
  double held_room = std::numeric_limits<double>::quiet_NaN();
  double pivot_room = std::numeric_limits<double>::quiet_NaN();
};

double objective(const MatView& G, std::span<const double> b, std::span<const double> w,
                 double lambda);
std::vector<double> grad(const MatView& G, std::span<const double> b, std::span<const double> w,
                         double lambda);

// Away-step Frank-Wolfe on the unit simplex, started from the uniform point.
SimplexSolution solve_fw(const MatView& G, std::span<const double> b, std::size_t max_iter,
                         double lambda, double tol);

// Euclidean projection onto {sum w = 1, lo' <= w_i <= hi'} with the bounds
// first made feasible (lo' = min(1/n, max(0, lo)), hi' = min(1, max(1/n, hi))).
// Non-finite entries of v count as 0.
std::vector<double> project_bounded_simplex(std::span<const double> v, double lo, double hi);

// Vertex of the bounded simplex minimising g^T s (used for the duality gap).
std::vector<double> lmo_bounded(std::span<const double> g, double lo, double hi);

// Accelerated projected gradient with adaptive restart and active-set
// polishing; hands the unbounded case (lo <= 0 and hi >= 1) to solve_fw.
SimplexSolution solve_bounded(const MatView& G, std::span<const double> b, std::size_t max_iter,
                              double lambda, double lo, double hi, double tol);

// Builds G = X^T X and b = X^T y and returns the exact minimiser
// (solve_simplex_qp, active_set.hpp) on the unit simplex.
SimplexSolution sc_weights(const MatView& X, std::span<const double> y, double lambda);

// The same on the bounded simplex.
SimplexSolution sc_weights_bounded(const MatView& X, std::span<const double> y, double lambda,
                                   double lo, double hi);

}  // namespace quintara::linalg
