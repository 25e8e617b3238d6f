#include "core/inference/flci.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/inference/arp_test.hpp"
#include "core/inference/intervals.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/panic.hpp"

namespace quintara::inference {

namespace {

using linalg::Mat;
using Vec = std::vector<double>;

// The golden-section search stops at this relative width (or at 1/100 of
// the bracket, if narrower); the barrier at this duality gap.
constexpr double kHRelTol = 1e-6;
constexpr double kHGridPoints = 100.0;
constexpr double kBarrierGap = 1e-11;
constexpr double kBarrierGrowth = 8.0;
constexpr int kNewtonSteps = 100;
constexpr int kBisections = 200;

// The variance of the estimator as a quadratic in the free cumulative sums:
// var(z) = z'Qz + 2 r'z + c0, pre weights = G z + g0.
struct Quadratic {
  Mat g;  // n_pre x n
  Vec g0;
  Mat q;  // n x n
  Vec r;
  double c0 = 0.0;
  std::size_t n = 0;

  double var(std::span<const double> z) const {
    double v = c0;
    for (std::size_t i = 0; i < n; ++i) {
      double qi = r[i] * 2.0;
      for (std::size_t j = 0; j < n; ++j) qi += q(i, j) * z[j];
      v += qi * z[i];
    }
    return v;
  }
  // 2 (Q z + r).
  Vec grad(std::span<const double> z) const {
    Vec out(n);
    for (std::size_t i = 0; i < n; ++i) {
      double s = r[i];
      for (std::size_t j = 0; j < n; ++j) s += q(i, j) * z[j];
      out[i] = 2.0 * s;
    }
    return out;
  }
  Vec pre_weights(std::span<const double> z) const {
    Vec w = g0;
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t i = 0; i < w.size(); ++i) w[i] += g(i, j) * z[j];
    }
    return w;
  }
};

// Second differences of the cumulative sums z (z_0 = 0): the pre weights.
Vec second_difference(const Vec& z) {
  Vec w(z.size());
  for (std::size_t i = 0; i < z.size(); ++i) w[i] = z[i] - (i > 0 ? z[i - 1] : 0.0);
  Vec l(z.size());
  for (std::size_t i = 0; i < z.size(); ++i) l[i] = w[i] - (i > 0 ? w[i - 1] : 0.0);
  return l;
}

Quadratic quadratic(const Mat& sigma, std::size_t k, std::span<const double> l, double target) {
  const std::size_t t = l.size();
  Quadratic qd;
  qd.n = k - 1;
  Vec e(k, 0.0);
  e[k - 1] = target;
  qd.g0 = second_difference(e);
  qd.g = Mat(k, qd.n);
  for (std::size_t j = 0; j < qd.n; ++j) {
    Vec u(k, 0.0);
    u[j] = 1.0;
    const Vec c = second_difference(u);
    for (std::size_t i = 0; i < k; ++i) qd.g(i, j) = c[i];
  }
  // s = Sigma_pre g0 + Sigma_pre,post l; c0 = g0'Sigma_pre g0 + 2 g0'Sigma_pre,post l +
  // l'Sigma_post l.
  Vec sp(k, 0.0);
  Vec sq(k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) sp[i] += sigma(i, j) * qd.g0[j];
    for (std::size_t j = 0; j < t; ++j) sq[i] += sigma(i, k + j) * l[j];
  }
  double post = 0.0;
  for (std::size_t i = 0; i < t; ++i) {
    for (std::size_t j = 0; j < t; ++j) post += l[i] * sigma(k + i, k + j) * l[j];
  }
  for (std::size_t i = 0; i < k; ++i) qd.c0 += qd.g0[i] * (sp[i] + 2.0 * sq[i]);
  qd.c0 += post;
  qd.q = Mat(qd.n, qd.n);
  qd.r.assign(qd.n, 0.0);
  for (std::size_t a = 0; a < qd.n; ++a) {
    for (std::size_t i = 0; i < k; ++i) qd.r[a] += qd.g(i, a) * (sp[i] + sq[i]);
    for (std::size_t b = 0; b < qd.n; ++b) {
      double s = 0.0;
      for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) s += qd.g(i, a) * sigma(i, j) * qd.g(j, b);
      }
      qd.q(a, b) = s;
    }
  }
  return qd;
}

