#include "core/runs/validate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/linalg/wide_clones.hpp"

namespace quintara::runs::validate {

namespace {

template <class... A>
[[noreturn]] void fail(std::string_view templ, const A&... args) {
  throw UserError(format(templ, args...));
}

}  // namespace

QUINTARA_WIDE_CLONES double max_abs_or_nan(std::span<const double> v) {
  // Lane l takes items l, l + 8, ...: the maxima and the NaN probes
  // (x - x is NaN exactly for a NaN or an infinity) vectorise.
  constexpr std::size_t kLanes = 8;
  double m[kLanes] = {}, bad[kLanes] = {};
  const double* x = v.data();
  const std::size_t n = v.size();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double a = std::fabs(x[i + l]);
      m[l] = a > m[l] ? a : m[l];
      bad[l] += x[i + l] - x[i + l];
    }
  }
  double top = 0.0, probe = 0.0;
  for (; i < n; ++i) {
    const double a = std::fabs(x[i]);
    top = a > top ? a : top;
    probe += x[i] - x[i];
  }
  for (std::size_t l = 0; l < kLanes; ++l) {
    top = m[l] > top ? m[l] : top;
    probe += bad[l];
  }
  return std::isnan(probe) ? std::numeric_limits<double>::quiet_NaN() : top;
}

void check_nonneg(std::string_view name, double x) {
  // -0.0 >= 0 holds, so a negative zero passes.
  if (!(std::isfinite(x) && x >= 0.0)) fail("{} must be finite and >= 0; got {}", name, x);
}

void check_multiplier(std::string_view name, double x) {
  check_nonneg(name, x);
  if (x > kMaxMultiplier) fail("{} must be <= {}; got {}", name, kMaxMultiplier, x);
}

void check_pos(std::string_view name, double x) {
  if (!(std::isfinite(x) && x > 0.0)) fail("{} must be finite and > 0; got {}", name, x);
}

void check_unit_interval(std::string_view name, double x) {
  if (!(std::isfinite(x) && x > 0.0 && x < 1.0)) fail("{} must be in (0, 1); got {}", name, x);
}

void check_min_count(std::string_view name, std::uint64_t value) {
  if (value < 1) fail("{} must be >= {}; got {}", name, 1, value);
}

void check_indices(std::string_view name, std::span<const std::size_t> indices, std::size_t bound) {
  for (const std::size_t i : indices) {
    if (i >= bound) fail("{} index {} out of range [0, {})", name, i, bound);
  }
}

void check_treated(std::span<const std::size_t> treated, std::size_t n_units) {
  if (treated.empty()) fail("`treated` must list at least one treated unit index");
  std::vector<bool> seen(n_units, false);
  for (const std::size_t i : treated) {
    if (i >= n_units) fail("treated unit index {} out of range [0, {})", i, n_units);
    if (seen[i]) fail("treated unit index {} listed more than once", i);
    seen[i] = true;
  }
  if (treated.size() >= n_units) {
    fail("every unit is treated; need at least one never-treated unit as a donor/control");
  }
}

void check_treat_time(std::uint64_t treat_time, std::size_t n_periods) {
  if (treat_time < 1 || treat_time >= n_periods) {
    fail("treat_time {} must be in [1, {}) so there is at least one pre- and one post-period",
         treat_time, n_periods);
  }
}

std::size_t check_geo_window(std::uint64_t test_len, std::uint64_t min_pre, std::size_t n_periods) {
  const std::uint64_t t = n_periods;
  if (test_len == 0 || test_len >= t) {
    fail("test_len must be in [1, {}) (panel has {0} periods); got {}", t, test_len);
  }
  const std::uint64_t pre = min_pre > 0 ? min_pre : std::max<std::uint64_t>(2, test_len);
  if (pre <= t - test_len) return static_cast<std::size_t>(pre);
  std::uint64_t usable = 0;
  if (min_pre > 0) {
    usable = t > min_pre && t - min_pre >= 1 ? t - min_pre : 0;
  } else {
    for (std::uint64_t l = t - 1; l >= 1; --l) {
      if (std::max<std::uint64_t>(2, l) <= t - l) {
        usable = l;
        break;
      }
    }
  }
  // test_len + pre cannot overflow in practice, but saturate rather than wrap.
  const std::uint64_t needed = test_len > UINT64_MAX - pre ? UINT64_MAX : test_len + pre;
  fail(
      "test_len={} with a {}-period pre-window needs at least {} periods, but the panel has "
      "{}. Reduce test_len (max usable here: {}) or pass a smaller min_pre.",
      test_len, pre, needed, t, usable);
}

std::pair<double, double> check_weight_bounds(std::size_t n_donors, double min_weight,
                                              double max_weight) {
  if (!std::isfinite(min_weight) || min_weight < 0.0 || min_weight > 1.0) {
    fail("min_weight must be in [0, 1]; got {}", min_weight);
  }
  if (!std::isfinite(max_weight) || max_weight <= 0.0 || max_weight > 1.0) {
    fail("max_weight must be in (0, 1]; got {}", max_weight);
  }
  if (min_weight > max_weight) {
    fail("min_weight ({}) must not exceed max_weight ({})", min_weight, max_weight);
  }
  if (n_donors > 0) {
    const double n = static_cast<double>(n_donors);
    // The 1e-12 slack lets the exact boundary 1/n pass despite rounding.
    if (min_weight * n > 1.000000000001) {
      fail(
          "min_weight={} is infeasible with {} donors: every donor at that floor would need "
          "total weight {:.4} > 1. Use min_weight <= {:.4} (= 1/{1}).",
          min_weight, n_donors, min_weight * n, 1.0 / n);
    }
    if (max_weight * n < 0.999999999999) {
      fail(
          "max_weight={} is infeasible with {} donors: capping every donor there allows total "
          "weight {:.4} < 1. Use max_weight >= {:.4} (= 1/{1}).",
          max_weight, n_donors, max_weight * n, 1.0 / n);
    }
  }
  return {min_weight, max_weight};
}

}  // namespace quintara::runs::validate
