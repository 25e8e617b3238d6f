#include "core/estimators/sc/sdid.hpp"

#include <cmath>
#include <utility>

#include "core/estimators/sc/donor_pool.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::sdid {

namespace {

// Every mean here divides the sum by the count (no reciprocal).
using linalg::mean_div;

// A leave-one-out control holding at least this much weight leaves nothing
// to renormalise the rest by (1 - omega_k is within rounding of 0).
constexpr double kAllTheWeight = 0.999999999999;

constexpr const char* kPeriodsMessage =
    "SDID needs at least one pre- and one post-period (t0 in 1..n_periods)";

// Square root of the mean squared deviation from the mean (divisor n).
double spread(std::span<const double> v) {
  const double m = mean_div(v);
  return std::sqrt(mean_div(v.size(), [&](std::size_t k) { return (v[k] - m) * (v[k] - m); }));
}

// Each column minus its mean: centring removes a free intercept from a fit.
linalg::Mat centred_columns(const linalg::MatView& A) {
  linalg::Mat A_c(A.rows, A.cols);
  for (std::size_t j = 0; j < A.cols; ++j) {
    const double* a = A.data + j * A.ld;
    const double mu = mean_div(A.rows, [&](std::size_t t) { return a[t]; });
    double* out = A_c.data.data() + j * A.rows;
    for (std::size_t t = 0; t < A.rows; ++t) out[t] = a[t] - mu;
  }
  return A_c;
}

// simplex_with_intercept's weights for the centred columns A_c. With `few`
// the Gram matrix's columns are formed as the solver reaches them, which
// pays when it reads few of them (the time weights' solve); otherwise the
// whole matrix is formed at once, half of it mirrored.
std::vector<double> centred_weights(const linalg::Mat& A_c, std::span<const double> b, double ridge,
                                    double min_weight, double max_weight, bool few = false) {
  const std::size_t r = A_c.rows;
  const double m_b = mean_div(b);
  std::vector<double> b_c(r);
  for (std::size_t t = 0; t < r; ++t) b_c[t] = b[t] - m_b;
  std::vector<double> g(A_c.cols, 0.0);
  linalg::gemv_t(A_c, b_c, g, 1.0, 0.0);
  if (few) {
    linalg::GramColumns G = linalg::GramColumns::of_block(A_c);
    return linalg::solve_simplex_qp(G, g, ridge, min_weight, max_weight).weights;
  }
  const linalg::Mat G = linalg::syrk_ata(A_c);
  return linalg::solve_simplex_qp(G, g, ridge, min_weight, max_weight).weights;
}

// Time weights: pre-periods weighted to predict every control's post-period
// mean up to an intercept; unbounded and without ridge. The problem's
// columns are periods: its centred matrix (controls x periods) is formed
// directly from the pool, as simplex_with_intercept forms it from the
// transposed block (each period's mean summed over the controls in order).
std::vector<double> time_weights(const DonorPool& pool) {
  const std::size_t J = pool.size(), t0 = pool.X_pre.rows, P = pool.X_post.rows;
  std::vector<double> p(J);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.post(j);
    p[j] = mean_div(P, [&](std::size_t s) { return x[s]; });
  }
  std::vector<double> mu(t0, 0.0);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.pre(j);
    for (std::size_t t = 0; t < t0; ++t) mu[t] += x[t];
  }
  for (double& m : mu) m = m / static_cast<double>(J);
  linalg::Mat A_c(J, t0);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.pre(j);
    for (std::size_t t = 0; t < t0; ++t) A_c.data[j + t * J] = x[t] - mu[t];
  }
  return centred_weights(A_c, p, 0.0, 0.0, 1.0, true);
}

// sum_t lambda_t y_t over the pre-period: the weighted pre-period level.
double weighted_pre_level(std::span<const double> y_pre, std::span<const double> lambda) {
  double a = 0.0;
  for (std::size_t t = 0; t < y_pre.size(); ++t) a += lambda[t] * y_pre[t];
  return a;
}

