#include "core/runs/analysis_run.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "core/format.hpp"
#include "core/geo/analysis.hpp"
#include "core/runs/scale.hpp"

namespace quintara::runs {

namespace {

const char* alternative_name(geo::Alternative a) {
  switch (a) {
    case geo::Alternative::Greater: return "greater";
    case geo::Alternative::Less: return "less";
    case geo::Alternative::TwoSided: break;
  }
  return "two-sided";
}

std::vector<double> scaled(std::vector<double> v, double c) {
  for (double& x : v) x *= c;
  return v;
}

// c * [lower, upper] as an ordered pair (c may be negative).
std::pair<double, double> times(double c, double lower, double upper) {
  const double a = c * lower, b = c * upper;
  return {std::min(a, b), std::max(a, b)};
}

// What follows from the incremental units once they are in caller units.
void derive(PyGeoAnalysis& r, std::optional<double> spend) {
  const double n = static_cast<double>(r.n_post * r.n_treated);
  r.incremental = n * r.att;
  r.incremental_se = n * r.se;
  r.incremental_lower = n * r.ci_lower;
  r.incremental_upper = n * r.ci_upper;
  r.cumulative = scaled(r.cumulative, static_cast<double>(r.n_treated));
  r.cumulative_lower = scaled(r.cumulative_lower, static_cast<double>(r.n_treated));
  r.cumulative_upper = scaled(r.cumulative_upper, static_cast<double>(r.n_treated));
  double cf = 0.0;
  for (std::size_t k = r.n_pre; k < r.synthetic.size(); ++k) cf += r.synthetic[k];
  r.counterfactual_total = static_cast<double>(r.n_treated) * cf;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A lift is a share of the untreated outcome; of none, or of a negative
  // one (a synthetic control below zero for markets selling nothing), there
  // is no share: the ratio would flip its sign and its interval's ends.
  if (!(r.counterfactual_total > 0.0) || !std::isfinite(r.counterfactual_total)) {
    r.lift_pct = r.lift_pct_lower = r.lift_pct_upper = nan;
  } else {
    const double c = 100.0 / r.counterfactual_total;
    r.lift_pct = c * r.incremental;
    std::tie(r.lift_pct_lower, r.lift_pct_upper) =
        times(c, r.incremental_lower, r.incremental_upper);
  }
  if (!spend) return;
  r.spend = *spend;
  r.iroas = r.incremental / *spend;
  r.iroas_se = r.incremental_se / *spend;
  r.iroas_lower = r.incremental_lower / *spend;
  r.iroas_upper = r.incremental_upper / *spend;
  r.cost_per_incremental = *spend / r.incremental;
  // spend / x falls on each side of 0, so an interval clear of 0 maps to
  // [spend / upper, spend / lower]; one holding 0 maps to no interval.
  const bool clear = r.incremental_lower > 0.0 || r.incremental_upper < 0.0;
  r.cost_per_incremental_lower = clear ? *spend / r.incremental_upper : nan;
  r.cost_per_incremental_upper = clear ? *spend / r.incremental_lower : nan;
}

}  // namespace

PyGeoAnalysis run_analysis(const AnalysisRequest& q) {
  const auto [y, k] = normalised_copy(q.y);
  const geo::ExperimentAnalysis a =
      geo::analyze_experiment(y, q.treated, q.t0, q.min_pre, q.lookback, q.method, q.alpha,
                              q.min_weight, q.max_weight, q.alternative);
  const estimators::ScFit& fit = a.test.fit;
  PyGeoAnalysis r;
  r.att = fit.att;
  r.se = a.null_se;
  r.p_value = a.test.p_value;
  r.ci_lower = a.test.interval.lower;
  r.ci_upper = a.test.interval.upper;
  r.level = 1.0 - q.alpha;
  r.alternative = alternative_name(q.alternative);
  r.n_pre = q.t0;
  r.n_post = a.test.window_len;
  r.n_windows = a.test.null_atts.size();
  r.inference_method = format(
      "in-time placebo test over {} historical windows of {} periods (the power design's "
      "test, {}); interval by test inversion; path bands pointwise from the same windows",
      r.n_windows, r.n_post, r.alternative);
  r.n_treated = q.treated.size();  // checked free of repeats
  r.observed = a.observed;
  r.synthetic = a.synthetic;
  r.effect = fit.att_path;
  r.effect_lower = a.effect_band.lower;
  r.effect_upper = a.effect_band.upper;
  r.cumulative = a.cumulative;
  r.cumulative_lower = a.cumulative_band.lower;
  r.cumulative_upper = a.cumulative_band.upper;
  r.weights = fit.weights;
  r.donor_ids = fit.donor_ids;
  r.null_atts = a.test.null_atts;
  to_caller_units(r, k);
  // After the rescaling, which can flush the ends' nudge past 0; the last
  // cumulative point follows the interval it is built from.
  const inference::TestInterval i =
      inference::follow_p_value({r.ci_lower, r.ci_upper}, r.p_value, r.level);
  r.ci_lower = i.lower;
  r.ci_upper = i.upper;
  r.cumulative_lower.back() = static_cast<double>(r.n_post) * i.lower;
  r.cumulative_upper.back() = static_cast<double>(r.n_post) * i.upper;
  derive(r, q.spend);
  return r;
}

}  // namespace quintara::runs
