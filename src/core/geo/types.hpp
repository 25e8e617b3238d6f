// The records a power analysis produces: one row per injected lift and the
// curve's summary.
//
// Built without the interpreter lock by the power routines and converted once
// into the Python PowerResult record (runs/geo_run). Lifts and minimal
// detectable effects are fractions (0.05 = +5 %), never percentages.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/estimators/sc/method.hpp"

namespace quintara::geo {

// One lift of a power curve.
struct PowerPoint {
  double lift = 0;      // the relative lift injected into the treated test window
  double power = 0;     // share of windows whose |ATT| exceeds the critical value
  double est_mean = 0;  // mean over windows of ATT / treated baseline level
  double est_lo = 0;    // alpha/2 quantile of the same estimated lifts
  double est_hi = 0;    // 1 - alpha/2 quantile
};

struct PowerResult {
  // The three are present together: the lift at which the curve first
  // reaches the target power, then that lift in outcome units per period of
  // an average treated market, and summed over markets and the test window.
  std::optional<double> mde_pct, mde_abs_per_period, mde_cumulative;
  std::vector<PowerPoint> points;  // in the order the lifts were given
  double crit = 0.0;               // 1 - alpha quantile of the placebo |ATT|
  double se_null = 0.0;            // sample standard deviation of the placebo ATTs
  std::size_t n_windows = 0;
  estimators::sc::Method method = estimators::sc::Method::Sc;
};

}  // namespace quintara::geo
