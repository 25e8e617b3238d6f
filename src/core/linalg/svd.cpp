#include "core/linalg/svd.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <numeric>

#include "core/linalg/kernels.hpp"

namespace quintara::linalg {

namespace {

// +1 for +0, -1 for -0, NaN stays NaN: the rotation's tangent picks the
// smaller of the two roots of t^2 + 2 zeta t - 1 = 0 by this sign.
double signum(double x) {
  if (std::isnan(x)) return x;
  return std::copysign(1.0, x);
}

// Rotates columns c1 and c2 of X in place, reading the old values on the right.
void rotate(Mat& X, std::size_t c1, std::size_t c2, double c, double s) {
  double* x1 = X.col_mut(c1).data();
  double* x2 = X.col_mut(c2).data();
  for (std::size_t i = 0; i < X.rows; ++i) {
    const double a = x1[i], b = x2[i];
    x1[i] = c * a - s * b;
    x2[i] = a * s + b * c;
  }
}

}  // namespace

// Beyond 2^+-100 the sums of squares in the sweeps would leave the float64
// range (1e200^2 overflows); a power-of-two rescaling is exact and is undone
// on the singular values. Returns the exponent e applied as 2^-e.
int rescale_to_unit_range(Mat& W) {
  double M = 0.0;
  // A NaN fails the comparison and is passed over, as fmax would (without
  // fmax's libm call per entry).
  for (const double x : W.data) {
    const double a = std::fabs(x);
    M = a > M ? a : M;
  }
  if (!(M > 0.0 && std::isfinite(M))) return 0;
  const double l = std::log2(M);
  if (!(std::fabs(l) > 100.0)) return 0;
  const int e = static_cast<int>(std::round(l));  // halves away from zero
  // ldexp equals the product with 2^-e wherever that factor is representable
  // and stays exact when it is not (e below -1023).
  for (double& x : W.data) x = std::ldexp(x, -e);
  return e;
}

Svd Svd::new_tol(const MatView& A, std::size_t max_sweeps, double tol) {
  const bool transposed = A.rows < A.cols;
  Mat W = transposed ? A.transpose() : A.to_mat();
  const std::size_t p = W.rows, q = W.cols;
  const int e = rescale_to_unit_range(W);
  Mat V = Mat::identity(q);

  for (std::size_t sweep = 0; sweep < max_sweeps; ++sweep) {
    bool rotated = false;
    for (std::size_t c1 = 0; c1 + 1 < q; ++c1) {
      for (std::size_t c2 = c1 + 1; c2 < q; ++c2) {
        const double* w1 = W.col(c1).data();
        const double* w2 = W.col(c2).data();
        double alpha = 0.0, beta = 0.0, gamma = 0.0;
        for (std::size_t i = 0; i < p; ++i) alpha += w1[i] * w1[i];
        for (std::size_t i = 0; i < p; ++i) beta += w2[i] * w2[i];
        for (std::size_t i = 0; i < p; ++i) gamma += w1[i] * w2[i];
        // Columns already orthogonal to working precision.
        if (std::sqrt(beta * alpha) * tol >= std::fabs(gamma)) continue;
        const double zeta = (beta - alpha) / (gamma + gamma);
        const double t = signum(zeta) / (std::sqrt(zeta * zeta + 1.0) + std::fabs(zeta));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        rotate(W, c1, c2, c, s);
        rotate(V, c1, c2, c, s);
        rotated = true;
      }
    }
    if (!rotated) break;
  }

  // Column norms are the singular values; normalised columns the left vectors.
  std::vector<double> sigma(q, 0.0);
  for (std::size_t j = 0; j < q; ++j) {
    const std::span<double> col = W.col_mut(j);
    sigma[j] = norm2(col);
    if (sigma[j] > 0.0) {
      const double r = 1.0 / sigma[j];
      for (double& x : col) x = x * r;
    }
  }
  if (e != 0) {
    for (double& x : sigma) x = std::ldexp(x, e);
  }

  // Descending in the IEEE total order (std::strong_order on double: -NaN <
  // -inf < ... < -0 < +0 < ... < +inf < +NaN). Stable, so equal singular
  // values keep ascending column order.
  std::vector<std::size_t> order(q);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::is_gt(std::strong_order(sigma[a], sigma[b]));
  });
  Mat left(p, q), right(q, q);
  std::vector<double> s(q);
  for (std::size_t r = 0; r < q; ++r) {
    const std::span<const double> wc = W.col(order[r]);
    const std::span<const double> vc = V.col(order[r]);
    std::copy(wc.begin(), wc.end(), left.col_mut(r).begin());
    std::copy(vc.begin(), vc.end(), right.col_mut(r).begin());
    s[r] = sigma[order[r]];
  }

  Svd out;
  out.rows = A.rows;
  out.cols = A.cols;
  out.s = std::move(s);
  // A^T = left diag(s) right^T, so A = right diag(s) left^T.
  out.u = transposed ? std::move(right) : std::move(left);
  out.v = transposed ? std::move(left) : std::move(right);
  return out;
}

Mat reconstruct_from_factors(const MatView& u, const MatView& v, std::span<const double> values) {
  Mat out;
  reconstruct_into(u, v, values, out);
  return out;
}

void reconstruct_into(const MatView& u, const MatView& v, std::span<const double> values,
                      Mat& out) {
  const std::size_t m = u.rows, n = v.rows, k = u.cols;
  // The first missing value is the one named by the fault.
  if (k > values.size()) check_index(values.size(), values.size());
  // diag(values) v^T, with a zero value's row zero (its NaN products
  // skipped too): the product's sum for each element then runs over the
  // components in order, each term u(i, r) (v(j, r) values[r]).
  Mat w(k, n);
  for (std::size_t r = 0; r < k; ++r) {
    const double sr = values[r];
    if (sr == 0.0) continue;
    for (std::size_t j = 0; j < n; ++j) w.data[r + j * k] = v(j, r) * sr;
  }
  out.rows = m;
  out.cols = n;
  out.data.resize(m * n);
  gemm(u, w, out, 1.0, 0.0);
}

Mat Svd::reconstruct_with(std::span<const double> values) const {
  return reconstruct_from_factors(u, v, values);
}

}  // namespace quintara::linalg
