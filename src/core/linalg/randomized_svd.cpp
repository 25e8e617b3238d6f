#include "core/linalg/randomized_svd.hpp"

#include <algorithm>

#include "core/linalg/kernels.hpp"
#include "core/linalg/qr.hpp"
#include "core/linalg/rng.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::linalg {

namespace {

// A^T X as a new matrix, one gemv_t per column of X: each entry is a dot
// product down a contiguous column of A, summed from 0.0 in row order.
Mat at_times(const MatView& A, const Mat& X) {
  Mat out(A.cols, X.cols);
  for (std::size_t j = 0; j < X.cols; ++j) gemv_t(A, X.col(j), out.col_mut(j), 1.0, 0.0);
  return out;
}

// The first k columns of X.
Mat leading_columns(const Mat& X, std::size_t k) {
  Mat out(X.rows, k);
  std::copy_n(X.data.begin(), X.rows * k, out.data.begin());
  return out;
}

}  // namespace

Mat RandomizedSvd::reconstruct_with(std::span<const double> values) const {
  return reconstruct_from_factors(u, v, values);
}

RandomizedSvd randomized_svd(const MatView& A, std::size_t rank, std::size_t oversample,
                             std::size_t power_iters, std::uint64_t seed) {
  const std::size_t m = A.rows, n = A.cols;
  const std::size_t r = std::min(m, n);
  const std::size_t k = std::min(r, std::max<std::size_t>(rank, 1));
  // min(r, oversample + k) without wrapping for a huge oversample.
  const std::size_t l = oversample >= r - k ? r : oversample + k;

  Xoshiro256pp rng = Xoshiro256pp::make(seed);
  Mat omega(n, l);
  for (double& x : omega.data) x = rng.normal();

  Mat Y(m, l);
  gemm(A, omega, Y, 1.0, 0.0);
  // No re-orthonormalisation between the passes: one or two iterations are
  // all the callers use, far from where the powers lose the small directions.
  for (std::size_t it = 0; it < power_iters; ++it) {
    const Mat Z = at_times(A, Y);
    gemm(A, Z, Y, 1.0, 0.0);
  }

  // l <= m, so the QR cannot meet a wide matrix.
  const Mat Q = Qr::make(Y).expect("randomized_svd: QR of sample matrix").q_thin();
  // B = Q^T A, built as (A^T Q)^T.
  const Mat B = at_times(A, Q).transpose();
  const Svd S = Svd::new_tol(B, kJacobiMaxSweeps, kJacobiTol);

  Mat U(m, l);
  gemm(Q, S.u, U, 1.0, 0.0);
  RandomizedSvd out;
  out.u = leading_columns(U, k);
  out.s.assign(S.s.begin(), S.s.begin() + static_cast<std::ptrdiff_t>(k));
  out.v = leading_columns(S.v, k);
  return out;
}

}  // namespace quintara::linalg
