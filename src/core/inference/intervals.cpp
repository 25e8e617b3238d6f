#include "core/inference/intervals.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::inference {

Interval percentile_ci(std::span<const double> values, double estimate, double level) {
  if (!(level > 0.0 && level < 1.0)) panic("assertion failed: level > 0.0 && level < 1.0");

  std::vector<double> sorted(values.begin(), values.end());
  // Values without an order cannot be ranked; the callers never pass NaN.
  for (const double v : sorted) {
    if (std::isnan(v)) panic("percentile_ci: NaN among the values has no order");
  }
  // Stable, so equal values (-0.0 and +0.0) keep their given order and the
  // bound picked at an exact order statistic is reproducible.
  std::stable_sort(sorted.begin(), sorted.end());

  const double a = (1.0 - level) * 0.5;
  const double lower = quantile_sorted(sorted, a);
  const double upper = quantile_sorted(sorted, 1.0 - a);

  // The moments run over the values in the order given, not the sorted copy:
  // the sums are rounding-order dependent.
  double se = 0.0;
  const std::size_t n = values.size();
  if (n >= 2) {
    const double mean = linalg::mean_div(values);
    double ss = 0.0;
    for (const double v : values) {
      const double d = v - mean;
      ss += d * d;
    }
    se = std::sqrt(ss / static_cast<double>(n - 1));
  }
  return Interval{estimate, se, lower, upper, level};
}

double quantile_sorted(std::span<const double> sorted, double q) {
  const std::size_t n = sorted.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  if (n == 1) return sorted[0];
  // fmax/fmin drop a NaN q (it lands on 0), so the index cast below always
  // sees a finite h in [0, n - 1].
  const double h = static_cast<double>(n - 1) * std::fmin(std::fmax(q, 0.0), 1.0);
  const auto lo = static_cast<std::size_t>(std::floor(h));
  const auto hi = static_cast<std::size_t>(std::ceil(h));
  if (lo == hi) return sorted[lo];
  const double f = h - static_cast<double>(lo);
  return f * sorted[hi] + (1.0 - f) * sorted[lo];
}

namespace {

// Acklam's published coefficients.
constexpr double A1 = -39.69683028665376, A2 = 220.9460984245205, A3 = -275.9285104469687,
                 A4 = 138.357751867269, A5 = -30.66479806614716, A6 = 2.506628277459239;
constexpr double B1 = -54.47609879822406, B2 = 161.5858368580409, B3 = -155.6989798598866,
                 B4 = 66.80131188771972, B5 = -13.28068155288572;
constexpr double C1 = -0.007784894002430293, C2 = -0.3223964580411365, C3 = -2.400758277161838,
                 C4 = -2.549732539343734, C5 = 4.374664141464968, C6 = 2.938163982698783;
constexpr double D1 = 0.007784695709041462, D2 = 0.3224671290700398, D3 = 2.445134137142996,
                 D4 = 3.754408661907416;

// Region boundaries; 1 - 0.02425 is not exactly 0.97575 in binary, so both
// are written out.
constexpr double P_LOW = 0.02425;
constexpr double P_HIGH = 0.97575;

// Tail rational function in q = sqrt(-2 ln p'), p' the tail probability.
double tail(double q) {
  const double num = ((((C1 * q + C2) * q + C3) * q + C4) * q + C5) * q + C6;
  const double den = (((D1 * q + D2) * q + D3) * q + D4) * q + 1.0;
  return num / den;
}

}  // namespace

double normal_quantile(double p) {
  if (!(p > 0.0 && p < 1.0)) panic("normal_quantile needs p in (0, 1)");
  if (p < P_LOW) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p <= P_HIGH) {
    const double x = p - 0.5;
    const double r = x * x;
    const double num = (((((A1 * r + A2) * r + A3) * r + A4) * r + A5) * r + A6) * x;
    const double den = ((((B1 * r + B2) * r + B3) * r + B4) * r + B5) * r + 1.0;
    return num / den;
  }
  // Symmetric upper tail: 1 - p is exact for p above 0.5.
  return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
}

double normal_critical(double level) {
  const double tail = (1.0 - level) / 2.0;
  const double p = 1.0 - tail;
  // The upper probability is kept wherever it is below 1: it fixes the
  // rounding of every interval published so far.
  return p < 1.0 ? normal_quantile(p) : -normal_quantile(tail);
}

double normal_p_value(double estimate, double se) {
  return std::erfc(std::fabs(estimate / se) / std::sqrt(2.0));
}

}  // namespace quintara::inference
