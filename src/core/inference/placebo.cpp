#include "core/inference/placebo.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "core/inference/inversion.hpp"
#include "core/inference/placebo_matched.hpp"
#include "core/inference/placebo_sets.hpp"
#include "core/linalg/kernels.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

namespace {

std::size_t single_treatment_time(const estimators::Panel& panel) {
  const std::vector<std::size_t> cohorts = panel.cohorts();
  if (cohorts.size() != 1) panic("placebo test requires a single common treatment time");
  return cohorts[0];
}

// A fit on a panel averages its treated rows as (0.0 + x) * (1.0 / 1), which
// for one unit is x itself except that -0.0 turns into +0.0 (and a NaN need
// not keep its bits). The donor's own column serves as the placebo's treated
// series unless it holds such an entry; then the mean is formed as a fit
// would form it.
bool mean_of_one_is_itself(std::span<const double> x) {
  for (const double v : x) {
    if (std::isnan(v) || (v == 0.0 && std::signbit(v))) return false;
  }
  return true;
}

// What one refit leaves behind: its statistic, effect and pre-period RMSPE,
// and its gap path over every period (the post-period part is the effect
// path itself).
struct PlaceboRefit {
  double stat = std::numeric_limits<double>::quiet_NaN();
  double att = std::numeric_limits<double>::quiet_NaN();
  double pre_rmspe = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> gap;
};

PlaceboRefit refit_record(estimators::sc::Statistic statistic, const estimators::ScFit& pf,
                          std::span<const double> treated) {
  return {estimators::sc::statistic_of(statistic, pf), pf.att, pf.pre_rmspe, gap_path(pf, treated)};
}

// The donors' series and what every refit shares, read-only.
struct Donors {
  const estimators::Panel& panel;
  const estimators::sc::ScMethod& method;
  estimators::sc::Statistic statistic;
  const linalg::Mat& series;  // T x J, column j donor j
  const std::vector<std::size_t>& rows;
  std::size_t t0;
};

// The refit treating the donors at positions `set` (ascending), the others
// in ascending order forming the pool.
PlaceboRefit refit_set(const Donors& d, std::span<const std::size_t> set) {
  const std::size_t J = d.rows.size(), T = d.panel.n_periods();
  linalg::Mat pool_x(T, J - set.size());
  std::vector<std::size_t> pool, treated_rows;
  pool.reserve(J - set.size());
  for (std::size_t k = 0, s = 0; k < J; ++k) {
    if (s < set.size() && set[s] == k) {
      treated_rows.push_back(d.rows[k]);
      ++s;
      continue;
    }
    const std::span<const double> x = d.series.col(k);
    std::copy(x.begin(), x.end(), pool_x.col_mut(pool.size()).begin());
    pool.push_back(d.rows[k]);
  }
  // The treated series formed as a fit forms the mean of its treated rows.
  const std::span<const double> own = d.series.col(set[0]);
  std::vector<double> mean;
  if (set.size() > 1 || !mean_of_one_is_itself(own)) mean = d.panel.unit_mean(treated_rows);
  const estimators::SeriesView placebo{mean.empty() ? own : std::span<const double>(mean),
                                       set.size(), pool_x, d.t0};
  const estimators::ScFit pf = d.method.fit_series(placebo, std::move(pool));
  return refit_record(d.statistic, pf, placebo.treated);
}

}  // namespace

std::vector<double> gap_path(const estimators::ScFit& fit, std::span<const double> treated) {
  const std::size_t t0 = fit.synthetic_pre.size();
  std::vector<double> gap;
  gap.reserve(t0 + fit.att_path.size());
  for (std::size_t t = 0; t < t0; ++t) gap.push_back(treated[t] - fit.synthetic_pre[t]);
  gap.insert(gap.end(), fit.att_path.begin(), fit.att_path.end());
  return gap;
}

PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method) {
  const std::size_t t0 = single_treatment_time(panel);
  // The real fit runs on the calling thread, before the loop.
  return sc_placebo_method(panel, method, method.fit_at(panel, t0));
}

PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method,
                                const estimators::ScFit& fit) {
  return sc_placebo_method(panel, method, fit, PlaceboOptions{});
}

PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method,
                                const estimators::ScFit& fit, const PlaceboOptions& options) {
  const std::size_t t0 = single_treatment_time(panel);
  if (options.matched) return matched_placebo(panel, method, fit, options);
  const std::size_t set_size = 1;
  const estimators::sc::Statistic statistic = method.statistic_kind();
  const double stat = estimators::sc::statistic_of(statistic, fit);

  // Column j is donor j's whole series (the treated units never enter). The
  // tasks only read it.
  const std::pair<linalg::Mat, std::vector<std::size_t>> gathered = panel.donor_series();
  const linalg::Mat& series = gathered.first;
  const std::vector<std::size_t>& donors = gathered.second;
  const std::size_t J = donors.size();
  const std::size_t T = panel.n_periods();
  const Donors d{panel, method, statistic, series, donors, t0};
  std::vector<std::vector<std::size_t>> sets;
  if (options.sampled) {
    for (const std::size_t k : sampled_positions(J, options.n_placebo, options.seed)) {
      if (J > 1) sets.push_back({k});  // a lone donor leaves no pool
    }
  } else {
    sets = placebo_sets(J, set_size, options.n_placebo, options.seed);
  }

  // Where the estimator has a fast path, one-donor refits read the Gram of
  // every donor, built once, through its principal submatrices.
  const bool fast = set_size == 1 && method.has_placebo_fast_path();
  const linalg::MatView X_pre = series.view().row_range(0, t0);
  const linalg::MatView X_post = series.view().row_range(t0, T - t0);
  linalg::Mat gram;
  if (!sets.empty() && fast) gram = method.placebo_gram(X_pre);

  // One task per placebo; each writes its own slot.
  auto refits = parallel::parallel_map<PlaceboRefit>(sets.size(), [&](std::size_t i) {
    const std::size_t j = sets[i][0];
    if (fast && mean_of_one_is_itself(series.col(j))) {
      std::vector<std::size_t> pool;
      pool.reserve(J - 1);
      for (std::size_t k = 0; k < J; ++k) {
        if (k != j) pool.push_back(donors[k]);
      }
      const estimators::ScFit pf = method.fit_placebo(X_pre, X_post, gram, j, std::move(pool));
      return refit_record(statistic, pf, series.col(j));
    }
    return refit_set(d, sets[i]);
  });

  PlaceboResult out;
  out.statistic = statistic;
  out.set_size = set_size;
  out.n_refitted = sets.size();
  out.n_donors = J;
  const double pre_cap = options.max_pre_ratio * fit.pre_rmspe;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    PlaceboRefit& r = refits[i];
    if (std::isnan(r.stat)) continue;
    if (options.max_pre_ratio > 0.0 && !(r.pre_rmspe <= pre_cap)) {
      ++out.n_excluded;
      continue;
    }
    out.placebo_stats.push_back(r.stat);
    out.placebo_atts.push_back(r.att);
    std::vector<std::size_t> rows;
    for (const std::size_t k : sets[i]) rows.push_back(donors[k]);
    if (set_size == 1) out.placebo_ids.push_back(rows[0]);
    out.placebo_sets.push_back(std::move(rows));
    out.placebo_gaps.push_back(std::move(r.gap));
  }
  std::size_t count = 0;
  // Ties count as at least as extreme.
  for (const double s : out.placebo_stats) {
    if (s >= stat) ++count;
  }
  const std::size_t m = out.placebo_stats.size();
  out.p_value = static_cast<double>(count + 1) / static_cast<double>(m + 1);
  out.att_path = fit.att_path;
  out.att = fit.att;
  out.stat = stat;
  if (m > 0) {
    const TestInterval t = invert_placebo_test(statistic, fit.att_path, fit.att, fit.pre_rmspe,
                                               out.placebo_stats, out.p_value, options.level);
    out.test_lower = t.lower;
    out.test_upper = t.upper;
  }
  return out;
}

}  // namespace quintara::inference
