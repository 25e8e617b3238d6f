// Power curves by historical placebo with injected lift.
//
// Each placebo window replays the estimator on a past stretch of the panel
// where nothing happened: the window with split t0 is the first
// t0 + test_len periods, treated from t0 on. The unlifted fits give the null
// (critical value and spread); refitting with the treated markets' test
// periods multiplied by (1 + lift) shows how often that lift is detected.
// The cost is (1 + number of non-zero lifts) x n_windows fits, each pass one
// parallel map over the windows, so results are identical for any number of
// workers. This is the plain path: every window is refitted from scratch.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/panel.hpp"
#include "core/estimators/prepared.hpp"
#include "core/estimators/sc/method.hpp"
#include "core/geo/curve.hpp"
#include "core/geo/types.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

// The first `width` columns of y, with the treated rows' columns j >= t0
// multiplied by (1 + lift) (a lift of exactly 0 copies), as a block panel
// treated at t0.
estimators::Panel injected_subpanel(const linalg::Mat& y, std::span<const std::size_t> treated,
                                    std::size_t t0, std::size_t width, double lift);

// The window set (t0 values, ascending) for T periods: max(min_pre, 1) ..
// T - test_len, then only the last max(lookback, 1) when lookback is given.
// Empty when no window fits. `min_pre` is the effective pre-window length.
std::vector<std::size_t> window_set(std::size_t n_periods, std::size_t test_len,
                                    std::size_t min_pre, std::optional<std::size_t> lookback);

// Each window's ATT with `lift` injected, refitted from scratch, in window
// order (one parallel pass).
std::vector<double> window_atts(const linalg::Mat& y, std::span<const std::size_t> treated,
                                std::span<const std::size_t> windows, std::size_t test_len,
                                double lift, estimators::sc::Method method, double min_weight,
                                double max_weight);

// Every window of a window set solved once, unlifted, for each member
// method: the prepared fit of member m at window w is fits[w * n_members + m].
struct PreparedWindows {
  std::vector<std::size_t> windows;  // the t0 values, in window order
  std::size_t test_len = 0;
  std::size_t n_members = 0;
  std::vector<estimators::PreparedFit> fits;

  const estimators::PreparedFit& fit(std::size_t window, std::size_t member) const {
    return fits[window * n_members + member];
  }
};

// One parallel pass over the windows: each builds its unlifted panel once and
// prepares every member on it, in member order (no Ensemble among them).
PreparedWindows prepare_windows(const linalg::Mat& y, std::span<const std::size_t> treated,
                                std::span<const std::size_t> windows, std::size_t test_len,
                                std::span<const estimators::sc::Method> members, double min_weight,
                                double max_weight);

// Each member's window ATTs with `lift` injected (out[m][w]), as refits of the
// injected windows would return them. A lift of exactly 0 gives the prepared
// fits' own ATTs; any other is assembled from each window's prepared fit and
// its injected treated post-period series, with no solve. `y` and `treated`
// must be those the windows were prepared from.
std::vector<std::vector<double>> assembled_atts(const PreparedWindows& prepared,
                                                const linalg::Mat& y,
                                                std::span<const std::size_t> treated, double lift);

// The curve for one method (not Ensemble), one solve per window. Needs
// 1 <= test_len < T and T - test_len >= max(min_pre, 1); alpha and
// target_power in (0, 1).
PowerResult power_curve(const linalg::Mat& y, std::span<const std::size_t> treated,
                        std::size_t test_len, std::size_t min_pre, std::span<const double> lifts,
                        estimators::sc::Method method, double alpha, double target_power,
                        std::optional<std::size_t> lookback, double min_weight, double max_weight,
                        Alternative alternative = Alternative::TwoSided);

// The same curve by refitting every window for every non-zero lift: the
// reference power_curve must equal bit for bit (tests and benchmarks only).
PowerResult power_curve_refit(const linalg::Mat& y, std::span<const std::size_t> treated,
                              std::size_t test_len, std::size_t min_pre,
                              std::span<const double> lifts, estimators::sc::Method method,
                              double alpha, double target_power,
                              std::optional<std::size_t> lookback, double min_weight,
                              double max_weight);

}  // namespace quintara::geo