// sum_j omega_j (p_j - a_j): the controls' weighted post-minus-pre change,
// `control_value(j, t)` being control j's outcome in period t of T.
template <class Value>
double controls_change(std::size_t t0, std::size_t T, std::size_t n_controls, Value&& control_value,
                       std::span<const double> omega, std::span<const double> lambda) {
  double controls = 0.0;
  for (std::size_t j = 0; j < n_controls; ++j) {
    const double p_j = mean_div(T - t0, [&](std::size_t k) { return control_value(j, t0 + k); });
    double a_j = 0.0;
    for (std::size_t t = 0; t < t0; ++t) a_j += lambda[t] * control_value(j, t);
    controls += omega[j] * (p_j - a_j);
  }
  return controls;
}

// (m_tr - a_tr) - sum_j omega_j (p_j - a_j): the weighted post-minus-pre
// change of the treated series minus that of the controls.
// `y_pre` and `y_post` split the treated series at t0.
template <class Value>
double did_effect(std::span<const double> y_pre, std::span<const double> y_post,
                  std::size_t n_controls, Value&& control_value, std::span<const double> omega,
                  std::span<const double> lambda) {
  const std::size_t t0 = y_pre.size();
  return did_from_parts(
      y_post, weighted_pre_level(y_pre, lambda),
      controls_change(t0, t0 + y_post.size(), n_controls, control_value, omega, lambda));
}

}  // namespace

double unit_ridge(double sigma, std::size_t n_treated, std::size_t n_post, std::size_t t0,
                  double zeta_scale) {
  const double n_tr_post = static_cast<double>(n_treated) * static_cast<double>(n_post);
  const double zeta = std::pow(n_tr_post, 0.25) * zeta_scale * sigma;
  return zeta * zeta * static_cast<double>(t0);
}

double did_from_parts(std::span<const double> y_post, double pre_level, double controls) {
  const double m_tr = mean_div(y_post);
  return (m_tr - pre_level) - controls;
}

std::vector<double> simplex_with_intercept(const linalg::MatView& A, std::span<const double> b,
                                           double ridge, double min_weight, double max_weight) {
  if (A.cols == 0) return {};
  return centred_weights(centred_columns(A), b, ridge, min_weight, max_weight);
}

ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options) {
  return fit_with_time_weights(panel, t0, options).fit;
}

SdidFit fit_with_time_weights(const Panel& panel, std::size_t t0, const SdidOptions& options) {
  if (panel.treated_units().empty()) panic("no treated units");
  if (panel.never_treated_units().empty()) panic("no control units");
  const std::size_t T = panel.n_periods();
  if (t0 == 0 || t0 >= T) panic(kPeriodsMessage);
  // The controls are gathered once; every block below is a view of them.
  BlockSeries b = block_series(panel, t0, "no control units");
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), b.n_treated,
                    options);
}

namespace {

// The fit on a pool of controls; `unit_weights(ridge)` returns the unit
// weights, simplex_with_intercept of the pool's pre-period block.
template <class UnitWeights>
SdidFit fit_pool(std::span<const double> y_pre, std::span<const double> y_post,
                 const DonorPool& pool, std::vector<std::size_t> controls, std::size_t n_treated,
                 const SdidOptions& options, UnitWeights&& unit_weights) {
  const std::size_t t0 = pool.X_pre.rows;
  const std::size_t P = pool.X_post.rows;
  const std::size_t J = pool.size();
  if (t0 == 0 || P == 0) panic(kPeriodsMessage);

  // Noise level: sample standard deviation of the controls' first
  // differences over the pre-period, collected control by control.
  std::vector<double> diffs;
  diffs.reserve(J * (t0 - 1));
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.pre(j);
    for (std::size_t t = 1; t < t0; ++t) diffs.push_back(x[t] - x[t - 1]);
  }
  double sigma = 0.0;
  if (diffs.size() >= 2) {
    const double m = mean_div(diffs);
    double ss = 0.0;
    for (const double d : diffs) ss += (d - m) * (d - m);
    sigma = std::sqrt(ss / static_cast<double>(diffs.size() - 1));
  }
  std::vector<double> omega = unit_weights(unit_ridge(sigma, n_treated, P, t0, options.zeta_scale));
  std::vector<double> lambda = time_weights(pool);

