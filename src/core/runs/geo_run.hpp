// The geo power entry's computation after validation, and the conversion of
// a power curve into the Python PowerResult record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/geo/curve.hpp"
#include "core/geo/types.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/records.hpp"
#include "core/runs/validate.hpp"

namespace quintara::runs {

// Every lift finite and >= 0 (-0.0 passes), else UserError "lifts must be
// finite and >= 0 (detection is two-sided on |ATT|, so a negative lift is
// equivalent to its magnitude); got {}" naming the first offender; one-sided,
// ">= 0 for alternative='greater' (an increase)" or "<= 0 for
// alternative='less' (a decrease)".
void check_lifts(std::span<const double> lifts,
                 geo::Alternative alternative = geo::Alternative::TwoSided);

// "two-sided", "greater" or "less"; anything else is UserError "unknown
// alternative '{}' (expected two-sided/greater/less)".
geo::Alternative parse_alternative(std::string_view text);

// The record Python sees: the display name, the points split into five
// lists, the rest copied. `ensemble_weights` is none for a single method.
PyPowerResult power_record(const geo::PowerResult& result,
                           std::optional<std::vector<double>> ensemble_weights);

// A validated request: y owned; treated checked against y; min_pre the
// effective pre-window length from check_geo_window; lifts, alpha,
// target_power and the weight bounds checked; method not Ensemble.
// What the power checks settle: the effective pre-window and the options in
// the form the power routines take.
struct PowerWindow {
  std::size_t min_pre = 0;
  std::optional<std::size_t> lookback;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

// The checks geo_power and geo_power_ensemble share after their own, in
// order: the panel, the treated set, the window, the lifts, alpha,
// target_power, the weight bounds. `Args` holds y (an array view), treated,
// test_len, lifts, alpha, target_power, min_pre, lookback and the bounds.
template <class Args>
PowerWindow check_power_args(const Args& a) {
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  PowerWindow w;
  w.min_pre = validate::check_geo_window(a.test_len, a.min_pre, n_periods);
  if constexpr (requires { a.alternative; }) {
    check_lifts(a.lifts, parse_alternative(a.alternative));
  } else {
    check_lifts(a.lifts);
  }
  validate::check_unit_interval("alpha", a.alpha);
  validate::check_unit_interval("target_power", a.target_power);
  std::tie(w.min_weight, w.max_weight) =
      validate::check_weight_bounds(n_units - a.treated.size(), a.min_weight, a.max_weight);
  if (a.lookback) w.lookback = static_cast<std::size_t>(*a.lookback);
  return w;
}

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
  geo::Alternative alternative = geo::Alternative::TwoSided;
};

// Fits y normalised by a power of two (scale.hpp); results in y's units.
PyPowerResult run_power(const PowerRequest& request);

}  // namespace quintara::runs
