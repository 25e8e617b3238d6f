// The geo power entry's computation after validation, and the conversion of
// a power curve into the Python PowerResult record.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/geo/types.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// Every lift finite and >= 0 (-0.0 passes), else UserError "lifts must be
// finite and >= 0 (detection is two-sided on |ATT|, so a negative lift is
// equivalent to its magnitude); got {}" naming the first offender.
void check_lifts(std::span<const double> lifts);

// The record Python sees: the display name, the points split into five
// lists, the rest copied. `ensemble_weights` is none for a single method.
PyPowerResult power_record(const geo::PowerResult& result,
                           std::optional<std::vector<double>> ensemble_weights);

// A validated request: y owned; treated checked against y; min_pre the
// effective pre-window length from check_geo_window; lifts, alpha,
// target_power and the weight bounds checked; method not Ensemble.
struct PowerRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t test_len = 1;
  std::size_t min_pre = 2;
  std::vector<double> lifts;
  Method method = Method::Sdid;
  double alpha = 0.1;
  double target_power = 0.8;
  std::optional<std::size_t> lookback;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

PyPowerResult run_power(const PowerRequest& request);

}  // namespace quintara::runs