  // Weighted pre-period levels of the treated series and of each control.
  const double a_tr = weighted_pre_level(y_pre, lambda);
  std::vector<double> a(J);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.pre(j);
    double s = 0.0;
    for (std::size_t t = 0; t < t0; ++t) s += lambda[t] * x[t];
    a[j] = s;
  }

  const auto control_value = [&](std::size_t j, std::size_t t) {
    return t < t0 ? pool.pre(j)[t] : pool.post(j)[t - t0];
  };
  // The effect in did_effect's pieces: all but the treated post-period mean
  // are kept for re-assembling it with another post-period series.
  const double change = controls_change(t0, t0 + P, J, control_value, omega, lambda);
  const double att = did_from_parts(y_post, a_tr, change);

  // Sums over the controls, in control order, for all periods at once (each
  // period's sum is the same sequence of additions as one period at a time).
  std::vector<double> counterfactual(P, 0.0);
  std::vector<double> fitted(t0, 0.0), synthetic_pre(t0, 0.0);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.post(j);
    for (std::size_t s = 0; s < P; ++s) counterfactual[s] += (x[s] - a[j]) * omega[j];
    const double* xp = pool.pre(j);
    for (std::size_t t = 0; t < t0; ++t) fitted[t] += omega[j] * xp[t];
    // The counterfactual's form carried back: weighted controls shifted to
    // the treated units' time-weighted level.
    for (std::size_t t = 0; t < t0; ++t) synthetic_pre[t] += (xp[t] - a[j]) * omega[j];
  }
  for (std::size_t t = 0; t < t0; ++t) synthetic_pre[t] = synthetic_pre[t] + a_tr;
  std::vector<double> att_path(P);
  for (std::size_t s = 0; s < P; ++s) {
    counterfactual[s] = counterfactual[s] + a_tr;
    att_path[s] = y_post[s] - counterfactual[s];
  }

  // The unit weights fit up to an intercept, so the pre-period error is the
  // residual's spread around its own mean.
  std::vector<double> e(t0);
  for (std::size_t t = 0; t < t0; ++t) e[t] = y_pre[t] - fitted[t];

  ScFit fit;
  fit.att = att;
  fit.pre_rmspe = spread(e);
  fit.post_rmspe = spread(att_path);
  fit.weights = std::move(omega);
  fit.donor_ids = std::move(controls);
  fit.att_path = std::move(att_path);
  fit.counterfactual = std::move(counterfactual);
  fit.treated_post.assign(y_post.begin(), y_post.end());
  fit.synthetic_pre = std::move(synthetic_pre);
  return {std::move(fit), std::move(lambda), a_tr, change};
}

}  // namespace

SdidFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                   const linalg::MatView& X_pre, const linalg::MatView& X_post,
                   std::vector<std::size_t> controls, std::size_t n_treated,
                   const SdidOptions& options) {
  const DonorPool pool{X_pre, X_post};
  return fit_pool(y_pre, y_post, pool, std::move(controls), n_treated, options, [&](double ridge) {
    return simplex_with_intercept(X_pre, y_pre, ridge, options.min_weight, options.max_weight);
  });
}

linalg::Mat pre_period_gram(const linalg::MatView& X_pre) {
  return linalg::syrk_ata(centred_columns(X_pre));
}

SdidFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                    const linalg::MatView& G_all, std::size_t own,
                    std::vector<std::size_t> controls, const SdidOptions& options) {
  const std::size_t J = X_pre.cols;
  QUINTARA_ASSERT_EQ(G_all.rows, J, "sdid fit_placebo: one Gram row per control");
  const DonorPool pool{X_pre, X_post, own};
  const std::span<const double> y_pre = X_pre.col(own);
  const auto unit_weights = [&](double ridge) {
    const auto [G, g] = placebo_gram(G_all, pool);
    return linalg::solve_simplex_qp(G, g, ridge, options.min_weight, options.max_weight).weights;
  };
  return fit_pool(y_pre, X_post.col(own), pool, std::move(controls), 1, options, unit_weights);
}

double att_given_weights(const Panel& panel, std::size_t t0, std::span<const std::size_t> treated,
                         std::span<const std::size_t> controls, std::span<const double> omega,
                         std::span<const double> lambda) {
  const std::vector<double> ybar = panel.unit_mean(treated);
  const std::span<const double> y(ybar);
  const auto control_value = [&](std::size_t j, std::size_t t) { return panel.y(controls[j], t); };
  return did_effect(y.first(t0), y.subspan(t0), controls.size(), control_value, omega, lambda);
}

std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       const SdidOptions& options) {
  if (panel.treated_units().size() < 2) {
    panic("the SDID jackknife needs >= 2 treated units; use placebo inference otherwise");
  }
  const SdidFit full = fit_with_time_weights(panel, t0, options);
  return jackknife_loo_atts(panel, t0, full.fit.weights, full.lambda);
}

std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       std::span<const double> omega,
                                       std::span<const double> lambda) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.size() < 2) {
    panic("the SDID jackknife needs >= 2 treated units; use placebo inference otherwise");
  }
  const std::vector<std::size_t> controls = panel.never_treated_units();
  QUINTARA_ASSERT_EQ(omega.size(), controls.size(), "jackknife: one weight per control");

  // Each control's post-minus-pre change p_j - a_j does not depend on which
  // unit is left out, nor does the controls' weighted sum when a treated
  // unit is: both are formed once, and each effect is the sum
  // att_given_weights would form (the same terms, in control order).
  const std::size_t T = panel.n_periods();
  std::vector<double> change(controls.size());
  for (std::size_t j = 0; j < controls.size(); ++j) {
    const std::size_t c = controls[j];
    const double p_j = mean_div(T - t0, [&](std::size_t k) { return panel.y(c, t0 + k); });
    double a_j = 0.0;
    for (std::size_t t = 0; t < t0; ++t) a_j += lambda[t] * panel.y(c, t);
    change[j] = p_j - a_j;
  }
  const auto effect = [&](std::span<const std::size_t> units, double controls_sum) {
    const std::vector<double> ybar = panel.unit_mean(units);
    const std::span<const double> y(ybar);
    return did_from_parts(y.subspan(t0), weighted_pre_level(y.first(t0), lambda), controls_sum);
  };

  std::vector<double> out;
  out.reserve(treated.size() + controls.size());
  double all = 0.0;
  for (std::size_t j = 0; j < controls.size(); ++j) all += omega[j] * change[j];
  std::vector<std::size_t> units;
  for (std::size_t u = 0; u < treated.size(); ++u) {
    units.clear();
    for (std::size_t k = 0; k < treated.size(); ++k) {
      if (k != u) units.push_back(treated[k]);
    }
    out.push_back(effect(units, all));
  }
  for (std::size_t k = 0; k < controls.size(); ++k) {
    if (omega[k] >= kAllTheWeight) continue;
    const double keep = 1.0 - omega[k];
    double rest = 0.0;
    for (std::size_t j = 0; j < controls.size(); ++j) {
      if (j != k) rest += omega[j] / keep * change[j];
    }
    out.push_back(effect(treated, rest));
  }
  return out;
}

double jackknife_se(std::span<const double> loo_atts) {
  const std::size_t n = loo_atts.size();
  if (n < 2) return 0.0;
  const double m = mean_div(loo_atts);
  double ss = 0.0;
  for (const double x : loo_atts) ss += (x - m) * (x - m);
  return std::sqrt(static_cast<double>(n - 1) / static_cast<double>(n) * ss);
}

}  // namespace quintara::estimators::sc::sdid
