// Singular value decomposition by Householder bidiagonalisation and implicit
// Wilkinson-shift QR on the bidiagonal (Golub-Kahan), the fast exact SVD.
//
// A = Q B P^T with B upper bidiagonal (Householder reflectors, kept in
// compact form), then B = Ub diag(s) Vb^T by chasing a bulge down the band;
// the reflectors are applied to Ub and Vb only at the end, and only to the
// components the caller keeps. The work is O(m n^2) for m >= n against the
// Jacobi sweeps' O(m n^2) per sweep times the number of sweeps, and the
// result is backward stable: singular values agree with Jacobi's to a few
// rounding units of s_max. Wide inputs are factored through their transpose;
// inputs far from unit magnitude are rescaled by a power of two first, so
// the shifts' squares neither overflow nor underflow. Singular values come
// in descending IEEE total order, ties in ascending position on the
// diagonal, as for the Jacobi SVD. Deterministic: serial loops in a fixed
// order.
#pragma once

#include <cstddef>
#include <vector>

#include "core/linalg/matrix.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::linalg {

// The bidiagonal factorisation of a tall matrix with its singular values
// and the (unreflected) singular vectors of B.
class BidiagSvd {
 public:
  // Never fails; a non-finite input gives non-finite values (the sweep cap
  // ends the iteration).
  static BidiagSvd make(const MatView& A);

  // Singular values, non-increasing, min(rows, cols) of them.
  const std::vector<double>& values() const { return s_; }

  // The first k left and right singular vectors of A (rows x k, cols x k);
  // k above min(rows, cols) is an index fault.
  Mat left(std::size_t k) const;
  Mat right(std::size_t k) const;

  // Every component, in the Jacobi SVD's form.
  Svd full() const;

 private:
  Mat w_;  // m x n: reflectors below the diagonal and right of the superdiagonal
  std::vector<double> tau_left_, tau_right_;
  Mat ub_, vb_;  // n x n singular vectors of B, columns sorted with s_
  std::vector<double> s_;
  std::size_t rows_ = 0, cols_ = 0;  // of A
  bool transposed_ = false;

  Mat apply_left(std::size_t k) const;   // Q [Ub_k; 0], m x k
  Mat apply_right(std::size_t k) const;  // P Vb_k, n x k
};

}  // namespace quintara::linalg
