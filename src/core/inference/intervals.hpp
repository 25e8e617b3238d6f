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

// The two-sided normal critical value z with P(|Z| <= z) = level, for
// 0 < level < 1: normal_quantile(1 - (1 - level)/2). When that probability
// rounds to 1 (level within about 1e-16 of 1) the lower tail (1 - level)/2,
// which is still positive, is used instead.
double normal_critical(double level);

// The two-sided normal p-value of estimate / se, P(|Z| >= |estimate / se|):
// erfc(|z| / sqrt 2). An se of 0 gives 0 for a non-zero estimate; 0 / 0 and
// NaN give NaN.
double normal_p_value(double estimate, double se);

}  // namespace quintara::inference
