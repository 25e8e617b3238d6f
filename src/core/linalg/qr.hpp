// Householder reflectors and the compact Householder QR factorization.
//
// A = Q R with Q = H_0 H_1 ... H_{n-1}; R sits on and above the diagonal of
// `qr`, reflector j's vector below the diagonal of column j (its leading 1
// implicit). Used by least squares, the randomized SVD's range finder and the
// event-study regression.
#pragma once

#include <span>
#include <vector>

#include "core/linalg/error.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// H = I - tau v v^T with H x = beta e_1 and v[0] = 1 (tau = 0 means H = I).
struct Householder {
  std::vector<double> v;
  double tau = 0.0;
  double beta = 0.0;

  static Householder make(std::span<const double> x);
};

struct Qr {
  Mat qr;
  std::vector<double> tau;
  std::size_t rows = 0;
  std::size_t cols = 0;

  // Fails with DimMismatch{expected: cols, got: rows} for a wide matrix.
  static Expected<Qr> make(const MatView& A);

  // Least-squares solution of A x ~ b (b has `rows` entries). Never fails on
  // rank deficiency: coefficients whose pivot is at most 1e-12 times the
  // largest pivot are set to 0.
  std::vector<double> solve_lstsq(std::span<const double> b) const;

  // The first `cols` columns of Q (rows x cols).
  Mat q_thin() const;
};

}  // namespace quintara::linalg
