#include "core/geo/diagnostics.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/estimators/panel.hpp"
#include "core/estimators/sc/synthetic.hpp"
#include "core/format.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

namespace {

// Keeps every ratio finite when its denominator is zero or vanishing.
constexpr double kFloor = 1e-12;
// Seasonal lags are looked for up to this many periods.
constexpr std::size_t kMaxLag = 60;
// Seasonality and the period-to-period changes below this many pre-periods
// are too short to say anything.
constexpr std::size_t kMinSeasonalPre = 6;

double clamp01(double x) { return std::clamp(x, 0.0, 1.0); }

// Every unit not in `treated`, ascending.
std::vector<std::size_t> donors_of(std::size_t n_units, std::span<const std::size_t> treated) {
  std::vector<bool> is_treated(n_units, false);
  for (const std::size_t i : treated) is_treated[i] = true;
  std::vector<std::size_t> donors;
  for (std::size_t i = 0; i < n_units; ++i) {
    if (!is_treated[i]) donors.push_back(i);
  }
  return donors;
}

// Treated volume over total volume; 0 when the total is not positive.
double holdout_share(const linalg::Mat& y, std::span<const std::size_t> treated) {
  double treated_sum = 0.0;
  for (const std::size_t i : treated) {
    for (std::size_t t = 0; t < y.cols; ++t) treated_sum += y(i, t);
  }
  double total = 0.0;
  for (std::size_t i = 0; i < y.rows; ++i) {
    for (std::size_t t = 0; t < y.cols; ++t) total += y(i, t);
  }
  return total > 0.0 ? treated_sum / total : 0.0;
}

// Sample standard deviation (divisor n - 1) around a given mean; n >= 2.
double sample_sd(std::span<const double> v, double mean) {
  double ss = 0.0;
  for (const double x : v) ss += (x - mean) * (x - mean);
  return std::sqrt(ss / static_cast<double>(v.size() - 1));
}

struct Seasonality {
  double strength = 0.0;
  std::size_t cycle = 0;
};

// The strongest autocorrelation of the changes d over lags 2 .. min(m/2, 60);
// a later lag wins only when strictly stronger, so ties keep the shorter one.
Seasonality seasonality(std::span<const double> d, double d_mean) {
  const std::size_t m = d.size();
  double denom = 0.0;
  for (const double x : d) denom += (x - d_mean) * (x - d_mean);
  Seasonality s;
  if (!(denom > 0.0)) return s;
  const std::size_t max_lag = std::min(m / 2, kMaxLag);
  for (std::size_t lag = 2; lag <= max_lag; ++lag) {
    double num = 0.0;
    for (std::size_t k = 0; k + lag < m; ++k) num += (d[k] - d_mean) * (d[k + lag] - d_mean);
    const double r = num / denom;
    if (r > s.strength) {
      s.strength = r;
      s.cycle = lag;
    }
  }
  s.strength = clamp01(s.strength);
  return s;
}

// The holdout term of the confidence score: full inside [3 %, 35 %], falling
// linearly to 0 at no holdout and at 70 %.
double holdout_term(double h) {
  if (h < 0.03) return clamp01(h / 0.03);
  if (h > 0.35) return clamp01(1.0 - (h - 0.35) / 0.35);
  return 1.0;
}

}  // namespace

std::vector<double> unit_avg(const linalg::Mat& y, std::span<const std::size_t> units) {
  std::vector<double> avg(y.cols, 0.0);
  if (units.empty()) return avg;
  const double inv = 1.0 / static_cast<double>(units.size());
  for (std::size_t t = 0; t < y.cols; ++t) {
    double s = 0.0;
    for (const std::size_t i : units) s += y(i, t);
    avg[t] = s * inv;
  }
  return avg;
}

