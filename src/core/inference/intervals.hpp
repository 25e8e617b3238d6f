// Interval helpers: empirical percentile intervals, type-7 quantiles of sorted
// data, and the inverse standard normal distribution function.
#pragma once

#include <span>

namespace quintara::inference {

struct Interval {
  double estimate = 0.0;  // the centre passed in
  double se = 0.0;        // sample standard deviation of the values
  double lower = 0.0;
  double upper = 0.0;
  double level = 0.0;
};

// Percentile interval of `values` (any order) at 0 < level < 1. A NaN among
// the values is an invariant violation. With no values the bounds are NaN and
// se is 0.
Interval percentile_ci(std::span<const double> values, double estimate, double level);

// Linear interpolation between order statistics at q*(n-1), q clamped to
// [0, 1]; NaN for no values.
double quantile_sorted(std::span<const double> sorted, double q);

// Acklam's rational approximation (no refinement step); 0 < p < 1.
double normal_quantile(double p);

}  // namespace quintara::inference
