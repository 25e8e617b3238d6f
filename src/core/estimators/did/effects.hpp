// Aggregated difference-in-differences effects shared by the event-study
// estimators.
#pragma once

#include <cstdint>
#include <vector>

namespace quintara::estimators::did {

// One aggregate: an event time (event study) or a cohort (group aggregation)
// with its estimate and standard error. `influence` holds the per-unit
// influence function (length N) where the estimator has one; it is empty
// otherwise.
struct AggEffect {
  std::vector<double> influence;
  std::int64_t key = 0;
  double estimate = 0.0;
  double se = 0.0;
};

}  // namespace quintara::estimators::did
