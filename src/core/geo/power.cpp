#include "core/geo/power.hpp"

#include <algorithm>
#include <utility>

#include "core/parallel/pool.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

estimators::Panel injected_subpanel(const linalg::Mat& y, std::span<const std::size_t> treated,
                                    std::size_t t0, std::size_t width, double lift) {
  QUINTARA_ASSERT(width <= y.cols, "injected_subpanel: width beyond the panel");
  linalg::Mat m(y.rows, width);
  std::copy_n(y.data.begin(), y.rows * width, m.data.begin());
  if (lift != 0.0) {
    const double factor = 1.0 + lift;
    for (std::size_t j = t0; j < width; ++j) {
      // Assigned from y, not scaled in place, so a repeated index is harmless.
      for (const std::size_t i : treated) m(i, j) = y(i, j) * factor;
    }
  }
  return estimators::Panel::block(std::move(m), treated, t0);
}

std::vector<std::size_t> window_set(std::size_t n_periods, std::size_t test_len,
                                    std::size_t min_pre, std::optional<std::size_t> lookback) {
  const std::size_t first = std::max<std::size_t>(min_pre, 1);
  if (test_len > n_periods || n_periods - test_len < first) return {};
  std::vector<std::size_t> out;
  for (std::size_t t0 = first; t0 <= n_periods - test_len; ++t0) out.push_back(t0);
  if (lookback) {
    const std::size_t keep = std::max<std::size_t>(*lookback, 1);
    if (keep < out.size()) out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(keep));
  }
  return out;
}

std::vector<double> window_atts(const linalg::Mat& y, std::span<const std::size_t> treated,
                                std::span<const std::size_t> windows, std::size_t test_len,
                                double lift, runs::Method method, double min_weight,
                                double max_weight) {
  return parallel::parallel_map<double>(windows.size(), [&](std::size_t w) {
    const std::size_t t0 = windows[w];
    const estimators::Panel panel = injected_subpanel(y, treated, t0, t0 + test_len, lift);
    return runs::fit_method(panel, t0, method, min_weight, max_weight).att;
  });
}

PowerResult power_curve(const linalg::Mat& y, std::span<const std::size_t> treated,
                        std::size_t test_len, std::size_t min_pre, std::span<const double> lifts,
                        runs::Method method, double alpha, double target_power,
                        std::optional<std::size_t> lookback, double min_weight,
                        double max_weight) {
  const std::size_t n_periods = y.cols;
  if (test_len < 1 || test_len >= n_periods) panic("test_len out of range");
  if (n_periods - test_len < std::max<std::size_t>(min_pre, 1)) {
    panic("not enough periods for the requested pre-window + test_len");
  }
  const std::vector<std::size_t> windows = window_set(n_periods, test_len, min_pre, lookback);
  const TreatedBaseline baseline = treated_baseline(y, treated);

  // The null pass serves the critical value, the spread and every zero lift.
  const std::vector<double> null_atts =
      window_atts(y, treated, windows, test_len, 0.0, method, min_weight, max_weight);

  PowerResult r;
  r.method = method;
  r.n_windows = windows.size();
  r.crit = critical_value(null_atts, alpha);
  r.se_null = null_se(null_atts);
  r.points.reserve(lifts.size());
  for (const double lift : lifts) {
    if (lift == 0.0) {
      r.points.push_back(curve_point(lift, null_atts, r.crit, baseline.level, alpha));
    } else {
      const std::vector<double> atts =
          window_atts(y, treated, windows, test_len, lift, method, min_weight, max_weight);
      r.points.push_back(curve_point(lift, atts, r.crit, baseline.level, alpha));
    }
  }
  set_mde(r, minimal_detectable_effect(r.points, target_power, baseline, test_len));
  return r;
}

}  // namespace quintara::geo
