#include "core/geo/period_weights.hpp"

#include <algorithm>
#include <cmath>

#include "core/linalg/active_set.hpp"
#include "core/linalg/factor_columns.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/wide_clones.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

namespace {

// Primal-dual steps before a window goes to the active-set solver: from the
// previous window's free set the set stands after one to three, from every
// control free (the first window) after about six.
constexpr std::size_t kMaxSteps = 24;
// Changes of the free set applied to the factor by rank-one updates, each
// O(t0^2); beyond this many a fresh factorisation, O(t0^3 / 6), is cheaper.
constexpr std::size_t kMaxCorrections = 8;
// Every pivot squared of lambda I + X_F X_F^T is at least lambda in exact
// arithmetic; one below half of that has lost what the solve relies on.
constexpr double kPivotShare = 0.5;
// The weights must sum to 1 as tightly as a warm start's (active_set.hpp).
constexpr double kSumSlack = 1e-9;

const double* column(const linalg::Mat& m, std::size_t j) { return m.data.data() + j * m.rows; }

QUINTARA_WIDE_CLONES void axpy(double* __restrict y, const double* __restrict x, double t,
                               std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) y[k] = y[k] + x[k] * t;
}

}  // namespace

PeriodWeights::PeriodWeights(const SharedGrams& g, std::span<const std::size_t> controls)
    : g_(g), controls_(controls), rows_(g.level.rows) {
  QUINTARA_ASSERT(g.method == estimators::sc::Method::Sdid && rows_ > 0,
                  "PeriodWeights: SDID grams required");
  QUINTARA_ASSERT(controls.size() >= 2, "PeriodWeights: fewer than two controls");
  const std::size_t n = g.n_markets(), J = controls.size();
  free_.assign(J, 1);
  n_free_ = J;
  // Whichever side is smaller: the controls' outer products, or every
  // market's less those of the markets left out.
  if (2 * J <= n) {
    outer_.assign(rows_ * rows_, 0.0);
    level_update(g, outer_.data(), controls, std::vector<double>(J, 1.0));
  } else {
    outer_.assign(g.level_outer.data.begin(), g.level_outer.data.end());
    std::vector<unsigned char> is_control(n, 0);
    for (const std::size_t j : controls) is_control[j] = 1;
    std::vector<std::size_t> others;
    for (std::size_t j = 0; j < n; ++j) {
      if (!is_control[j]) others.push_back(j);
    }
    level_update(g, outer_.data(), others, std::vector<double>(others.size(), -1.0));
  }
  sum_.assign(rows_, 0.0);
  for (const std::size_t j : controls) axpy(sum_.data(), column(g.level, j), 1.0, rows_);
}

// The changed controls (positions) in or out of the free set, the carried
// sums with them, the outer products in one pass.
void PeriodWeights::flip(std::span<const std::size_t> changed) {
  markets_.clear();
  signs_.clear();
  for (const std::size_t k : changed) {
    const std::size_t j = controls_[k];
    const double sign = free_[k] ? -1.0 : 1.0;
    markets_.push_back(j);
    signs_.push_back(sign);
    axpy(sum_.data(), column(g_.level, j), sign, rows_);
    free_[k] = free_[k] ? 0 : 1;
    n_free_ = free_[k] ? n_free_ + 1 : n_free_ - 1;
  }
  level_update(g_, outer_.data(), markets_, signs_);
}

// The free columns' sum over the window, centred (X_F 1), into s_.
void PeriodWeights::centre_sum(std::size_t t0) {
  s_.resize(t0);
  const double mu = linalg::mean_div(t0, [&](std::size_t t) { return sum_[t]; });
  for (std::size_t t = 0; t < t0; ++t) s_[t] = sum_[t] - mu;
}

