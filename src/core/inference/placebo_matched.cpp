#include "core/inference/placebo_matched.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/inference/inversion.hpp"
#include "core/inference/placebo_sets.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

namespace {

using estimators::ScFit;
using estimators::sc::Statistic;
using Rows = std::vector<std::size_t>;

// The panel under H0: tau, every treated row's post-period lowered by tau.
estimators::Panel null_panel(const estimators::Panel& panel, const Rows& treated, std::size_t t0,
                             double tau) {
  linalg::Mat y = panel.y;
  if (tau != 0.0) {
    for (const std::size_t i : treated) {
      for (std::size_t t = t0; t < y.cols; ++t) y(i, t) -= tau;
    }
  }
  return estimators::Panel::block(std::move(y), treated, t0);
}

// The refit treating the units `set` (ascending rows) of `panel`, every other
// unit in ascending order forming its pool.
ScFit refit(const estimators::Panel& panel, const estimators::sc::ScMethod& method, const Rows& set,
            std::size_t t0) {
  const std::size_t N = panel.n_units(), T = panel.n_periods();
  linalg::Mat pool_x(T, N - set.size());
  Rows pool;
  pool.reserve(N - set.size());
  for (std::size_t i = 0, s = 0; i < N; ++i) {
    if (s < set.size() && set[s] == i) {
      ++s;
      continue;
    }
    for (std::size_t t = 0; t < T; ++t) pool_x(t, pool.size()) = panel.y(i, t);
    pool.push_back(i);
  }
  const std::vector<double> mean = panel.unit_mean(set);
  const estimators::SeriesView view{mean, set.size(), pool_x, t0};
  return method.fit_series(view, std::move(pool));
}

// Every N1-set of the N units but the treated set itself when there are at
// most n_placebo of those, otherwise n_placebo drawn sets (a draw may hit the
// treated set, as a Monte-Carlo permutation test allows). One treated unit:
// n_placebo distinct other units, drawn when there are more.
std::vector<Rows> sets_of(std::size_t N, const Rows& treated, const PlaceboOptions& options) {
  const std::size_t k = treated.size();
  if (k == 1 && N - 1 > options.n_placebo) {
    std::vector<Rows> sets;
    for (std::size_t i : sampled_positions(N - 1, options.n_placebo, options.seed)) {
      if (i >= treated[0]) ++i;  // the positions skip the treated unit
      sets.push_back({i});
    }
    return sets;
  }
  if (k == 1 || binomial_capped(N, k, options.n_placebo + 1) <= options.n_placebo + 1) {
    std::vector<Rows> sets = placebo_sets(N, k, options.n_placebo + 1, options.seed);
    std::erase(sets, treated);
    return sets;
  }
  return placebo_sets(N, k, options.n_placebo, options.seed);
}

}  // namespace

PlaceboResult matched_placebo(const estimators::Panel& panel,
                              const estimators::sc::ScMethod& method, const ScFit& fit,
                              const PlaceboOptions& options) {
  const Rows treated = panel.treated_units();
  const std::size_t t0 = panel.cohorts().at(0);
  Statistic statistic = method.statistic_kind();
  if (statistic == Statistic::AbsAtt) statistic = Statistic::StandardisedAtt;
  const double stat = estimators::sc::statistic_of(statistic, fit);
  const std::vector<Rows> sets = sets_of(panel.n_units(), treated, options);

  std::vector<ScFit> fits = parallel::parallel_map<ScFit>(
      sets.size(), [&](std::size_t i) { return refit(panel, method, sets[i], t0); });

  PlaceboResult out;
  out.statistic = statistic;
  out.set_size = treated.size();
  out.matched = true;
  out.n_refitted = sets.size();
  out.att_path = fit.att_path;
  out.att = fit.att;
  out.stat = stat;
  Rows kept;  // positions in `sets`
  const double pre_cap = options.max_pre_ratio * fit.pre_rmspe;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const double s = estimators::sc::statistic_of(statistic, fits[i]);
    if (std::isnan(s)) continue;
    if (options.max_pre_ratio > 0.0 && !(fits[i].pre_rmspe <= pre_cap)) {
      ++out.n_excluded;
      continue;
    }
    kept.push_back(i);
    out.placebo_stats.push_back(s);
    out.placebo_atts.push_back(fits[i].att);
    out.placebo_sets.push_back(sets[i]);
    if (sets[i].size() == 1) out.placebo_ids.push_back(sets[i][0]);
    out.placebo_gaps.push_back(gap_path(fits[i], panel.unit_mean(sets[i])));
  }
  std::size_t count = 0;
  for (const double s : out.placebo_stats) count += s >= stat ? 1 : 0;
  const std::size_t m = out.placebo_stats.size();
  out.p_value = static_cast<double>(count + 1) / static_cast<double>(m + 1);
  if (m == 0) return out;

  const double level = options.level;
  if (method.linear_in_pool_post()) {
    // One more refit of each kept placebo at a shift on the data's scale
    // gives its line.
    double delta = 0.0;
    for (const double v : panel.y.data) delta = std::fmax(delta, std::fabs(v));
    if (!(delta > 0.0 && std::isfinite(delta))) delta = 1.0;
    const estimators::Panel shifted = null_panel(panel, treated, t0, delta);
    std::vector<MovingPlacebo> moving =
        parallel::parallel_map<MovingPlacebo>(kept.size(), [&](std::size_t k) {
          const ScFit& f0 = fits[kept[k]];
          const ScFit f1 = refit(shifted, method, sets[kept[k]], t0);
          MovingPlacebo mp{f0.att_path, std::vector<double>(f0.att_path.size()), f0.att,
                           (f1.att - f0.att) / delta, f0.pre_rmspe};
          for (std::size_t t = 0; t < mp.slope.size(); ++t) {
            mp.slope[t] = (f1.att_path[t] - f0.att_path[t]) / delta;
          }
          return mp;
        });
    const TestInterval ti = invert_moving_test(statistic, fit.att_path, fit.att, fit.pre_rmspe,
                                               moving, out.p_value, level);
    out.test_lower = ti.lower;
    out.test_upper = ti.upper;
    return out;
  }
  // The whole test at a trial effect: the real statistic moves in closed
  // form, every kept placebo is refitted on the shifted panel.
  const std::size_t K = least_accepted_count(m, level);
  const auto accepts = [&](double tau) {
    const estimators::Panel shifted = null_panel(panel, treated, t0, tau);
    ScFit real = fit;
    for (double& g : real.att_path) g -= tau;
    real.att -= tau;
    double ss = 0.0;
    for (const double g : real.att_path) ss += g * g;
    real.post_rmspe =
        std::sqrt(ss / static_cast<double>(std::max<std::size_t>(real.att_path.size(), 1)));
    const double s0 = estimators::sc::statistic_of(statistic, real);
    const std::vector<double> s = parallel::parallel_map<double>(kept.size(), [&](std::size_t k) {
      return estimators::sc::statistic_of(statistic, refit(shifted, method, sets[kept[k]], t0));
    });
    std::size_t c = 0;
    for (const double v : s) c += v >= s0 ? 1 : 0;
    return c >= K;
  };
  const TestInterval ti =
      invert_by_bisection(accepts, fit.att, std::fmax(fit.pre_rmspe, 1e-300), out.p_value, level);
  out.test_lower = ti.lower;
  out.test_upper = ti.upper;
  return out;
}

}  // namespace quintara::inference
