// Randomized truncated SVD (Halko, Martinsson & Tropp).
//
// A Gaussian test matrix drawn from one seeded stream samples the range of A,
// power iterations sharpen the spectrum, a Householder QR of the sample gives
// an orthonormal range basis Q, and the small projected matrix Q^T A is
// factored by the Jacobi SVD. Costs products with an m x (rank + oversample)
// sample instead of a full SVD; the same seed always gives the same factors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

struct RandomizedSvd {
  Mat u;                  // m x k
  std::vector<double> s;  // k values, non-increasing
  Mat v;                  // n x k

  // u diag(values) v^T, (rows of u) x (rows of v); fewer than k values is an
  // index fault.
  Mat reconstruct_with(std::span<const double> values) const;
};

// k = min(min(m, n), max(rank, 1)) components from a sample of
// l = min(min(m, n), oversample + k) columns; the test matrix is filled in
// storage order with normal() draws of Xoshiro256pp::make(seed).
RandomizedSvd randomized_svd(const MatView& A, std::size_t rank, std::size_t oversample,
                             std::size_t power_iters, std::uint64_t seed);

}  // namespace quintara::linalg
