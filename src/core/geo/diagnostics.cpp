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

}  // namespace

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

namespace {

// Sample standard deviation (divisor n - 1) around a given mean; n >= 2.
double sample_sd(std::span<const double> v, double mean) {
  double ss = 0.0;
  for (const double x : v) ss += (x - mean) * (x - mean);
  return std::sqrt(ss / static_cast<double>(v.size() - 1));
}

// The autocorrelations r[lag] of the period-to-period changes d, lags 1 ..
// max_lag (r[0] unused), with the full sum of squares as the denominator, so
// long lags are shrunk towards 0; all 0 when d is constant.
std::vector<double> change_acf(std::span<const double> d, double d_mean, std::size_t max_lag) {
  std::vector<double> r(max_lag + 1, 0.0);
  double denom = 0.0;
  for (const double x : d) denom += (x - d_mean) * (x - d_mean);
  if (!(denom > 0.0)) return r;
  for (std::size_t lag = 1; lag <= max_lag; ++lag) {
    double num = 0.0;
    for (std::size_t k = 0; k + lag < d.size(); ++k) num += (d[k] - d_mean) * (d[k + lag] - d_mean);
    r[lag] = num / denom;
  }
  return r;
}

// The strongest autocorrelation over lags first .. last, at least 0.
double strongest(std::span<const double> r, std::size_t first, std::size_t last) {
  double best = 0.0;
  for (std::size_t lag = first; lag <= last; ++lag) best = std::max(best, r[lag]);
  return clamp01(best);
}

// A lag is the cycle rather than a multiple of it when its autocorrelation
// is at least this share of the multiple's: a weekly pattern in daily data
// correlates at 7, 14, 21, ... about equally, and noise decides which wins.
constexpr double kFundamentalShare = 0.5;
// The autocorrelation (or anticorrelation) a cycle needs to be reported.
constexpr double kSeasonal = 0.3;

struct Cycle {
  std::size_t length = 0;  // 0: none found
  bool repeats = true;     // false: only half a cycle fits in the lags searched
};

// The repeating cycle over lags 2 .. last (r must hold last + 1). Only lags
// after the changes first anticorrelate count: a smooth series correlates
// most at the shortest lags without repeating. There the strongest local
// peak reaching kSeasonal is the cycle, taken down to its shortest divisor
// holding kFundamentalShare of its autocorrelation. Without one, a trough
// at h below -kSeasonal whose cycle 2h lies beyond the lags is a cycle too
// long to repeat in the history. Peaks and troughs are located on the
// autocorrelations per pair of changes (r[lag] m / (m - lag) for m changes),
// which the shrinking of long lags would otherwise pull to shorter lags.
//
// A peak at p is a cycle only where the lags inside it anticorrelate as a
// cycle's do: a periodic series' change autocorrelations sum to 0 over a
// whole cycle, so lags 1 .. p - 1 sum to about minus the peak. A smooth
// series under noise fails this: differencing the noise puts only half its
// share, negative, at lag 1, and the smooth part correlates positively at
// the next lags, which would otherwise read as a 2- or 3-period cycle.
Cycle cycle_of(std::span<const double> biased, std::size_t m, std::size_t last) {
  std::vector<double> r(biased.begin(), biased.end());
  for (std::size_t lag = 1; lag < r.size(); ++lag) {
    r[lag] *= static_cast<double>(m) / static_cast<double>(m - lag);
  }
  // below[p]: the sum of r over lags 1 .. p - 1.
  std::vector<double> below(r.size(), 0.0);
  for (std::size_t lag = 2; lag < r.size(); ++lag) below[lag] = below[lag - 1] + r[lag - 1];
  const auto anticorrelates = [&](std::size_t p) { return below[p] <= -kFundamentalShare * r[p]; };
  std::size_t start = 1;
  while (start <= last && !(r[start] < 0.0)) ++start;
  start = std::max<std::size_t>(start, 2);
  std::size_t best = 0, trough = 0;
  for (std::size_t lag = start; lag <= last; ++lag) {
    if (r[lag] > r[lag - 1] && r[lag] >= r[lag + 1] && biased[lag] > kSeasonal &&
        anticorrelates(lag) && (best == 0 || r[lag] > r[best])) {
      best = lag;
    }
    if (r[lag] < r[lag - 1] && r[lag] <= r[lag + 1] && biased[lag] < -kSeasonal &&
        (trough == 0 || r[lag] < r[trough])) {
      trough = lag;
    }
  }
  if (best > 0) {
    for (std::size_t p = start; p < best; ++p) {
      if (best % p == 0 && biased[p] >= kFundamentalShare * biased[best] && anticorrelates(p)) {
        return {p, true};
      }
    }
    return {best, true};
  }
  if (trough > 0 && 2 * trough > last) return {2 * trough, false};
  return {};
}

// The holdout term of the confidence score: full inside [3 %, 35 %], falling
// linearly to 0 at no holdout and at 70 %.
double holdout_term(double h) {
  if (h < 0.03) return clamp01(h / 0.03);
  if (h > 0.35) return clamp01(1.0 - (h - 0.35) / 0.35);
  return 1.0;
}

// The analyst's warnings, in a fixed order, from the scores already in
// `out`.
void add_warnings(Diagnostics& out, const Cycle& cycle, double rel_vol, std::size_t n_pre,
                  std::size_t test_len, std::size_t n_donors) {
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
  if (cycle.length > 0 && cycle.repeats) {
    w.push_back(
        format("Seasonality detected (≈{}-period cycle); ensure the test window spans "
               "comparable seasonal conditions.",
               cycle.length));
  } else if (cycle.length > 0 &&
             static_cast<double>(n_pre) < 2.0 * static_cast<double>(cycle.length)) {
    const double cycles = static_cast<double>(n_pre) / static_cast<double>(cycle.length);
    w.push_back(
        format("Strong seasonality (≈{}-period cycle) but the pre-window covers only {:.1} "
               "cycles; use ≥2 full cycles of history.",
               cycle.length, cycles));
  } else if (out.seasonality_strength > kSeasonal) {
    w.push_back(
        "Period-to-period changes are strongly autocorrelated without a repeating cycle (a "
        "smooth trend or a cycle longer than the history); ensure the test window spans "
        "comparable conditions.");
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
  if (n_donors < 5) {
    w.push_back(
        format("Only {} donor markets; synthetic control needs a richer donor pool for a stable "
               "counterfactual.",
               n_donors));
  }
  if (n_pre < 2 * test_len) {
    w.push_back(format(
        "Short pre-period ({} periods) relative to the {}-period test; more history improves "
        "the fit.",
        n_pre, test_len));
  }
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
  const estimators::Panel panel = estimators::Panel::block(y, treated, n_pre);
  const double pre_rmspe =
      estimators::sc::synthetic::fit_at(panel, n_pre, estimators::sc::ScOptions{}).pre_rmspe;
  return diagnostics_from({a, b, holdout_share(y, treated), donors.size(), pre_rmspe, test_len});
}

Diagnostics diagnostics_from(const DiagnosticInputs& in) {
  const std::span<const double> a = in.treated_avg, b = in.donor_avg;
  const std::size_t test_len = in.test_len;
  const std::size_t n_pre = a.size() - test_len;
  const std::span<const double> a_pre = a.first(n_pre);
  const std::span<const double> b_pre = b.first(n_pre);
  const double pre_rmspe = in.pre_rmspe;

  Diagnostics out;
  out.holdout_pct = in.holdout_pct;

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

  // Lags up to half the changes, so that a cycle found repeats at least twice.
  const std::size_t last = std::min(m / 2, kMaxLag);
  std::vector<double> r;
  Cycle cycle;
  if (n_pre >= kMinSeasonalPre) {
    r = change_acf(d, d_mean, std::min(last + 1, m - 1));
    out.seasonality_strength = strongest(r, 2, last);
    cycle = cycle_of(r, m, std::min(last, r.size() - 2));
  }

  const double d_sd = m >= 2 ? sample_sd(d, d_mean) : 0.0;
  const double rel_vol = d_sd / std::max(std::fabs(a_mean), kFloor);
  out.stability_score = clamp01(1.0 / (1.0 + 8.0 * rel_vol));

  add_warnings(out, cycle, rel_vol, n_pre, test_len, in.n_donors);

  const double fit_term = clamp01(1.0 - out.pre_fit_rel);
  const double score = 0.15 * holdout_term(out.holdout_pct) + 0.25 * out.stability_score +
                       0.4 * fit_term + 0.2 * out.improvement_vs_naive;
  out.confidence = 100.0 * clamp01(score);
  return out;
}

}  // namespace quintara::geo
