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
#include "core/geo/curve.hpp"
#include "core/geo/types.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/methods.hpp"

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

// Each window's ATT with `lift` injected, in window order (one parallel
// pass).
std::vector<double> window_atts(const linalg::Mat& y, std::span<const std::size_t> treated,
                                std::span<const std::size_t> windows, std::size_t test_len,
                                double lift, runs::Method method, double min_weight,
                                double max_weight);

// The curve for one method (not Ensemble). Needs 1 <= test_len < T and
// T - test_len >= max(min_pre, 1); alpha and target_power in (0, 1).
PowerResult power_curve(const linalg::Mat& y, std::span<const std::size_t> treated,
                        std::size_t test_len, std::size_t min_pre, std::span<const double> lifts,
                        runs::Method method, double alpha, double target_power,
                        std::optional<std::size_t> lookback, double min_weight, double max_weight);

}  // namespace quintara::geo
