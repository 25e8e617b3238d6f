#include "core/geo/power.hpp"

#include <algorithm>
#include <utility>

#include "core/inference/placebo.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

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
                                double lift, estimators::sc::Method method, double min_weight,
                                double max_weight) {
  return parallel::parallel_map<double>(windows.size(), [&](std::size_t w) {
    const std::size_t t0 = windows[w];
    const estimators::Panel panel = injected_subpanel(y, treated, t0, t0 + test_len, lift);
    return estimators::sc::fit_method(panel, t0, method, min_weight, max_weight).att;
  });
}

PreparedWindows prepare_windows(const linalg::Mat& y, std::span<const std::size_t> treated,
                                std::span<const std::size_t> windows, std::size_t test_len,
                                std::span<const estimators::sc::Method> members, double min_weight,
                                double max_weight) {
  std::vector<estimators::sc::ScMethod> methods;
  methods.reserve(members.size());
  for (const estimators::sc::Method m : members) {
    methods.push_back(estimators::sc::geo_method(m, min_weight, max_weight));
  }
  using Fits = std::vector<estimators::PreparedFit>;
  std::vector<Fits> per_window = parallel::parallel_map<Fits>(windows.size(), [&](std::size_t w) {
    const std::size_t t0 = windows[w];
    const estimators::Panel panel = injected_subpanel(y, treated, t0, t0 + test_len, 0.0);
    Fits fits;
    fits.reserve(methods.size());
    for (const estimators::sc::ScMethod& method : methods)
      fits.push_back(method.prepare_at(panel, t0));
    return fits;
  });
  PreparedWindows out;
  out.windows.assign(windows.begin(), windows.end());
  out.test_len = test_len;
  out.n_members = members.size();
  out.fits.reserve(windows.size() * members.size());
  for (Fits& fits : per_window) {
    for (estimators::PreparedFit& f : fits) out.fits.push_back(std::move(f));
  }
  return out;
}

std::vector<std::vector<double>> assembled_atts(const PreparedWindows& prepared,
                                                const linalg::Mat& y,
                                                std::span<const std::size_t> treated, double lift) {
  const std::size_t n_windows = prepared.windows.size();
  const std::size_t n_members = prepared.n_members;
  std::vector<std::vector<double>> out(n_members, std::vector<double>(n_windows));
  if (lift == 0.0) {
    for (std::size_t w = 0; w < n_windows; ++w) {
      for (std::size_t m = 0; m < n_members; ++m) out[m][w] = prepared.fit(w, m).fit.att;
    }
    return out;
  }
  // A few products and sums per window: cheaper than a pass over the pool.
  for (std::size_t w = 0; w < n_windows; ++w) {
    const std::vector<double> post =
        estimators::injected_treated_post(y, treated, prepared.windows[w], prepared.test_len, lift);
    for (std::size_t m = 0; m < n_members; ++m) {
      out[m][w] = estimators::att_with_post(prepared.fit(w, m), post);
    }
  }
  return out;
}

namespace {

void check_curve_window(std::size_t n_periods, std::size_t test_len, std::size_t min_pre) {
  if (test_len < 1 || test_len >= n_periods) panic("test_len out of range");
  if (n_periods - test_len < std::max<std::size_t>(min_pre, 1)) {
    panic("not enough periods for the requested pre-window + test_len");
  }
}

}  // namespace

PowerResult power_curve(const linalg::Mat& y, std::span<const std::size_t> treated,
                        std::size_t test_len, std::size_t min_pre, std::span<const double> lifts,
                        estimators::sc::Method method, double alpha, double target_power,
                        std::optional<std::size_t> lookback, double min_weight, double max_weight,
                        Alternative alternative) {
  check_curve_window(y.cols, test_len, min_pre);
  const std::vector<std::size_t> windows = window_set(y.cols, test_len, min_pre, lookback);
  const PreparedWindows prepared =
      prepare_windows(y, treated, windows, test_len, {&method, 1}, min_weight, max_weight);
  const std::vector<double> null_atts = std::move(assembled_atts(prepared, y, treated, 0.0)[0]);
  return curve_from_atts(
      method, null_atts, lifts,
      [&](double lift) { return std::move(assembled_atts(prepared, y, treated, lift)[0]); },
      treated_baseline(y, treated), test_len, alpha, target_power, alternative);
}

PowerResult power_curve_refit(const linalg::Mat& y, std::span<const std::size_t> treated,
                              std::size_t test_len, std::size_t min_pre,
                              std::span<const double> lifts, estimators::sc::Method method,
                              double alpha, double target_power,
                              std::optional<std::size_t> lookback, double min_weight,
                              double max_weight) {
  check_curve_window(y.cols, test_len, min_pre);
  const std::vector<std::size_t> windows = window_set(y.cols, test_len, min_pre, lookback);
  const std::vector<double> null_atts =
      window_atts(y, treated, windows, test_len, 0.0, method, min_weight, max_weight);
  return curve_from_atts(
      method, null_atts, lifts,
      [&](double lift) {
        return window_atts(y, treated, windows, test_len, lift, method, min_weight, max_weight);
      },
      treated_baseline(y, treated), test_len, alpha, target_power);
}

}  // namespace quintara::geo
