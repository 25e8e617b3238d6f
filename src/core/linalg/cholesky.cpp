#include "core/linalg/cholesky.hpp"

#include <cmath>

#include "core/format.hpp"

namespace quintara::linalg {

Expected<Cholesky> Cholesky::make(const MatView& A) {
  if (A.rows != A.cols) return LinalgError::not_square(A.rows, A.cols);
  const std::size_t n = A.rows;
  // The factor is built as U = L^T (column i of U is row i of L), so the
  // row-by-row dot products below run over contiguous storage. Each sum still
  // subtracts its terms in k ascending order.
  Mat U(n, n);
  double* u = U.data.data();
  const double* a = A.data;
  const std::size_t lda = A.ld;
  for (std::size_t j = 0; j < n; ++j) {
    double* uj = u + j * n;  // row j of L
    double d = a[j + j * lda];
    for (std::size_t k = 0; k < j; ++k) d = d - uj[k] * uj[k];
    // Rejects d <= 0 (either zero), NaN and +inf.
    if (!(d > 0.0 && std::isfinite(d))) return LinalgError::not_positive_definite(j);
    const double ljj = std::sqrt(d);
    uj[j] = ljj;
    for (std::size_t i = j + 1; i < n; ++i) {
      double* ui = u + i * n;  // row i of L
      double s = a[i + j * lda];
      for (std::size_t k = 0; k < j; ++k) s = s - ui[k] * uj[k];
      ui[j] = s / ljj;
    }
  }
  return Cholesky{U.transpose()};
}

Expected<Cholesky> Cholesky::new_ridge(const MatView& A, double lambda) {
  Mat shifted = A.to_mat();
  const std::size_t d = A.rows < A.cols ? A.rows : A.cols;
  for (std::size_t i = 0; i < d; ++i) {
    double& e = shifted.data[i + i * A.rows];
    e = e + lambda;
  }
  return make(shifted);
}

std::vector<double> Cholesky::solve_vec(std::span<const double> b) const {
  const std::size_t n = l.rows;
  QUINTARA_ASSERT_EQ(b.size(), n, format("rhs length {} != system size {}", b.size(), n));
  const double* L = l.data.data();
  // Forward substitution in column order: z_i still receives its
  // subtractions L(i,k) z_k in k ascending order before its division, the
  // same arithmetic as the row-order formula, with contiguous reads.
  std::vector<double> z(b.begin(), b.end());
  for (std::size_t k = 0; k < n; ++k) {
    const double* lk = L + k * n;
    const double zk = z[k] / lk[k];
    z[k] = zk;
    for (std::size_t i = k + 1; i < n; ++i) z[i] = z[i] - lk[i] * zk;
  }
  std::vector<double> x(n, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    const double* li = L + i * n;  // column i: L(k, i) for k > i
    double s = z[i];
    for (std::size_t k = i + 1; k < n; ++k) s = s - li[k] * x[k];
    x[i] = s / li[i];
  }
  return x;
}

bool Cholesky::keeps_share(const MatView& A, double share) const {
  QUINTARA_ASSERT(A.rows == l.rows && A.cols == l.cols, "keeps_share: another matrix");
  for (std::size_t j = 0; j < l.rows; ++j) {
    if (!(l(j, j) * l(j, j) >= share * A(j, j))) return false;
  }
  return true;
}

}  // namespace quintara::linalg
