#include "core/inference/arp_test.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/format.hpp"
#include "core/inference/intervals.hpp"
#include "core/linalg/lp.hpp"
#include "core/linalg/lu.hpp"
#include "core/linalg/rng.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::inference {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEps = std::numeric_limits<double>::epsilon();
// A dual weight above this marks an active moment.
constexpr double kActiveTol = 1e-6;
// The bisection for vlo / vup: its resolution and the test that a value is
// still the dual program's optimum.
constexpr double kBisectTol = 1e-6;
constexpr double kSolutionTol = 1e-6;
constexpr int kSecantSteps = 10;
constexpr int kMaxBisections = 10000;

using linalg::Mat;
using Vec = std::vector<double>;

double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

Vec mat_vec(const Mat& m, std::span<const double> v) {
  Vec out(m.rows, 0.0);
  for (std::size_t j = 0; j < m.cols; ++j) {
    for (std::size_t i = 0; i < m.rows; ++i) out[i] += m(i, j) * v[j];
  }
  return out;
}

Vec sd_of(const Mat& sigma) {
  Vec sd(sigma.rows);
  for (std::size_t i = 0; i < sigma.rows; ++i) sd[i] = std::sqrt(sigma(i, i));
  return sd;
}

// W = [sd, X]: the columns of the dual program's equality rows.
Mat w_matrix(const MomentProblem& p, const Vec& sd) {
  Mat w(p.x.rows, p.x.cols + 1);
  for (std::size_t i = 0; i < p.x.rows; ++i) {
    w(i, 0) = sd[i];
    for (std::size_t j = 0; j < p.x.cols; ++j) w(i, j + 1) = p.x(i, j);
  }
  return w;
}

struct DualSolution {
  bool ok = false;
  double value = 0.0;
  Vec lambda;
};

// max f'lambda over lambda >= 0, W'lambda = e1.
DualSolution solve_dual(const Mat& w, std::span<const double> f, LpBudget& budget) {
  budget.take();
  linalg::LinearProgram lp;
  lp.c.resize(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) lp.c[i] = -f[i];
  lp.a_eq = w.transpose();
  lp.b_eq.assign(w.cols, 0.0);
  lp.b_eq[0] = 1.0;
  const linalg::LpSolution s = linalg::solve_lp(lp);
  if (s.status != linalg::LpStatus::optimal) return {};
  return {true, -s.objective, s.x};
}

double round_eps(double x) {
  static const double eps = std::pow(kEps, 0.75);
  return std::abs(x) < eps ? 0.0 : x;
}

// The range of c over which the dual program with objective s + b c keeps
// the optimum c, b = sigma gamma / gamma'sigma gamma: the truncation of the
// conditional test at a degenerate vertex.
struct Truncation {
  double lo = -kInf;
  double up = kInf;
};

class DualRange {
 public:
  DualRange(const Mat& w, Vec s, Vec b, LpBudget& budget)
      : w_(w), s_(std::move(s)), b_(std::move(b)), budget_(budget) {}

  // Whether c is the optimum of the program at c, with its solution.
  bool is_solution(double c, DualSolution& out) {
    Vec f(s_.size());
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = s_[i] + b_[i] * c;
    out = solve_dual(w_, f, budget_);
    return out.ok && std::abs(c - out.value) <= kSolutionTol;
  }

  // The secant step from a solution: where its vertex's value meets c.
  double secant(const DualSolution& d, double fallback) const {
    if (!d.ok) return fallback;
    return round_eps(dot(d.lambda, s_)) / (1.0 - dot(d.lambda, b_));
  }

  // The edge of the range beyond eta in the direction of `outer` (+-100 or
  // eta +- 20 sd): infinite when the program at `outer` is still solved.
  double edge(double eta, double outer) {
    DualSolution d;
    if (is_solution(outer, d)) return outer > eta ? kInf : -kInf;
    int iters = 1;
    double mid = secant(d, outer);
    while (iters < kSecantSteps) {
      if (is_solution(mid, d)) break;
      ++iters;
      if (!d.ok) break;
      mid = secant(d, mid);
    }
    // Bisection between eta (inside) and mid.
    double inside = eta;
    double outside = mid;
    double diff = kBisectTol + 1.0;
    while (diff > kBisectTol && iters < kMaxBisections) {
      ++iters;
      mid = (inside + outside) / 2.0;
      if (is_solution(mid, d)) {
        inside = mid;
      } else {
        outside = mid;
      }
      diff = std::abs(outside - inside);
    }
    return mid;
  }

