#include "core/geo/curve.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <limits>
#include <vector>

#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

namespace {

void sort_total(std::vector<double>& v) {
  std::sort(v.begin(), v.end(),
            [](double a, double b) { return std::is_lt(std::strong_order(a, b)); });
}

}  // namespace

TreatedBaseline treated_baseline(const linalg::Mat& y, std::span<const std::size_t> treated) {
  TreatedBaseline b;
  for (const std::size_t i : treated) {
    b.sum += linalg::mean_div(y.cols, [&](std::size_t j) { return y(i, j); });
  }
  b.level = b.sum / static_cast<double>(std::max<std::size_t>(1, treated.size()));
  return b;
}

double interpolated_quantile(std::span<const double> sorted, double q) {
  const std::size_t n = sorted.size();
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  const double h = std::fmin(std::fmax(q, 0.0), 1.0) * static_cast<double>(n - 1);
  const auto lo = static_cast<std::size_t>(std::floor(h));
  const auto hi = static_cast<std::size_t>(std::ceil(h));
  const double f = h - static_cast<double>(lo);
  // No shortcut when lo == hi: the same two-term form everywhere.
  return (1.0 - f) * sorted[lo] + f * sorted[hi];
}

double critical_value(std::span<const double> atts, double alpha, Alternative alternative) {
  if (alternative != Alternative::TwoSided) {
    std::vector<double> signed_atts(atts.begin(), atts.end());
    sort_total(signed_atts);
    return interpolated_quantile(signed_atts,
                                 alternative == Alternative::Greater ? 1.0 - alpha : alpha);
  }
  std::vector<double> abs(atts.size());
  std::transform(atts.begin(), atts.end(), abs.begin(), [](double a) { return std::fabs(a); });
  sort_total(abs);
  return interpolated_quantile(abs, 1.0 - alpha);
}

bool detects(double att, double crit, Alternative alternative) {
  switch (alternative) {
    case Alternative::Greater: return att > crit;
    case Alternative::Less: return att < crit;
    case Alternative::TwoSided: break;
  }
  return std::fabs(att) > crit;
}

double sample_variance(std::span<const double> atts) {
  const std::size_t n = atts.size();
  if (n < 2) return 0.0;
  const double mean = linalg::mean_div(atts);
  double ss = 0.0;
  for (const double a : atts) {
    const double d = a - mean;
    ss += d * d;
  }
  return ss / static_cast<double>(n - 1);
}

double null_se(std::span<const double> atts) { return std::sqrt(sample_variance(atts)); }

PowerPoint curve_point(double lift, std::span<const double> atts, double crit, double level,
                       double alpha, Alternative alternative) {
  const std::size_t n = atts.size();
  QUINTARA_ASSERT(n > 0, "curve_point needs at least one window");
  std::size_t detections = 0;
  for (const double a : atts) {
    if (detects(a, crit, alternative)) ++detections;
  }
  std::vector<double> est(n, std::numeric_limits<double>::quiet_NaN());
  if (!(std::fabs(level) <= kLevelFloor)) {
    for (std::size_t w = 0; w < n; ++w) est[w] = atts[w] / level;
  }
  PowerPoint p;
  p.lift = lift;
  p.power = static_cast<double>(detections) / static_cast<double>(n);
  p.est_mean = linalg::mean_div(est);
  sort_total(est);
  p.est_lo = interpolated_quantile(est, alpha / 2.0);
  p.est_hi = interpolated_quantile(est, 1.0 - alpha / 2.0);
  return p;
}

std::optional<Mde> minimal_detectable_effect(std::span<const PowerPoint> points,
                                             double target_power, const TreatedBaseline& baseline,
                                             std::size_t test_len) {
  if (points.empty()) return std::nullopt;
  double pct = 0.0;
  if (points[0].power >= target_power) {
    pct = points[0].lift;
  } else {
    std::size_t k = 1;
    while (k < points.size() && !(points[k].power >= target_power)) ++k;
    if (k == points.size()) return std::nullopt;
    const PowerPoint& a = points[k - 1];
    const PowerPoint& b = points[k];
    pct = a.power < b.power
              ? a.lift + (b.lift - a.lift) * (target_power - a.power) / (b.power - a.power)
              : b.lift;
  }
  return Mde{pct, baseline.level * pct, static_cast<double>(test_len) * baseline.sum * pct};
}

void set_mde(PowerResult& result, const std::optional<Mde>& mde) {
  if (mde) {
    result.mde_pct = mde->pct;
    result.mde_abs_per_period = mde->abs_per_period;
    result.mde_cumulative = mde->cumulative;
  } else {
    result.mde_pct.reset();
    result.mde_abs_per_period.reset();
    result.mde_cumulative.reset();
  }
}

PowerResult curve_from_atts(estimators::sc::Method method, std::span<const double> null_atts,
                            std::span<const double> lifts,
                            const std::function<std::vector<double>(double)>& atts_at,
                            const TreatedBaseline& baseline, std::size_t test_len, double alpha,
                            double target_power, Alternative alternative) {
  PowerResult r;
  r.method = method;
  r.n_windows = null_atts.size();
  r.crit = critical_value(null_atts, alpha, alternative);
  r.se_null = null_se(null_atts);
  r.points.reserve(lifts.size());
  for (const double lift : lifts) {
    if (lift == 0.0) {
      r.points.push_back(curve_point(lift, null_atts, r.crit, baseline.level, alpha, alternative));
    } else {
      const std::vector<double> atts = atts_at(lift);
      r.points.push_back(curve_point(lift, atts, r.crit, baseline.level, alpha, alternative));
    }
  }
  set_mde(r, minimal_detectable_effect(r.points, target_power, baseline, test_len));
  return r;
}

}  // namespace quintara::geo
