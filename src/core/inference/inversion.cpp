#include "core/inference/inversion.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core/panic.hpp"

namespace quintara::inference {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using estimators::sc::Statistic;

// Whether count placebo statistics at least as extreme give p > 1 - level,
// in the p-value's own arithmetic.
bool accepts(std::size_t count, std::size_t m, double level) {
  return static_cast<double>(count + 1) / static_cast<double>(m + 1) > 1.0 - level;
}

// Half-width of {tau : stat(tau) <= c} around att; negative when empty.
double half_width(Statistic statistic, std::span<const double> g, double att, double pre,
                  double c) {
  if (statistic == Statistic::AbsAtt) return c;
  if (statistic == Statistic::StandardisedAtt) return c * pre;
  double v = 0.0;
  for (const double x : g) v += (x - att) * (x - att);
  v /= static_cast<double>(std::max<std::size_t>(g.size(), 1));
  const double d = (c * pre) * (c * pre) - v;
  return d < 0.0 ? -1.0 : std::sqrt(d);
}

}  // namespace

TestInterval invert_placebo_test(Statistic statistic, std::span<const double> att_path, double att,
                                 double pre_rmspe, std::span<const double> placebo_stats,
                                 double p_value, double level) {
  const std::size_t m = placebo_stats.size();
  if (m == 0) panic("test inversion needs at least one placebo statistic");
  std::size_t K = 0;
  while (!accepts(K, m, level)) ++K;  // K <= m: a count of m gives p = 1
  TestInterval out{-kInf, kInf};
  if (K > 0) {
    std::vector<double> sorted(placebo_stats.begin(), placebo_stats.end());
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    const double c = sorted[K - 1];
    // The ratios are +inf at every tau without a positive pre-period RMSPE.
    const bool stat_infinite = statistic != Statistic::AbsAtt && !(pre_rmspe > 0.0);
    if (stat_infinite && !(c == kInf)) {
      out = {kNaN, kNaN};
    } else if (!(c == kInf) && !stat_infinite) {
      const double h = half_width(statistic, att_path, att, pre_rmspe, c);
      out = h < 0.0 ? TestInterval{kNaN, kNaN} : TestInterval{att - h, att + h};
    }
  }
  // Tau = 0 follows the p-value itself, also where rounding of the ends
  // would put 0 on the other side.
  const bool keep_zero = p_value > 1.0 - level;
  const bool has_zero = out.lower <= 0.0 && 0.0 <= out.upper;
  if (keep_zero && !has_zero) {
    if (std::isnan(out.lower)) {
      out = {0.0, 0.0};
    } else if (out.lower > 0.0) {
      out.lower = 0.0;
    } else {
      out.upper = 0.0;
    }
  } else if (!keep_zero && has_zero) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    if (out.upper - 0.0 <= 0.0 - out.lower) {
      out.upper = -tiny;
    } else {
      out.lower = tiny;
    }
    if (out.lower > out.upper) out = {kNaN, kNaN};
  }
  return out;
}

}  // namespace quintara::inference