 private:
  const Mat& w_;
  Vec s_;
  Vec b_;
  LpBudget& budget_;
};

Truncation dual_truncation(const Mat& w, const Mat& sigma, std::span<const double> y, double eta,
                           const Vec& gamma, double gsg, LpBudget& budget) {
  const Vec sg = mat_vec(sigma, gamma);
  const double gy = dot(gamma, y);
  Vec s(y.size());
  Vec b(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    s[i] = y[i] - sg[i] * gy / gsg;
    b[i] = sg[i] / gsg;
  }
  DualRange range(w, std::move(s), std::move(b), budget);
  DualSolution d;
  if (!range.is_solution(eta, d)) return {eta, kInf};
  const double sd_b = std::sqrt(gsg);
  Truncation t;
  t.up = range.edge(eta, std::max(100.0, eta + 20.0 * sd_b));
  t.lo = range.edge(eta, std::min(-100.0, eta - 20.0 * sd_b));
  return t;
}

// Numerical rank with the usual cut-off: largest singular value times the
// larger dimension times machine epsilon.
std::size_t rank(const Mat& m) {
  if (m.rows == 0 || m.cols == 0) return 0;
  const linalg::Svd svd = linalg::Svd::new_tol(m, linalg::kJacobiMaxSweeps, linalg::kJacobiTol);
  const double cut =
      svd.s.empty() ? 0.0 : svd.s[0] * static_cast<double>(std::max(m.rows, m.cols)) * kEps;
  std::size_t r = 0;
  for (const double s : svd.s) r += s > cut ? 1 : 0;
  return r;
}

// The closed-form truncation at a non-degenerate vertex with active set b:
// eta = v_b'y along direction sigma v_b, the inactive moments staying slack.
struct Closed {
  Truncation t;
  double sd_b = 0.0;
};

std::optional<Closed> closed_truncation(const Mat& w, const Mat& sigma, std::span<const double> y,
                                        const std::vector<std::size_t>& active) {
  const std::size_t n = y.size();
  const std::size_t k1 = w.cols;
  std::vector<bool> is_active(n, false);
  for (const std::size_t i : active) is_active[i] = true;
  Mat wb(k1, k1);
  for (std::size_t r = 0; r < k1; ++r) {
    for (std::size_t j = 0; j < k1; ++j) wb(r, j) = w(active[r], j);
  }
  // v_b = S_b' W_b^{-T} e1.
  Vec e1(k1, 0.0);
  e1[0] = 1.0;
  const Mat wbt = wb.transpose();
  const std::optional<Vec> vshort = linalg::solve_lu(wbt, e1);
  if (!vshort) return std::nullopt;
  Vec v(n, 0.0);
  for (std::size_t r = 0; r < k1; ++r) v[active[r]] = (*vshort)[r];
  const Vec sv = mat_vec(sigma, v);
  const double s2 = dot(v, sv);
  if (!(s2 > 0.0)) return std::nullopt;
  const double vy = dot(v, y);
  Closed out;
  out.sd_b = std::sqrt(s2);
  // Each inactive row i: gamma_i = W_i W_b^{-1} S_b - e_i.
  for (std::size_t i = 0; i < n; ++i) {
    if (is_active[i]) continue;
    Vec wi(k1);
    for (std::size_t j = 0; j < k1; ++j) wi[j] = w(i, j);
    const std::optional<Vec> coef = linalg::solve_lu(wbt, wi);
    if (!coef) return std::nullopt;
    Vec g(n, 0.0);
    for (std::size_t r = 0; r < k1; ++r) g[active[r]] = (*coef)[r];
    g[i] -= 1.0;
    const double rho = dot(g, sv) / s2;
    const double m = -dot(g, y) / rho + vy;
    if (rho > 0.0) out.t.lo = std::max(out.t.lo, m);
    if (rho < 0.0) out.t.up = std::min(out.t.up, m);
  }
  return out;
}

