// One-sided Jacobi (Hestenes) singular value decomposition.
//
// A = u diag(s) v^T with k = min(rows, cols) components, singular values in
// descending order (a stable sort under the IEEE total order, so equal values
// keep ascending column order). Wide inputs are factored through their
// transpose so the rotated columns run along the shorter dimension. Inputs
// whose magnitude is far from 1 are rescaled by a power of two first, which
// keeps the squared column norms of the sweeps from overflowing or
// underflowing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// The callers' Jacobi settings: convergence is quadratic once the sweeps
// settle, so 60 sweeps is a safety cap, not a budget that binds; 1e-15 is a
// few units in the last place of 1, orthogonality to working precision.
inline constexpr std::size_t kJacobiMaxSweeps = 60;
inline constexpr double kJacobiTol = 1e-15;

struct Svd {
  Mat u;                  // rows x k, orthonormal columns
  std::vector<double> s;  // k values, non-increasing
  Mat v;                  // cols x k, orthonormal columns
  std::size_t rows = 0;
  std::size_t cols = 0;

  // Never fails: non-convergence within max_sweeps returns the factors of
  // the last sweep; an empty input gives empty factors. A column pair is
  // rotated unless |gamma| <= sqrt(beta*alpha)*tol.
  static Svd new_tol(const MatView& A, std::size_t max_sweeps, double tol);

  // u diag(values) v^T from the first k entries of values; fewer than k
  // entries is an index fault.
  Mat reconstruct_with(std::span<const double> values) const;
};

// u diag(values) v^T for factors u (m x k) and v (n x k), shared with the
// randomized SVD: zero values and zero products are skipped, so the result
// is built only from the components that contribute.
Mat reconstruct_from_factors(const MatView& u, const MatView& v, std::span<const double> values);

// The same product into out (reshaped, its storage reused).
void reconstruct_into(const MatView& u, const MatView& v, std::span<const double> values, Mat& out);

// Scales W by 2^-e in place when its largest magnitude is beyond 2^+-100
// (exactly, so the singular values are those of W times 2^e) and returns e;
// 0, with W untouched, otherwise or when W is zero or not finite.
int rescale_to_unit_range(Mat& W);

}  // namespace quintara::linalg
