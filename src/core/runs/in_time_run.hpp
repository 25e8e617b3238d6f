// The design's detection test on a finished experiment (geo_test): the
// request after validation, and the SCResult it fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/geo/curve.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// y owned; treated checked; 1 <= t0 < T with a historical window in the
// pre-period (check_in_time_windows); alpha and the bounds checked; method
// not Ensemble.
struct InTimeRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t t0 = 1;
  std::size_t min_pre = 2;
  std::optional<std::size_t> lookback;
  Method method = Method::Sdid;
  double alpha = 0.1;
  double min_weight = 0.0;
  double max_weight = 1.0;
  geo::Alternative alternative = geo::Alternative::TwoSided;
};

// The effective pre-window of the historical windows of the post-period's
// length inside the pre-period, or a UserError saying how many periods
// before treat_time that needs and what would fit (min_pre = 0 means
// max(2, post-period length), as in geo_power).
std::size_t check_in_time_windows(std::size_t t0, std::size_t n_periods, std::uint64_t min_pre);

// Fits y normalised by a power of two; the record in y's units, with the
// windows' ATTs as its inference distribution.
PyScResult run_in_time_test(const InTimeRequest& request);

}  // namespace quintara::runs
