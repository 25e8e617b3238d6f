// Kernels on a lower Cholesky factor stored by columns (column s at
// L + s * ld, its rows from s down), as the active-set solver keeps the
// factor of its reduced Hessian.
//
// Every kernel runs its sums in a fixed order, so the same inputs give the
// same bits on any vector width (see wide_clones.hpp).
#pragma once

#include <cstddef>

namespace quintara::linalg {

// Columns per panel of the right-looking factorisation: four updates per
// load and store of an entry, the four panel columns read in one pass.
inline constexpr std::size_t kFactorPanel = 4;

// Columns k1 .. q-1, rows from max(c, r0), take the updates of panel
// columns k0 .. k1-1 (at most kFactorPanel), each entry its terms in panel
// order as y + x * t: the bits of applying the columns one at a time.
void trailing_update(double* L, std::size_t ld, std::size_t k0, std::size_t k1, std::size_t q,
                     std::size_t r0);

// Deletes row and column p from the factor of its first q rows, leaving
// the factor of q - 1 rows of the matrix without p: the rows below p, one
// entry past the diagonal once p's row is gone, are brought back by plane
// rotations of column pairs (k, k + 1), k = p, p + 1, .... A principal
// submatrix of a positive definite matrix is one and its pivots are no
// smaller, so no curvature is lost. O(q^2) against re-factoring the rows
// from p, O(q^3); the result carries the rotations' rounding.
void remove_row(double* L, std::size_t ld, std::size_t q, std::size_t p);

// sum_k x_k y_k in eight partial sums (lane l takes k = l mod 8, in order),
// added pairwise, then the tail: a fixed order, without the latency of one
// chain of additions. Not the bits of the sum in index order.
double lane_dot(const double* x, const double* y, std::size_t n);

}  // namespace quintara::linalg
