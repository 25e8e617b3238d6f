// Cholesky factorization A = L L^T of a symmetric positive-definite matrix,
// reading only A's lower triangle.
#pragma once

#include <span>
#include <vector>

#include "core/linalg/error.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

struct Cholesky {
  Mat l;  // n x n lower-triangular, upper part zero

  // NotSquare{rows, cols} for a non-square input; NotPositiveDefinite{pivot}
  // at the first column whose pivot is not a positive finite number.
  static Expected<Cholesky> make(const MatView& A);
  // Factors a copy of A with lambda added to every diagonal element.
  static Expected<Cholesky> new_ridge(const MatView& A, double lambda);

  // Solves L L^T x = b. A b of the wrong length is an invariant violation
  // ("rhs length {} != system size {}").
  std::vector<double> solve_vec(std::span<const double> b) const;
  // Whether every pivot squared keeps at least `share` of its column's
  // diagonal in A (the factored matrix): the part of each variable the
  // earlier ones do not explain. A numerically singular A factors without
  // error, its last pivots rounding noise; a test statistic built on its
  // solve is then noise too.
  bool keeps_share(const MatView& A, double share) const;
};

}  // namespace quintara::linalg
