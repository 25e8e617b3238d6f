#include "core/inference/inversion.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>
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
  return !rejects(static_cast<double>(count + 1) / static_cast<double>(m + 1), level);
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

// Tau = 0 follows the p-value itself, also where rounding of the ends
// would put 0 on the other side.
TestInterval follow_p_value(TestInterval out, double p_value, double level) {
  const bool keep_zero = !rejects(p_value, level);
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

std::size_t least_accepted_count(std::size_t m, double level) {
  if (m == 0) panic("test inversion needs at least one placebo statistic");
  std::size_t K = 0;
  while (!accepts(K, m, level)) ++K;  // K <= m: a count of m gives p = 1
  return K;
}

TestInterval invert_placebo_test(Statistic statistic, std::span<const double> att_path, double att,
                                 double pre_rmspe, std::span<const double> placebo_stats,
                                 double p_value, double level) {
  const std::size_t K = least_accepted_count(placebo_stats.size(), level);
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
  return follow_p_value(out, p_value, level);
}

namespace {

double mean(std::span<const double> v) {
  double s = 0.0;
  for (const double x : v) s += x;
  return s / static_cast<double>(std::max<std::size_t>(v.size(), 1));
}

double mean_product(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s / static_cast<double>(std::max<std::size_t>(a.size(), 1));
}

// Closed intervals (ends may be infinite) where A t^2 + B t + C >= 0.
void nonnegative_set(double A, double B, double C, std::vector<std::pair<double, double>>& out) {
  if (A == 0.0) {
    if (B > 0.0) out.emplace_back(-C / B, kInf);
    if (B < 0.0) out.emplace_back(-kInf, -C / B);
    if (B == 0.0 && C >= 0.0) out.emplace_back(-kInf, kInf);
    return;
  }
  const double disc = B * B - 4.0 * A * C;
  if (!(disc >= 0.0)) {
    if (A > 0.0) out.emplace_back(-kInf, kInf);
    return;
  }
  // The roots without cancellation.
  const double q = -0.5 * (B + std::copysign(std::sqrt(disc), B));
  double r1 = q / A, r2 = q != 0.0 ? C / q : r1;
  if (r1 > r2) std::swap(r1, r2);
  if (A > 0.0) {
    out.emplace_back(-kInf, r1);
    out.emplace_back(r2, kInf);
  } else {
    out.emplace_back(r1, r2);
  }
}

}  // namespace

TestInterval invert_moving_test(Statistic statistic, std::span<const double> att_path, double att,
                                double pre_rmspe, std::span<const MovingPlacebo> placebos,
                                double p_value, double level) {
  const std::size_t K = least_accepted_count(placebos.size(), level);
  // Where each placebo is at least as extreme as the real fit: s_j(tau) >=
  // s_0(tau), compared as squares over squared pre-period RMSPEs.
  std::vector<std::pair<double, double>> sets;
  const double p0 = pre_rmspe;
  for (const MovingPlacebo& j : placebos) {
    const double pj = j.pre_rmspe;
    if (!(p0 > 0.0) || !(pj > 0.0)) {
      // An infinite statistic: a placebo's beats any finite real one, and
      // an infinite real one is matched only by another.
      if (!(pj > 0.0)) sets.emplace_back(-kInf, kInf);
      continue;
    }
    const double wj = 1.0 / (pj * pj), w0 = 1.0 / (p0 * p0);
    double A = 0.0, B = 0.0, C = 0.0;
    if (statistic == Statistic::RmspeRatio) {
      A = mean_product(j.slope, j.slope) * wj - w0;
      B = 2.0 * mean_product(j.gap, j.slope) * wj + 2.0 * mean(att_path) * w0;
      C = mean_product(j.gap, j.gap) * wj - mean_product(att_path, att_path) * w0;
    } else {
      A = j.att_slope * j.att_slope * wj - w0;
      B = 2.0 * j.att * j.att_slope * wj + 2.0 * att * w0;
      C = j.att * j.att * wj - att * att * w0;
    }
    nonnegative_set(A, B, C, sets);
  }
  // Sweep: starts before ends at one position, as the sets are closed.
  std::vector<std::pair<double, int>> events;
  for (const auto& [a, b] : sets) {
    events.emplace_back(a, -1);
    events.emplace_back(b, 1);
  }
  std::sort(events.begin(), events.end());
  TestInterval out{kNaN, kNaN};
  std::size_t count = 0;
  for (const auto& [x, kind] : events) {
    if (kind < 0) {
      if (++count >= K && std::isnan(out.lower)) out.lower = x;
    } else {
      if (count >= K) out.upper = x;
      --count;
    }
  }
  if (K == 0) out = {-kInf, kInf};
  return follow_p_value(out, p_value, level);
}

namespace {

// One end of the accepted set seen from an accepted `start`: steps doubling
// from `step0` until `max_misses` + 1 probes in a row reject (an accepted
// probe past a rejected one extends the end), then bisection between the last
// accepted probe and the rejected one after it, to a relative 1e-6. Infinite
// when the probes run off with the last one accepted.
double accepted_end(const std::function<bool(double)>& accepts_at, double start, double step0,
                    double direction, int max_misses) {
  double in = start, out = kNaN, h = step0;
  int doublings = 0, misses = 0;
  for (;;) {
    const double x = start + direction * h;
    if (accepts_at(x)) {
      in = x;
      out = kNaN;
      misses = 0;
    } else {
      if (std::isnan(out)) out = x;
      if (++misses > max_misses) break;
    }
    h *= 2.0;
    if (++doublings > 60 || !std::isfinite(start + direction * h)) {
      if (misses == 0) return direction * kInf;
      break;
    }
  }
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (in + out);
    if (std::fabs(out - in) <= 1e-6 * std::max({std::fabs(in), std::fabs(out), step0})) break;
    (accepts_at(mid) ? in : out) = mid;
  }
  return in;
}

}  // namespace

TestInterval invert_by_search(const std::function<bool(double)>& accepts_at,
                              std::span<const double> starts, double scale, int max_misses,
                              double p_value, double level) {
  std::vector<double> accepted;
  for (const double s : starts) {
    if (accepts_at(s)) accepted.push_back(s);
  }
  if (accepted.empty()) return follow_p_value({kNaN, kNaN}, p_value, level);
  const double step0 = scale > 0.0 && std::isfinite(scale) ? scale : 1.0;
  TestInterval out{kInf, -kInf};
  for (const double direction : {-1.0, 1.0}) {
    for (const double s : accepted) {
      const double e = accepted_end(accepts_at, s, step0, direction, max_misses);
      if (direction < 0) out.lower = std::min(out.lower, e);
      if (direction > 0) out.upper = std::max(out.upper, e);
    }
  }
  return follow_p_value(out, p_value, level);
}

TestInterval invert_by_bisection(const std::function<bool(double)>& accepts_at, double att,
                                 double scale, double p_value, double level) {
  const double start[] = {att};
  return invert_by_search(accepts_at, start, scale, 0, p_value, level);
}

}  // namespace quintara::inference
