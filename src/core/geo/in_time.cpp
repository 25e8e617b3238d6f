#include "core/geo/in_time.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <limits>
#include <utility>

#include "core/geo/curve.hpp"
#include "core/geo/power.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

double in_time_p(std::span<const double> sorted, double abs_att) {
  const std::size_t n = sorted.size();
  QUINTARA_ASSERT(n >= 1, "in-time test: no windows");
  if (!(abs_att > sorted[0])) return 1.0;
  if (abs_att > sorted[n - 1]) return 0.0;
  // The last order statistic below |att|; the one after it is at least |att|.
  std::size_t k = 0;
  while (k + 1 < n && sorted[k + 1] < abs_att) ++k;
  const double h = static_cast<double>(k) + (abs_att - sorted[k]) / (sorted[k + 1] - sorted[k]);
  return 1.0 - h / static_cast<double>(n - 1);
}

InTimeTest in_time_decide(estimators::ScFit fit, std::vector<double> null_atts,
                          std::size_t window_len, double alpha, Alternative alternative) {
  QUINTARA_ASSERT(!null_atts.empty(), "in-time test: no historical window");
  InTimeTest r;
  r.fit = std::move(fit);
  r.null_atts = std::move(null_atts);
  r.window_len = window_len;
  r.crit = critical_value(r.null_atts, alpha, alternative);
  // The statistic whose upper tail rejects: |att|, att, or -att.
  const auto stat = [alternative](double a) {
    switch (alternative) {
      case Alternative::Greater: return a;
      case Alternative::Less: return -a;
      case Alternative::TwoSided: break;
    }
    return std::fabs(a);
  };
  std::vector<double> null(r.null_atts.size());
  std::transform(r.null_atts.begin(), r.null_atts.end(), null.begin(), stat);
  std::sort(null.begin(), null.end(),
            [](double a, double b) { return std::is_lt(std::strong_order(a, b)); });
  r.p_value = in_time_p(null, stat(r.fit.att));
  const double inf = std::numeric_limits<double>::infinity();
  inference::TestInterval ci{r.fit.att - r.crit, r.fit.att + r.crit};
  if (alternative == Alternative::Greater) ci = {r.fit.att - r.crit, inf};
  if (alternative == Alternative::Less) ci = {-inf, r.fit.att - r.crit};
  r.interval = inference::follow_p_value(ci, r.p_value, 1.0 - alpha);
  return r;
}

InTimeTest in_time_test(const linalg::Mat& y, std::span<const std::size_t> treated, std::size_t t0,
                        std::size_t min_pre, std::optional<std::size_t> lookback,
                        estimators::sc::Method method, double alpha, double min_weight,
                        double max_weight, Alternative alternative) {
  const std::size_t T = y.cols;
  QUINTARA_ASSERT(t0 >= 1 && t0 < T, "in-time test: needs a pre- and a post-period");
  const std::size_t len = T - t0;
  const std::vector<std::size_t> windows = window_set(t0, len, min_pre, lookback);
  QUINTARA_ASSERT(!windows.empty(), "in-time test: no historical window");
  std::vector<double> null_atts =
      window_atts(y, treated, windows, len, 0.0, method, min_weight, max_weight);
  estimators::ScFit fit = estimators::sc::fit_method(estimators::Panel::block(y, treated, t0), t0,
                                                     method, min_weight, max_weight);
  return in_time_decide(std::move(fit), std::move(null_atts), len, alpha, alternative);
}

}  // namespace quintara::geo
