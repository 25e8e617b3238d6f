#include "core/linalg/qr.hpp"

#include <algorithm>
#include <cmath>

#include "core/linalg/kernels.hpp"

namespace quintara::linalg {

namespace {

// Pivots at most this fraction of the largest count as zero in the solve.
constexpr double kRankGuard = 1e-12;

// Builds the reflector of x[0..n) into v[0..n) (v may alias x). Returns tau
// and beta through the out-parameters. Shared by Householder::make and the QR
// sweep so the latter needs no per-column allocation.
void reflector(const double* x, std::size_t n, double* v, double& tau, double& beta) {
  if (n == 0) {
    tau = 0.0;
    beta = 0.0;
    return;
  }
  const double x0 = x[0];
  // Scaled norm of the tail: squaring entries near 1e200 would overflow.
  const double sigma = norm2(std::span<const double>(x + 1, n - 1));
  if (v != x) std::copy(x, x + n, v);
  if (x0 >= 0.0 && sigma == 0.0) {
    v[0] = 1.0;
    tau = 0.0;
    beta = x0;
    return;
  }
  const double h = std::hypot(x0, sigma);
  // beta takes the sign opposite to x0 so x0 - beta never cancels.
  beta = x0 > 0.0 ? -h : h;
  v[0] = 1.0;
  const double f = 1.0 / (x0 - beta);
  for (std::size_t i = 1; i < n; ++i) v[i] = v[i] * f;
  double den = 1.0;
  for (std::size_t i = 1; i < n; ++i) den = den + v[i] * v[i];
  tau = 2.0 / den;
}

// x <- (I - tau v v^T) x on x[0..n), with v[0] = 1 implicit (v[1..n) is
// read): s = x0 + v[1] x[1] + ... in index order, t = tau s, x[i] -= v[i] t.
// `x0` is x[0] as it enters the sum: the factorisation passes 0.0 + x[0]
// (its sums start from 0.0, which turns a -0 into +0), the solves x[0].
void apply_reflector(const double* v, std::size_t n, double tau, double x0, double* x) {
  double s = x0;
  for (std::size_t i = 1; i < n; ++i) s += v[i] * x[i];
  const double t = tau * s;
  x[0] = x[0] - t;
  for (std::size_t i = 1; i < n; ++i) x[i] = x[i] - v[i] * t;
}

}  // namespace

Householder Householder::make(std::span<const double> x) {
  Householder h;
  h.v.resize(x.size());
  reflector(x.data(), x.size(), h.v.data(), h.tau, h.beta);
  return h;
}

Expected<Qr> Qr::make(const MatView& A) {
  const std::size_t m = A.rows, n = A.cols;
  if (m < n) return LinalgError::dim_mismatch(n, m);
  Qr f;
  f.qr = A.to_mat();
  f.tau.assign(n, 0.0);
  f.rows = m;
  f.cols = n;
  std::vector<double> v(m);
  double* w = f.qr.data.data();
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t len = m - j;
    double* wj = w + j + j * m;  // W(j.., j)
    double tau = 0.0, beta = 0.0;
    reflector(wj, len, v.data(), tau, beta);
    f.tau[j] = tau;
    // The update runs even when tau == 0 (it then subtracts v_i * 0), so a
    // non-finite entry below still propagates exactly as written.
    for (std::size_t c = j + 1; c < n; ++c) {
      double* wc = w + j + c * m;
      apply_reflector(v.data(), len, tau, 0.0 + wc[0], wc);
    }
    wj[0] = beta;
    for (std::size_t i = 1; i < len; ++i) wj[i] = v[i];
  }
  return f;
}

std::vector<double> Qr::solve_lstsq(std::span<const double> b) const {
  const std::size_t m = rows, n = cols;
  // A short right-hand side faults at the first position the sweep below
  // would read: a reflector reads z_j then z_{j+1..m}; back substitution
  // starts at z_{n-1}.
  if (b.size() < m) {
    std::size_t first = n;
    for (std::size_t j = 0; j < n; ++j) {
      if (tau[j] != 0.0) {
        first = j;
        break;
      }
    }
    if (first < n) panic_index(std::max(first, b.size()), b.size());
    if (n > 0 && b.size() < n) panic_index(n - 1, b.size());
  }
  std::vector<double> z(b.begin(), b.end());
  const double* w = qr.data.data();
  for (std::size_t j = 0; j < n; ++j) {
    const double tj = tau[j];
    if (tj == 0.0) continue;
    apply_reflector(w + j + j * m, m - j, tj, z[j], z.data() + j);
  }
  double dmax = 0.0;
  for (std::size_t j = 0; j < n; ++j) dmax = std::fmax(dmax, std::fabs(w[j + j * m]));
  // Relative rank guard: a pivot at most 1e-12 of the largest marks a column
  // that is (numerically) a combination of earlier ones; it gets 0.
  const double guard = kRankGuard * dmax;
  std::vector<double> x(n, 0.0);
  for (std::size_t jj = n; jj-- > 0;) {
    double s = z[jj];
    for (std::size_t k = jj + 1; k < n; ++k) s = s - w[jj + k * m] * x[k];
    const double d = w[jj + jj * m];
    x[jj] = std::fabs(d) > guard ? s / d : 0.0;
  }
  return x;
}

Mat Qr::q_thin() const {
  const std::size_t m = rows, n = cols;
  Mat q(m, n);
  for (std::size_t j = 0; j < n; ++j) q.data[j + j * m] = 1.0;
  const double* w = qr.data.data();
  for (std::size_t c = 0; c < n; ++c) {
    double* qc = q.data.data() + c * m;
    // Reflectors with j > c act on zeros of this column; they are still
    // applied, so a non-finite reflector entry reaches Q exactly as written.
    for (std::size_t j = n; j-- > 0;) {
      const double tj = tau[j];
      if (tj == 0.0) continue;
      apply_reflector(w + j + j * m, m - j, tj, qc[j], qc + j);
    }
  }
  return q;
}

}  // namespace quintara::linalg
