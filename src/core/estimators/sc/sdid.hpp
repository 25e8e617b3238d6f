// Synthetic difference-in-differences (Arkhangelsky, Athey, Hirshberg,
// Imbens & Wager).
//
// Unit weights make the weighted controls parallel to the averaged treated
// series over the pre-period up to a free intercept, with a ridge penalty
// scaled by the noise level; time weights make the weighted pre-periods
// predict each control's post-period mean, again up to an intercept. The
// effect is the doubly weighted difference in differences. Also the
// fixed-weights leave-one-unit-out jackknife, which reuses both weight vectors.
#pragma once

#include <cstddef>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/traits.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::sc {

struct SdidOptions {
  double min_weight = 0.0;  // bounds on every unit weight
  double max_weight = 1.0;
  double zeta_scale = 1.0;  // multiplier of the regularisation level zeta
};

namespace sdid {

// Weights over the columns of A fitting b up to a free intercept:
// argmin 1/2 ||b~ - A~ w||^2 + ridge/2 ||w||^2 on the bounded simplex, with
// A~ and b~ column-centred. Empty for an A without columns.
std::vector<double> simplex_with_intercept(const linalg::MatView& A, std::span<const double> b,
                                           double ridge, double min_weight, double max_weight);

// `weights` are the unit weights; `pre_rmspe` and `post_rmspe` are the spreads
// of the pre-period residual and of the effect path around their means. The
// time weights and the intercepts are not returned. Requires a treated and a
// control unit and 1 <= t0 < T.
ScFit fit_at(const Panel& panel, std::size_t t0, const SdidOptions& options);

// The fit together with its time weights (length t0), which the jackknife
// reuses instead of solving them again, and the two terms of its effect that
// the treated post-period series does not enter (see did_from_parts).
struct SdidFit {
  ScFit fit;
  std::vector<double> lambda;
  double pre_level = 0.0;  // a_tr = sum_t lambda_t y_pre[t]
  double controls = 0.0;   // sum_j omega_j (p_j - a_j)
};
SdidFit fit_with_time_weights(const Panel& panel, std::size_t t0, const SdidOptions& options);

// The fit on prepared series: y_pre (t0) and y_post (P) the treated series
// averaged over `n_treated` units, X_pre (t0 x J) and X_post (P x J) the
// controls, one per column; `controls` moves into the result. Requires
// t0 >= 1 and P >= 1.
SdidFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                   const linalg::MatView& X_pre, const linalg::MatView& X_post,
                   std::vector<std::size_t> controls, std::size_t n_treated,
                   const SdidOptions& options);

// Gram matrix of the pre-period block with every column centred over the
// pre-period: a column's centring does not depend on the other columns, so
// a placebo pool's unit-weight Gram matrix is a principal submatrix of this
// (each entry the same sum over periods in the same order).
linalg::Mat pre_period_gram(const linalg::MatView& X_pre);

// The in-space placebo refit in which control `own` of the whole block plays
// the single treated unit and the other controls, in order, form the pool:
// bit for bit fit_series on the block without column `own`, with that
// column as the treated series. `G_all` is pre_period_gram(X_pre); the pool
// is read in place, never copied.
SdidFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                    const linalg::MatView& G_all, std::size_t own,
                    std::vector<std::size_t> controls, const SdidOptions& options);

// The unit weights' ridge zeta^2 t0 for the noise level sigma (the sample
// standard deviation of the controls' pre-period first differences), with
// zeta = (n_treated * n_post)^(1/4) * zeta_scale * sigma.
double unit_ridge(double sigma, std::size_t n_treated, std::size_t n_post, std::size_t t0,
                  double zeta_scale);

// The effect (m_tr - pre_level) - controls, m_tr the mean of `y_post` (sum
// divided by its length). Every SDID effect is formed here, so one assembled
// from a fit's kept terms and another post-period series is the effect a
// refit on that series would give.
double did_from_parts(std::span<const double> y_post, double pre_level, double controls);

// The effect for given unit lists and weights: omega aligned with `controls`,
// lambda of length t0.
double att_given_weights(const Panel& panel, std::size_t t0, std::span<const std::size_t> treated,
                         std::span<const std::size_t> controls, std::span<const double> omega,
                         std::span<const double> lambda);

// Leave-one-unit-out effects with the full-panel weights held fixed: one per
// treated unit (ascending), then one per control (ascending) except a control
// carrying all the weight. Requires at least two treated units.
std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       const SdidOptions& options);
// The same from a finished fit: `omega` its unit weights (aligned with the
// never-treated units), `lambda` its time weights.
std::vector<double> jackknife_loo_atts(const Panel& panel, std::size_t t0,
                                       std::span<const double> omega,
                                       std::span<const double> lambda);

// Jackknife standard error of the leave-one-out effects:
// sqrt((n - 1)/n * sum (tau_i - mean)^2); 0 for fewer than two.
double jackknife_se(std::span<const double> loo_atts);

// The method list's description of this estimator (see traits.hpp).
struct Traits {
  using Options = SdidOptions;
  static constexpr std::string_view kDisplay = "SDID";
  static constexpr std::string_view kName = "sdid";
  static constexpr std::string_view kAlias = "";
  // Its post_rmspe is the effect path's spread around its mean.
  static constexpr Statistic kStatistic = Statistic::AbsAtt;
  // Its time weights read the controls' post-period.
  static constexpr bool kLinearInPoolPost = false;
  // zeta_scale multiplies a level measured from the data itself.
  static constexpr std::tuple<> kSquaredOptions{};
  // Its unit weights fit up to a free intercept, so its in-sample residual's
  // level carries nothing (the time weights set it, not the fit).
  static constexpr bool kFreeLevel = true;

  static Options geo_options(double min_w, double max_w) { return {min_w, max_w, 1.0}; }
  static Options batch_options(const BatchRow& r) {
    return {r.min_weight, r.max_weight, r.zeta_scale};
  }
  static ScFit fit_at(const Panel& panel, std::size_t t0, const Options& o) {
    return sdid::fit_at(panel, t0, o);
  }
  // Re-assembled through its closed-form effect.
  static PreparedFit prepare_at(const Panel& panel, std::size_t t0, const Options& o) {
    SdidFit f = fit_with_time_weights(panel, t0, o);
    return {std::move(f.fit), true, f.pre_level, f.controls};
  }
  static ScFit fit_series(const SeriesView& s, std::vector<std::size_t> donors, const Options& o) {
    return sdid::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors),
                            s.n_treated, o)
        .fit;
  }
  // Its unit weights read the pre-period Gram with every column centred.
  static linalg::Mat placebo_gram(const linalg::MatView& X_pre) { return pre_period_gram(X_pre); }
  static ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                           const linalg::Mat& gram, std::size_t own, std::vector<std::size_t> pool,
                           const Options& o) {
    return sdid::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o).fit;
  }
};

}  // namespace sdid
}  // namespace quintara::estimators::sc