Diagnostics diagnostics(const linalg::Mat& y, std::span<const std::size_t> treated,
                        std::size_t test_len) {
  const std::size_t T = y.cols;
  if (test_len < 1 || test_len >= T) {
    panic(format("test_len must be in [1, n_periods); got {} with {} periods", test_len, T));
  }
  const std::size_t n_pre = T - test_len;
  const std::vector<std::size_t> donors = donors_of(y.rows, treated);
  const std::vector<double> a = unit_avg(y, treated);
  const std::vector<double> b = unit_avg(y, donors);
  const std::span<const double> a_pre(a.data(), n_pre);
  const std::span<const double> b_pre(b.data(), n_pre);

  Diagnostics out;
  out.holdout_pct = holdout_share(y, treated);

  const estimators::Panel panel = estimators::Panel::block(y, treated, n_pre);
  const double pre_rmspe =
      estimators::sc::synthetic::fit_at(panel, n_pre, estimators::sc::ScOptions{}).pre_rmspe;

  const double a_mean = linalg::mean_div(a_pre);
  const double a_sd = n_pre < 2 ? kFloor : std::max(sample_sd(a_pre, a_mean), kFloor);
  out.pre_fit_rel = pre_rmspe / a_sd;

  // The naive predictor: the donor average shifted onto the treated level.
  const double shift = a_mean - linalg::mean_div(b_pre);
  const double naive_mse = linalg::mean_div(n_pre, [&](std::size_t t) {
    const double e = a[t] - (b[t] + shift);
    return e * e;
  });
  const double naive_rmspe = std::max(std::sqrt(naive_mse), kFloor);
  out.improvement_vs_naive = clamp01(1.0 - pre_rmspe / naive_rmspe);

  // Period-to-period changes of the treated average over the pre-period.
  std::vector<double> d;
  for (std::size_t k = 0; k + 1 < n_pre; ++k) d.push_back(a[k + 1] - a[k]);
  const std::size_t m = d.size();
  const double d_mean = m == 0 ? 0.0 : linalg::mean_div(d);

  const Seasonality season = n_pre >= kMinSeasonalPre ? seasonality(d, d_mean) : Seasonality{};
  out.seasonality_strength = season.strength;

  const double d_sd = m >= 2 ? sample_sd(d, d_mean) : 0.0;
  const double rel_vol = d_sd / std::max(std::fabs(a_mean), kFloor);
  out.stability_score = clamp01(1.0 / (1.0 + 8.0 * rel_vol));

  std::vector<std::string>& w = out.warnings;
  if (out.pre_fit_rel > 0.5) {
    w.push_back(format(
        "Weak pre-period fit (relative RMSPE {:.2}); the synthetic control tracks the treated "
        "markets poorly — treat results with caution.",
        out.pre_fit_rel));
  }
  if (rel_vol > 0.25) {
    w.push_back(
        format("Treated markets are volatile pre-period (period-to-period swings ≈{:.0}% of "
               "level); power may be unstable.",
               100.0 * rel_vol));
  }
  if (out.seasonality_strength > 0.3) {
    const double cycles =
        season.cycle == 0 ? 0.0 : static_cast<double>(n_pre) / static_cast<double>(season.cycle);
    if (cycles < 2.0) {
      w.push_back(
          format("Strong seasonality (≈{}-period cycle) but the pre-window covers only {:.1} "
                 "cycles; use ≥2 full cycles of history.",
                 season.cycle, cycles));
    } else {
      w.push_back(
          format("Seasonality detected (≈{}-period cycle); ensure the test window spans "
                 "comparable seasonal conditions.",
                 season.cycle));
    }
  }
  if (out.holdout_pct < 0.02) {
    w.push_back(
        format("Treated markets are only {:.1}% of volume — likely too small to detect realistic "
               "lifts.",
               100.0 * out.holdout_pct));
  }
  if (out.holdout_pct > 0.45) {
    w.push_back(
        format("Treated markets are {:.0}% of volume — a large holdout leaves a thin, possibly "
               "poor-matching donor pool.",
               100.0 * out.holdout_pct));
  }
  if (donors.size() < 5) {
    w.push_back(
        format("Only {} donor markets; synthetic control needs a richer donor pool for a stable "
               "counterfactual.",
               donors.size()));
  }
  if (n_pre < 2 * test_len) {
    w.push_back(format(
        "Short pre-period ({} periods) relative to the {}-period test; more history improves "
        "the fit.",
        n_pre, test_len));
  }

  const double fit_term = clamp01(1.0 - out.pre_fit_rel);
  const double score = 0.15 * holdout_term(out.holdout_pct) + 0.25 * out.stability_score +
                       0.4 * fit_term + 0.2 * out.improvement_vs_naive;
  out.confidence = 100.0 * clamp01(score);
  return out;
}

}  // namespace quintara::geo