// The least-variance point -Q^{-1} r.
Vec least_variance(const Quadratic& qd) {
  if (qd.n == 0) return {};
  auto chol = linalg::Cholesky::make(qd.q);
  if (!chol) panic("smoothness interval: the pre-period covariance is not positive definite");
  Vec z = chol.value().solve_vec(qd.r);
  for (double& v : z) v = -v;
  return z;
}

// min sum|z| s.t. var(z) <= h^2 from the strictly feasible z0, as min 1'u
// over -u <= z <= u by the barrier method.
Vec least_l1(const Quadratic& qd, double h, Vec z) {
  const std::size_t n = qd.n;
  const double h2 = h * h;
  Vec u(n);
  for (std::size_t i = 0; i < n; ++i) u[i] = std::abs(z[i]) + 1.0;
  auto phi = [&](const Vec& zz, const Vec& uu, double t, bool& inside) {
    double f = 0.0;
    inside = true;
    for (std::size_t i = 0; i < n; ++i) {
      const double a = uu[i] - zz[i];
      const double b = uu[i] + zz[i];
      if (!(a > 0.0 && b > 0.0)) inside = false;
      f += t * uu[i] - std::log(a) - std::log(b);
    }
    const double s = h2 - qd.var(zz);
    if (!(s > 0.0)) inside = false;
    return inside ? f - std::log(s) : 0.0;
  };
  const double m = static_cast<double>(2 * n + 1);
  for (double t = 1.0; m / t > kBarrierGap; t *= kBarrierGrowth) {
    for (int step = 0; step < kNewtonSteps; ++step) {
      const Vec dv = qd.grad(z);
      const double s = h2 - qd.var(z);
      Mat hess(2 * n, 2 * n);
      Vec g(2 * n);
      for (std::size_t i = 0; i < n; ++i) {
        const double a = u[i] - z[i];
        const double b = u[i] + z[i];
        g[i] = 1.0 / a - 1.0 / b + dv[i] / s;
        g[n + i] = t - 1.0 / a - 1.0 / b;
        const double aa = 1.0 / (a * a);
        const double bb = 1.0 / (b * b);
        hess(i, i) += aa + bb;
        hess(n + i, n + i) = aa + bb;
        hess(i, n + i) = bb - aa;
        hess(n + i, i) = bb - aa;
        for (std::size_t j = 0; j < n; ++j)
          hess(i, j) += 2.0 * qd.q(i, j) / s + dv[i] * dv[j] / (s * s);
      }
      auto chol = linalg::Cholesky::make(hess);
      if (!chol) break;
      Vec dx = chol.value().solve_vec(g);
      double decrement = 0.0;
      for (std::size_t i = 0; i < 2 * n; ++i) decrement += g[i] * dx[i];
      if (decrement / 2.0 <= 1e-14) break;
      bool inside = true;
      const double f0 = phi(z, u, t, inside);
      double step_len = 1.0;
      Vec zn(n);
      Vec un(n);
      for (int back = 0; back < 60; ++back, step_len /= 2.0) {
        for (std::size_t i = 0; i < n; ++i) {
          zn[i] = z[i] - step_len * dx[i];
          un[i] = u[i] - step_len * dx[n + i];
        }
        const double f1 = phi(zn, un, t, inside);
        if (inside && f1 <= f0 - 0.25 * step_len * decrement) break;
      }
      if (!inside) break;
      z = zn;
      u = un;
    }
  }
  return z;
}

struct Setup {
  Quadratic qd;
  double bias_constant = 0.0;  // worst-case bias at z = 0, per unit of M
  double m = 0.0;
  double alpha = 0.0;
  Vec z_min_var;
};

