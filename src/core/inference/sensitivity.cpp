#include "core/inference/sensitivity.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/inference/arp_test.hpp"
#include "core/inference/flci.hpp"
#include "core/inference/intervals.hpp"
#include "core/inference/relative_magnitudes.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::inference {

namespace {

using linalg::Mat;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// The breakdown search: doublings to bracket, then bisections.
constexpr int kMaxDoublings = 40;
constexpr int kBisections = 14;

// F with F F' = sigma from the symmetric eigen-decomposition (the SVD of a
// symmetric positive semi-definite matrix), so a singular sigma still has one.
Mat covariance_factor(const Mat& sigma) {
  const linalg::Svd svd = linalg::Svd::new_tol(sigma, linalg::kJacobiMaxSweeps, linalg::kJacobiTol);
  Mat f(sigma.rows, svd.s.size());
  for (std::size_t j = 0; j < svd.s.size(); ++j) {
    const double root = std::sqrt(svd.s[j]);
    for (std::size_t i = 0; i < sigma.rows; ++i) f(i, j) = svd.u(i, j) * root;
  }
  return f;
}

class Evaluator {
 public:
  explicit Evaluator(const SensitivityRequest& r)
      : r_(r), factor_(covariance_factor(r.sigma)), budget_{r.max_lp_solves, 0} {}

  std::pair<double, double> interval(double m) {
    const double alpha = 1.0 - r_.level;
    if (r_.kind == SensitivityKind::smoothness) {
      const Flci f = smoothness_flci(r_.betahat, r_.sigma, r_.n_pre, r_.l, m, alpha);
      return {f.estimate - f.half_length, f.estimate + f.half_length};
    }
    RmProblem p;
    p.betahat = r_.betahat;
    p.sigma = &r_.sigma;
    p.factor = &factor_;
    p.n_pre = r_.n_pre;
    p.l = r_.l;
    p.alpha = alpha;
    p.grid_points = r_.grid_points;
    p.hybrid = r_.hybrid;
    const GridInterval g = rm_confidence_set(p, m, budget_);
    return {g.lower, g.upper};
  }

  // 0 outside the interval; an empty set excludes it too.
  bool excludes_zero(double m) {
    const auto [lo, hi] = interval(m);
    if (std::isnan(lo)) return true;
    return lo > 0.0 || hi < 0.0;
  }

  std::uint64_t used() const { return budget_.used; }

 private:
  const SensitivityRequest& r_;
  Mat factor_;
  LpBudget budget_;
};

double breakdown_value(Evaluator& ev, double start) {
  if (!ev.excludes_zero(0.0)) return kNaN;
  double lo = 0.0;
  double hi = start;
  int doublings = 0;
  while (ev.excludes_zero(hi)) {
    if (++doublings > kMaxDoublings) return kInf;
    lo = hi;
    hi *= 2.0;
  }
  for (int i = 0; i < kBisections; ++i) {
    const double mid = (lo + hi) / 2.0;
    (ev.excludes_zero(mid) ? lo : hi) = mid;
  }
  return lo;
}

// The request in units where the largest standard error lies in [1, 2): a
// power-of-two rescaling, exact, which puts the programs' entries and the
// fixed tolerances on one scale whatever the units of beta.
std::pair<SensitivityRequest, int> normalised(const SensitivityRequest& r) {
  double sd = 0.0;
  for (std::size_t i = 0; i < r.sigma.rows; ++i) sd = std::max(sd, std::sqrt(r.sigma(i, i)));
  const int e = sd > 0.0 && std::isfinite(sd) ? std::ilogb(sd) : 0;
  SensitivityRequest n = r;
  for (double& v : n.betahat) v = std::ldexp(v, -e);
  for (double& v : n.sigma.data) v = std::ldexp(v, -2 * e);
  if (r.kind == SensitivityKind::smoothness) {
    for (double& v : n.m) v = std::ldexp(v, -e);
  }
  return {std::move(n), e};
}

SensitivityResult sensitivity_normalised(const SensitivityRequest& r) {
  SensitivityResult out;
  const std::size_t k = r.n_pre;
  double var = 0.0;
  for (std::size_t i = 0; i < r.l.size(); ++i) {
    out.estimate += r.l[i] * r.betahat[k + i];
    for (std::size_t j = 0; j < r.l.size(); ++j) var += r.l[i] * r.sigma(k + i, k + j) * r.l[j];
  }
  out.se = std::sqrt(var);
  const double z = normal_critical(r.level);
  out.original_lower = out.estimate - z * out.se;
  out.original_upper = out.estimate + z * out.se;
  Evaluator ev(r);
  out.m = r.m;
  for (const double m : r.m) {
    const auto [lo, hi] = ev.interval(m);
    out.lower.push_back(lo);
    out.upper.push_back(hi);
  }
  out.breakdown = kNaN;
  if (r.breakdown) {
    // Mbar is unitless; M is a second difference in the units of beta, for
    // which the estimate's own standard error sets the first scale.
    const double start = r.kind == SensitivityKind::relative_magnitude ? 1.0 : out.se;
    out.breakdown = breakdown_value(ev, start > 0.0 ? start : 1.0);
  }
  out.lp_solves = ev.used();
  return out;
}

}  // namespace

SensitivityResult sensitivity(const SensitivityRequest& r) {
  const auto [n, e] = normalised(r);
  SensitivityResult out = sensitivity_normalised(n);
  auto back = [e](double& v) { v = std::ldexp(v, e); };
  for (double& v : out.lower) back(v);
  for (double& v : out.upper) back(v);
  back(out.estimate);
  back(out.se);
  back(out.original_lower);
  back(out.original_upper);
  if (r.kind == SensitivityKind::smoothness) back(out.breakdown);
  out.m = r.m;
  return out;
}

}  // namespace quintara::inference
