#include "core/geo/analysis.hpp"

#include <limits>
#include <utility>

#include "core/geo/power.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::geo {

inference::TestInterval shifted_band(double estimate, double crit, Alternative alternative) {
  const double inf = std::numeric_limits<double>::infinity();
  switch (alternative) {
    case Alternative::Greater: return {estimate - crit, inf};
    case Alternative::Less: return {-inf, estimate - crit};
    case Alternative::TwoSided: break;
  }
  return {estimate - crit, estimate + crit};
}

namespace {

// Column k of the windows' paths, one value per window.
std::vector<double> at_offset(const std::vector<std::vector<double>>& paths, std::size_t k) {
  std::vector<double> out(paths.size());
  for (std::size_t w = 0; w < paths.size(); ++w) out[w] = paths[w][k];
  return out;
}

std::vector<double> running_sum(std::span<const double> path) {
  std::vector<double> out(path.size());
  double s = 0.0;
  for (std::size_t k = 0; k < path.size(); ++k) out[k] = s += path[k];
  return out;
}

PathBand band_of(std::span<const double> estimate, const std::vector<std::vector<double>>& nulls,
                 double alpha, Alternative alternative) {
  PathBand b;
  for (std::size_t k = 0; k < estimate.size(); ++k) {
    const double crit = critical_value(at_offset(nulls, k), alpha, alternative);
    const inference::TestInterval i = shifted_band(estimate[k], crit, alternative);
    b.lower.push_back(i.lower);
    b.upper.push_back(i.upper);
  }
  return b;
}

}  // namespace

ExperimentAnalysis analyze_experiment(const linalg::Mat& y, std::span<const std::size_t> treated,
                                      std::size_t t0, std::size_t min_pre,
                                      std::optional<std::size_t> lookback,
                                      estimators::sc::Method method, double alpha,
                                      double min_weight, double max_weight,
                                      Alternative alternative) {
  const std::size_t T = y.cols;
  QUINTARA_ASSERT(t0 >= 1 && t0 < T, "analysis: needs a pre- and a post-period");
  const std::size_t len = T - t0;
  const std::vector<std::size_t> windows = window_set(t0, len, min_pre, lookback);
  QUINTARA_ASSERT(!windows.empty(), "analysis: no historical window");
  // The windows window_atts fits, kept whole for their paths.
  const std::vector<estimators::ScFit> fits =
      parallel::parallel_map<estimators::ScFit>(windows.size(), [&](std::size_t w) {
        const std::size_t s = windows[w];
        const estimators::Panel panel = injected_subpanel(y, treated, s, s + len, 0.0);
        return estimators::sc::fit_method(panel, s, method, min_weight, max_weight);
      });
  std::vector<double> null_atts;
  std::vector<std::vector<double>> paths, sums;
  for (const estimators::ScFit& f : fits) {
    null_atts.push_back(f.att);
    paths.push_back(f.att_path);
    sums.push_back(running_sum(f.att_path));
  }
  ExperimentAnalysis a;
  a.null_se = null_se(null_atts);
  estimators::ScFit fit = estimators::sc::fit_method(estimators::Panel::block(y, treated, t0), t0,
                                                     method, min_weight, max_weight);
  a.test = in_time_decide(std::move(fit), std::move(null_atts), len, alpha, alternative);
  const estimators::ScFit& f = a.test.fit;
  a.synthetic = f.synthetic_pre;
  a.synthetic.insert(a.synthetic.end(), f.counterfactual.begin(), f.counterfactual.end());
  const estimators::Panel block = estimators::Panel::block(y, treated, t0);
  a.observed = block.unit_mean(block.treated_units());
  a.cumulative = running_sum(f.att_path);
  a.effect_band = band_of(f.att_path, paths, alpha, alternative);
  a.cumulative_band = band_of(a.cumulative, sums, alpha, alternative);
  const double n = static_cast<double>(len);
  a.cumulative_band.lower.back() = n * a.test.interval.lower;
  a.cumulative_band.upper.back() = n * a.test.interval.upper;
  return a;
}

}  // namespace quintara::geo