double l1(const Vec& z) {
  double s = 0.0;
  for (const double v : z) s += std::abs(v);
  return s;
}

// The half-length at standard deviation h, and its cumulative sums.
std::pair<double, Vec> half_length(const Setup& st, double h) {
  const Vec z = st.qd.n == 0 ? Vec{} : least_l1(st.qd, h, st.z_min_var);
  const double bias = st.m * (st.bias_constant + l1(z));
  return {folded_normal_quantile(1.0 - st.alpha, bias / h) * h, z};
}

}  // namespace

double folded_normal_quantile(double p, double mu) {
  mu = std::abs(mu);
  if (mu == 0.0) return normal_quantile((1.0 + p) / 2.0);
  auto cdf = [&](double x) { return normal_cdf(x - mu) - normal_cdf(-x - mu); };
  double lo = 0.0;
  double hi = mu + 8.0;
  while (cdf(hi) < p) hi *= 2.0;
  for (int i = 0; i < kBisections; ++i) {
    const double mid = (lo + hi) / 2.0;
    if (mid <= lo || mid >= hi) break;
    (cdf(mid) < p ? lo : hi) = mid;
  }
  return (lo + hi) / 2.0;
}

Flci smoothness_flci(std::span<const double> betahat, const Mat& sigma, std::size_t n_pre,
                     std::span<const double> l, double m, double alpha) {
  const std::size_t t = l.size();
  double target = 0.0;
  for (std::size_t k = 0; k < t; ++k) target += static_cast<double>(k + 1) * l[k];
  Setup st;
  st.m = m;
  st.alpha = alpha;
  // The worst case over Delta^SD of the post part: the sum over horizons of
  // |sum_k k l_k| over the trailing weights, less its signed counterpart.
  for (std::size_t s = 1; s <= t; ++s) {
    double part = 0.0;
    for (std::size_t k = 1; k <= s; ++k) part += static_cast<double>(k) * l[t - s + k - 1];
    st.bias_constant += std::abs(part);
  }
  st.bias_constant += std::abs(target) - target;
  st.qd = quadratic(sigma, n_pre, l, target);
  st.z_min_var = least_variance(st.qd);
  const double h_hi = std::sqrt(st.qd.c0);
  const double h_lo = std::sqrt(std::max(st.qd.var(st.z_min_var), 0.0));
  double h_opt = h_hi;
  if (st.qd.n > 0 && h_hi > h_lo) {
    const double tol = std::min((h_hi - h_lo) / kHGridPoints, std::abs(h_hi) * kHRelTol);
    const double golden = (1.0 + std::sqrt(5.0)) / 2.0;
    double a = h_lo;
    double b = h_hi;
    double c = b - (b - a) / golden;
    double d = a + (b - a) / golden;
    double fc = half_length(st, c).first;
    double fd = half_length(st, d).first;
    while (std::abs(b - a) > tol) {
      if (fc < fd) {
        b = d;
        d = c;
        fd = fc;
        c = b - (b - a) / golden;
        fc = half_length(st, c).first;
      } else {
        a = c;
        c = d;
        fc = fd;
        d = a + (b - a) / golden;
        fd = half_length(st, d).first;
      }
    }
    h_opt = (a + b) / 2.0;
    // The search never evaluates the ends of its range, where the optimum
    // lies when the bias bound binds nothing (m = 0: the least-variance
    // weights at h_lo): take an end that does better.
    double best = half_length(st, h_opt).first;
    for (const double h : {h_lo, h_hi}) {
      const double f = half_length(st, h).first;
      if (f < best) {
        best = f;
        h_opt = h;
      }
    }
  }
  const auto [chi, z] = half_length(st, h_opt);
  Flci out;
  out.half_length = chi;
  out.pre_weights = st.qd.pre_weights(z);
  for (std::size_t i = 0; i < n_pre; ++i) out.estimate += out.pre_weights[i] * betahat[i];
  for (std::size_t k = 0; k < t; ++k) out.estimate += l[k] * betahat[n_pre + k];
  return out;
}

}  // namespace quintara::inference