// lambda I + C R C over the window's t0 periods into L_, factored; the
// centred sum with it.
bool PeriodWeights::factor(std::size_t t0, double lambda) {
  const double* R = outer_.data();
  // Row sums of R's leading block, from its lower triangle: each column's
  // entries go down the rows below it, and its sum below the diagonal (in
  // lanes, not one chain of additions) to its own row.
  std::vector<double>& rs = rb_;
  rs.assign(t0, 0.0);
  ones_.resize(rows_, 1.0);
  for (std::size_t u = 0; u < t0; ++u) {
    const double* col = R + u * rows_;
    const double below = linalg::lane_dot(col + u + 1, ones_.data(), t0 - u - 1);
    for (std::size_t t = u + 1; t < t0; ++t) rs[t] = rs[t] + col[t];
    rs[u] = (rs[u] + col[u]) + below;
  }
  const double inv = 1.0 / static_cast<double>(t0);
  double total = 0.0;
  for (std::size_t t = 0; t < t0; ++t) {
    total += rs[t];
    rs[t] = rs[t] * inv;
  }
  const double both = total * inv * inv;
  L_.resize(t0 * t0);
  for (std::size_t u = 0; u < t0; ++u) {
    const double* col = R + u * rows_;
    double* out = L_.data() + u * t0;
    const double au = rs[u];
    for (std::size_t t = u; t < t0; ++t) out[t] = ((col[t] - rs[t]) - au) + both;
    out[u] = out[u] + lambda;
  }
  centre_sum(t0);
  return linalg::factor_blocked(L_.data(), t0, t0, 0, kPivotShare * lambda) == 0;
}

// Flips the changed controls and brings the factor along by rank-one
// updates of their centred columns, entries before removals (a removal
// from the larger matrix keeps more curvature); false when there are too
// many or a removal fails, the factor then to be formed afresh.
bool PeriodWeights::correct(std::size_t t0, std::span<const std::size_t> changed, double lambda) {
  flip(changed);
  if (changed.size() > kMaxCorrections) return false;
  for (const int pass : {1, 0}) {
    for (const std::size_t k : changed) {
      if (free_[k] != pass) continue;
      const std::size_t j = controls_[k];
      const double* e = column(g_.level, j);
      const double m = current_mean_[j];
      x_.resize(t0);
      for (std::size_t t = 0; t < t0; ++t) x_[t] = e[t] - m;
      if (!linalg::rank_one_update(L_.data(), t0, t0, x_.data(), pass ? 1.0 : -1.0,
                                   kPivotShare * lambda)) {
        return false;
      }
    }
  }
  centre_sum(t0);
  return true;
}

// The pair (r, mu) on the free set, by the factor L of M: with u = L^-1 s
// and v = L^-1 lambda y, s^T M^-1 s = u^T u and s^T M^-1 lambda y = u^T v,
// so mu follows from forward solves and r = L^-T (v + mu u) from one back
// solve. Then every control's score x_j^T r - mu, x_j^T r taken as
// e_j^T r less the column mean times sum r.
void PeriodWeights::scores(std::span<const double> y, double lambda) {
  const std::size_t t0 = y.size();
  ra_.resize(t0);
  rb_.assign(s_.begin(), s_.end());
  for (std::size_t t = 0; t < t0; ++t) ra_[t] = lambda * y[t];
  linalg::forward_solve2(L_.data(), t0, t0, ra_.data(), rb_.data());
  const double uv = linalg::lane_dot(rb_.data(), ra_.data(), t0);
  const double uu = linalg::lane_dot(rb_.data(), rb_.data(), t0);
  // u^T u < |F| (M exceeds X_F X_F^T by lambda I), so the denominator is
  // negative.
  const double mu = (lambda - uv) / (uu - static_cast<double>(n_free_));
  for (std::size_t t = 0; t < t0; ++t) ra_[t] = ra_[t] + mu * rb_[t];
  linalg::back_solve(L_.data(), t0, t0, ra_.data());
  double rsum = 0.0;
  for (std::size_t t = 0; t < t0; ++t) rsum += ra_[t];
  const double* mean = current_mean_;
  const std::size_t J = controls_.size();
  score_.resize(J);
  linalg::lane_dots(g_.level.data.data(), rows_, controls_.data(), J, ra_.data(), t0,
                    score_.data());
  for (std::size_t k = 0; k < J; ++k) score_[k] = (score_[k] - mean[controls_[k]] * rsum) - mu;
}