// The conditional stage: reject when eta / sd exceeds the truncated quantile.
bool conditional_rejects(double eta, double sd_b, Truncation t, const HybridOptions& o) {
  const double size = (o.alpha - o.kappa) / (1.0 - o.kappa);
  const double maxstat = eta / sd_b;
  const double zlo = t.lo / sd_b;
  const double zup = std::min(t.up, o.lf_cv) / sd_b;
  if (!(zlo <= maxstat && maxstat <= zup)) return false;
  const double cval = std::max(0.0, truncated_normal_quantile(1.0 - size, zlo, zup));
  return maxstat > cval;
}

}  // namespace

void LpBudget::take() {
  if (used >= limit) {
    throw WorkBudgetExceeded(format("more than {} linear programs", limit));
  }
  ++used;
}

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

double truncated_normal_quantile(double p, double lower, double upper) {
  if (p <= 0.0) return lower;
  if (p >= 1.0) return upper;
  if (std::isinf(lower) && std::isinf(upper)) return normal_quantile(p);
  const double pl = std::isinf(lower) ? 0.0 : normal_cdf(lower);
  const double pu = std::isinf(upper) ? 1.0 : normal_cdf(upper);
  const double pt = pl + p * (pu - pl);
  if (pt <= pl) return lower;
  if (pt >= pu) return upper;
  return normal_quantile(pt);
}

bool hybrid_rejects(const MomentProblem& p, std::span<const double> y, const HybridOptions& o,
                    LpBudget& budget) {
  const Vec sd = sd_of(p.sigma);
  const Mat w = w_matrix(p, sd);
  const DualSolution d = solve_dual(w, y, budget);
  // No optimal vertex (eta unbounded below, or the simplex at its cap):
  // nothing is rejected, the conservative reading.
  if (!d.ok) return false;
  const double eta = d.value;
  if (eta > o.lf_cv) return true;
  const std::size_t k = p.x.cols;
  std::vector<std::size_t> active;
  for (std::size_t i = 0; i < d.lambda.size(); ++i) {
    if (d.lambda[i] > kActiveTol) active.push_back(i);
  }
  bool regular = active.size() == k + 1;
  if (regular && k > 0) {
    Mat xb(active.size(), k);
    for (std::size_t r = 0; r < active.size(); ++r) {
      for (std::size_t j = 0; j < k; ++j) xb(r, j) = p.x(active[r], j);
    }
    regular = rank(xb) == std::min(xb.rows, xb.cols);
  }
  if (regular) {
    if (const std::optional<Closed> c = closed_truncation(w, p.sigma, y, active)) {
      return conditional_rejects(eta, c->sd_b, c->t, o);
    }
  }
  const Vec& gamma = d.lambda;
  const double gsg = dot(gamma, mat_vec(p.sigma, gamma));
  if (std::abs(gsg) < kEps) return eta > 0.0;
  const Truncation t = dual_truncation(w, p.sigma, y, eta, gamma, gsg, budget);
  return conditional_rejects(eta, std::sqrt(gsg), t, o);
}

double least_favourable_cv(const MomentProblem& p, const linalg::Mat& factor, double kappa,
                           std::size_t draws, std::uint64_t seed, std::uint64_t stream,
                           LpBudget& budget) {
  const Vec sd = sd_of(p.sigma);
  const Mat w = w_matrix(p, sd);
  linalg::Xoshiro256pp gen = linalg::Xoshiro256pp::substream(seed, stream);
  Vec etas;
  etas.reserve(draws);
  Vec z(factor.cols);
  for (std::size_t r = 0; r < draws; ++r) {
    for (double& v : z) v = gen.normal();
    const Vec xi = mat_vec(factor, z);
    if (p.x.cols == 0) {
      double m = -kInf;
      for (std::size_t i = 0; i < xi.size(); ++i) m = std::max(m, xi[i] / sd[i]);
      etas.push_back(m);
      continue;
    }
    const DualSolution d = solve_dual(w, xi, budget);
    if (d.ok) etas.push_back(d.value);
  }
  std::sort(etas.begin(), etas.end());
  return quantile_sorted(etas, 1.0 - kappa);
}

}  // namespace quintara::inference
