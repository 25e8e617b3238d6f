// The analysis of a finished geo experiment: the average effect decided by
// the in-time test (in_time.hpp), and the effect path and its running sum
// with bands from the same historical windows.
//
// Every window has the post-period's length, so each offset k of the post-
// period has one null value per window: the window's effect at k, or its
// effects summed through k. A band at k is the set of constant shifts the
// detection rule does not reject at that offset alone, e_k -+ crit_k with
// crit_k from critical_value over the windows (pointwise, not simultaneous).
// The running sum's last point is the headline test itself: its band is the
// average effect's interval times the post-period length, so the cumulative
// lift, the lift in percent and the incremental units all carry the p-value
// and interval of one test.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/sc/method.hpp"
#include "core/geo/curve.hpp"
#include "core/geo/in_time.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

struct PathBand {
  std::vector<double> lower;  // one per post-period
  std::vector<double> upper;
};

struct ExperimentAnalysis {
  InTimeTest test;
  std::vector<double> observed;    // the treated markets' mean, all T periods
  std::vector<double> synthetic;   // the method's untreated path, all T periods
  std::vector<double> cumulative;  // running sum of the effect path, per treated market
  PathBand effect_band;
  PathBand cumulative_band;
  double null_se = 0.0;  // sample standard deviation of the windows' ATTs
};

// The band e -+ crit under `alternative` (one-sided: the other end infinite).
inference::TestInterval shifted_band(double estimate, double crit, Alternative alternative);

// Needs what in_time_test needs; the headline numbers are bit for bit those
// of in_time_test with the same arguments.
ExperimentAnalysis analyze_experiment(const linalg::Mat& y, std::span<const std::size_t> treated,
                                      std::size_t t0, std::size_t min_pre,
                                      std::optional<std::size_t> lookback,
                                      estimators::sc::Method method, double alpha,
                                      double min_weight, double max_weight,
                                      Alternative alternative);

}  // namespace quintara::geo