// The active-set solver's test (active_set.hpp) on H = G + lambda I over
// the controls, G the window's Gram matrix: its scale from G's diagonal,
// the gradient from scratch as X^T (X omega) + lambda omega - c, over the
// periods (G = X^T X; the level columns stay in cache, G's do not).
bool PeriodWeights::kkt_holds(std::size_t w, std::span<const double> c, double lambda,
                              std::span<const double> omega) {
  const std::vector<double>& diag = g_.unit_diag[w];
  const std::size_t t0 = g_.windows[w], J = controls_.size();
  const double* mean = current_mean_;
  x_.assign(t0, 0.0);
  cols_.clear();
  steps_.clear();
  double sum = 0.0, shift = 0.0, scale = 0.0;
  for (std::size_t k = 0; k < J; ++k) {
    const std::size_t j = controls_[k];
    scale = std::fmax(scale, std::fmax(std::fabs(diag[j] + lambda), std::fabs(c[k])));
    if (omega[k] == 0.0) continue;
    cols_.push_back(column(g_.level, j));
    steps_.push_back(omega[k]);
    shift += omega[k] * mean[j];
    sum += omega[k];
  }
  linalg::axpy_columns(x_.data(), cols_.data(), steps_.data(), cols_.size(), t0);
  if (!(std::fabs(sum - 1.0) <= kSumSlack)) return false;
  double vsum = 0.0;
  for (std::size_t t = 0; t < t0; ++t) {
    x_[t] = x_[t] - shift;
    vsum += x_[t];
  }
  const double tol = linalg::kkt_tolerance(scale, J);
  score_.resize(J);
  linalg::lane_dots(g_.level.data.data(), rows_, controls_.data(), J, x_.data(), t0, score_.data());
  double free_sum = 0.0;
  for (std::size_t k = 0; k < J; ++k) {
    const double xv = score_[k] - mean[controls_[k]] * vsum;
    score_[k] = (xv + lambda * omega[k]) - c[k];
    if (free_[k]) free_sum += score_[k];
  }
  const double mu = free_sum / static_cast<double>(n_free_);
  for (std::size_t k = 0; k < J; ++k) {
    const double off = free_[k] ? std::fabs(score_[k] - mu) : mu - score_[k];
    if (!(off <= tol)) return false;
  }
  return true;
}

std::vector<double> PeriodWeights::solve(std::size_t w, std::span<const double> y,
                                         std::span<const double> c, double lambda) {
  const std::size_t t0 = g_.windows[w], J = controls_.size();
  QUINTARA_ASSERT(y.size() == t0 && c.size() == J, "PeriodWeights::solve: sizes");
  if (!(lambda > 0.0) || t0 > rows_ || n_free_ == 0) return {};
  current_mean_ = g_.level_mean[w].data();
  if (!factor(t0, lambda)) return {};
  std::vector<std::size_t> changed;
  for (std::size_t step = 0; step < kMaxSteps; ++step) {
    scores(y, lambda);
    changed.clear();
    std::size_t positive = 0;
    for (std::size_t k = 0; k < J; ++k) {
      const bool in = score_[k] > 0.0;
      positive += in ? 1 : 0;
      if (in != (free_[k] != 0)) changed.push_back(k);
    }
    if (changed.empty()) {
      std::vector<double> omega(J, 0.0);
      for (std::size_t k = 0; k < J; ++k) {
        if (free_[k]) omega[k] = score_[k] / lambda;
      }
      if (kkt_holds(w, c, lambda, omega)) return omega;
      return {};
    }
    if (positive == 0) return {};
    if (!correct(t0, changed, lambda) && !factor(t0, lambda)) return {};
  }
  return {};
}

void PeriodWeights::follow(std::span<const double> omega) {
  QUINTARA_ASSERT(omega.size() == controls_.size(), "PeriodWeights::follow: sizes");
  std::vector<std::size_t> changed;
  for (std::size_t k = 0; k < omega.size(); ++k) {
    if ((omega[k] > 0.0) != (free_[k] != 0)) changed.push_back(k);
  }
  flip(changed);
}

}  // namespace quintara::geo
