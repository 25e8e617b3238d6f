#include "core/inference/placebo.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

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

// What one refit leaves behind: its statistic and effect, and its gap path
// over every period (the post-period part is the effect path itself).
struct PlaceboRefit {
  double stat = std::numeric_limits<double>::quiet_NaN();
  double att = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> gap;
};

PlaceboRefit refit_record(const estimators::sc::ScMethod& method, const estimators::ScFit& pf,
                          std::span<const double> treated) {
  PlaceboRefit r{method.statistic(pf), pf.att, {}};
  const std::size_t t0 = pf.synthetic_pre.size();
  r.gap.reserve(t0 + pf.att_path.size());
  for (std::size_t t = 0; t < t0; ++t) r.gap.push_back(treated[t] - pf.synthetic_pre[t]);
  r.gap.insert(r.gap.end(), pf.att_path.begin(), pf.att_path.end());
  return r;
}

}  // namespace

PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method) {
  const std::size_t t0 = single_treatment_time(panel);
  // The real fit runs on the calling thread, before the loop.
  return sc_placebo_method(panel, method, method.fit_at(panel, t0));
}

PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method,
                                const estimators::ScFit& fit) {
  const std::size_t t0 = single_treatment_time(panel);
  const double stat = method.statistic(fit);

  // Column j is donor j's whole series (the treated units never enter). The
  // tasks only read it.
  const std::pair<linalg::Mat, std::vector<std::size_t>> gathered = panel.donor_series();
  const linalg::Mat& series = gathered.first;
  const std::vector<std::size_t>& donors = gathered.second;
  const std::size_t J = donors.size();
  const std::size_t T = panel.n_periods();

  // Where the estimator has a fast path, the Gram of every donor is built
  // once and each refit takes its principal submatrix.
  const bool fast = method.has_placebo_fast_path();
  const linalg::MatView X_pre = series.view().row_range(0, t0);
  const linalg::MatView X_post = series.view().row_range(t0, T - t0);
  linalg::Mat gram;
  if (J >= 2 && fast) gram = method.placebo_gram(X_pre);

  // One task per donor position; each writes its own slot. Donor j plays the
  // treated unit, the other donors in ascending order form its pool.
  auto refits = parallel::parallel_map<PlaceboRefit>(J, [&](std::size_t j) -> PlaceboRefit {
    // A lone donor has no pool to be synthesised from.
    if (J < 2) return {};
    if (fast && mean_of_one_is_itself(series.col(j))) {
      std::vector<std::size_t> pool;
      pool.reserve(J - 1);
      for (std::size_t k = 0; k < J; ++k) {
        if (k != j) pool.push_back(donors[k]);
      }
      const estimators::ScFit pf = method.fit_placebo(X_pre, X_post, gram, j, std::move(pool));
      return refit_record(method, pf, series.col(j));
    }
    // The pool's columns, the one copy a fit needs.
    linalg::Mat pool_x(T, J - 1);
    std::vector<std::size_t> pool;
    pool.reserve(J - 1);
    for (std::size_t k = 0; k < J; ++k) {
      if (k == j) continue;
      const std::span<const double> x = series.col(k);
      std::copy(x.begin(), x.end(), pool_x.col_mut(pool.size()).begin());
      pool.push_back(donors[k]);
    }
    const std::span<const double> own = series.col(j);
    std::vector<double> own_mean;
    if (!mean_of_one_is_itself(own)) own_mean = panel.unit_mean(std::span(&donors[j], 1));
    const estimators::SeriesView placebo{own_mean.empty() ? own : std::span<const double>(own_mean),
                                         1, pool_x, t0};
    const estimators::ScFit pf = method.fit_series(placebo, std::move(pool));
    return refit_record(method, pf, placebo.treated);
  });

  PlaceboResult out;
  for (std::size_t j = 0; j < J; ++j) {
    PlaceboRefit& r = refits[j];
    if (std::isnan(r.stat)) continue;
    out.placebo_stats.push_back(r.stat);
    out.placebo_atts.push_back(r.att);
    out.placebo_ids.push_back(donors[j]);
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
  return out;
}

}  // namespace quintara::inference
