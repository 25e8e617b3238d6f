// Validators shared by the entry functions, with their exact messages.
//
// Each takes plain values (check_panel reads the array view in place), has no
// side effects and throws UserError (ValueError in Python) with one message.
// Nothing here touches Python, so the messages are unit-tested natively.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs::validate {

// Non-empty and finite; returns (n_units, n_periods, max |y|), the last
// what the outcome's scale (scale.hpp) is chosen from, found in the same
// pass. Stops at the first row holding a non-finite element. `View` offers
// dim(k) and at(i, j) (an array view read through its own strides, or a
// Mat).
[[noreturn]] inline void nonfinite_panel() {
  throw UserError("y contains NaN or inf; quintara requires a complete, finite panel");
}

// The largest |v| of a contiguous block, or NaN when the block holds a NaN
// or an infinity: one flat pass in vector lanes (the maximum does not
// depend on the order it is taken in).
double max_abs_or_nan(std::span<const double> v);

template <class View>
std::tuple<std::size_t, std::size_t, double> check_panel_max(const View& y) {
  const std::size_t n = y.dim(0), t = y.dim(1);
  if (n == 0 || t == 0) {
    throw UserError(format("y must be a non-empty N×T panel; got shape ({}, {})", n, t));
  }
  // A C-ordered array view is one block of n * t items, read in place when
  // its address is a double's (a misaligned one goes through y.at, which
  // copies each item out).
  if constexpr (requires {
                  y.buf();
                  y.stride(0);
                }) {
    const auto item = static_cast<std::ptrdiff_t>(sizeof(double));
    if (y.stride(1) == item && y.stride(0) == item * static_cast<std::ptrdiff_t>(t) &&
        reinterpret_cast<std::uintptr_t>(y.buf()) % alignof(double) == 0) {
      const double m = max_abs_or_nan({static_cast<const double*>(y.buf()), n * t});
      if (std::isnan(m)) nonfinite_panel();
      return {n, t, m};
    }
  }
  double m = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    // Branch-free over a row; an infinity or NaN is reported once the row
    // is done (v - v is NaN exactly for them, 0 otherwise).
    double bad = 0.0;
    for (std::size_t j = 0; j < t; ++j) {
      const double v = y.at(i, j);
      const double a = std::fabs(v);
      m = a > m ? a : m;
      bad += v - v;
    }
    if (std::isnan(bad)) nonfinite_panel();
  }
  return {n, t, m};
}

// The same without the maximum: (n_units, n_periods).
template <class View>
std::pair<std::size_t, std::size_t> check_panel(const View& y) {
  const auto [n, t, max_abs] = check_panel_max(y);
  return {n, t};
}

// As check_panel, but a NaN cell is a missing observation: inf still fails,
// and every unit and every period must keep at least one observed cell.
// Returns (n_units, n_periods, number of missing cells).
template <class View>
std::tuple<std::size_t, std::size_t, std::size_t> check_observed_panel(const View& y) {
  const std::size_t n = y.dim(0), t = y.dim(1);
  if (n == 0 || t == 0) {
    throw UserError(format("y must be a non-empty N×T panel; got shape ({}, {})", n, t));
  }
  std::size_t missing = 0;
  std::vector<std::size_t> seen_in_period(t, 0);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t seen = 0;
    for (std::size_t j = 0; j < t; ++j) {
      const double v = y.at(i, j);
      if (std::isnan(v)) {
        ++missing;
        continue;
      }
      if (!std::isfinite(v)) {
        throw UserError("y contains inf; a missing cell must be NaN");
      }
      ++seen;
      ++seen_in_period[j];
    }
    if (seen == 0) throw UserError(format("unit {} has no observed period", i));
  }
  for (std::size_t j = 0; j < t; ++j) {
    if (seen_in_period[j] == 0) throw UserError(format("period {} has no observed unit", j));
  }
  return {n, t, missing};
}

void check_nonneg(std::string_view name, double x);
// A unitless multiplier of a penalty (penalty, zeta_scale): finite, >= 0 and
// at most kMaxMultiplier. Far below the bound the penalty already outweighs
// the fit entirely; far above it the penalty overflows to inf and the fit to
// NaN.
inline constexpr double kMaxMultiplier = 1e12;
void check_multiplier(std::string_view name, double x);
void check_pos(std::string_view name, double x);
void check_unit_interval(std::string_view name, double x);
void check_min_count(std::string_view name, std::uint64_t value);
void check_indices(std::string_view name, std::span<const std::size_t> indices, std::size_t bound);
void check_treated(std::span<const std::size_t> treated, std::size_t n_units);
void check_treat_time(std::uint64_t treat_time, std::size_t n_periods);

// Returns the effective pre-window length.
std::size_t check_geo_window(std::uint64_t test_len, std::uint64_t min_pre, std::size_t n_periods);

// Returns (min_weight, max_weight) unchanged.
std::pair<double, double> check_weight_bounds(std::size_t n_donors, double min_weight,
                                              double max_weight);

}  // namespace quintara::runs::validate
