#include "core/geo/ensemble.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/geo/curve.hpp"
#include "core/geo/power.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

namespace {

double sum_of(std::span<const double> values) {
  double s = 0.0;
  for (const double v : values) s += v;
  return s;
}

// The weighted sum of each window's member ATTs, members in order.
std::vector<double> blend(const std::vector<std::vector<double>>& member_atts,
                          std::span<const double> weights) {
  const std::size_t n_windows = member_atts.front().size();
  std::vector<double> out(n_windows);
  for (std::size_t w = 0; w < n_windows; ++w) {
    double s = 0.0;
    for (std::size_t m = 0; m < weights.size(); ++m) s += weights[m] * member_atts[m][w];
    out[w] = s;
  }
  return out;
}

}  // namespace

std::vector<double> normalize_weights(std::span<const double> weights) {
  std::vector<double> w(weights.begin(), weights.end());
  for (double& x : w) {
    if (x < 0.0) x = 0.0;
  }
  double sum = sum_of(w);
  if (!(sum > 0.0)) {
    std::fill(w.begin(), w.end(), 1.0 / static_cast<double>(w.size()));
    return w;
  }
  if (std::isinf(sum)) {
    // Every entry is at most the largest double, so a factor of two per
    // doubling of the count, and one more for the rounding of the partial
    // sums, brings the sum back into range.
    const double scale = std::ldexp(1.0, -static_cast<int>(std::bit_width(w.size())) - 1);
    for (double& x : w) x = x * scale;
    sum = sum_of(w);
  }
  for (double& x : w) x = x / sum;
  return w;
}

std::vector<double> inverse_variance_weights(std::span<const std::vector<double>> member_atts) {
  const std::size_t n = member_atts.size();
  std::vector<double> variance(n);
  for (std::size_t m = 0; m < n; ++m) variance[m] = sample_variance(member_atts[m]);
  const double eps = linalg::mean_div(variance) * 1e-6 + std::numeric_limits<double>::min();
  std::vector<double> raw(n);
  for (std::size_t m = 0; m < n; ++m) raw[m] = 1.0 / (variance[m] + eps);
  // With every variance 0 each raw weight is 1 / DBL_MIN = 2^1022 exactly and
  // their sum overflows from four members on; normalize_weights' power-of-two
  // rescaling keeps the ratios, so the weights still come out as 1 / n.
  return normalize_weights(raw);
}

EnsemblePower power_curve_ensemble(const linalg::Mat& y, std::span<const std::size_t> treated,
                                   std::size_t test_len, std::size_t min_pre,
                                   std::span<const double> lifts,
                                   std::span<const estimators::sc::Method> members,
                                   std::optional<std::span<const double>> weights, double alpha,
                                   double target_power, std::optional<std::size_t> lookback,
                                   double min_weight, double max_weight, Alternative alternative) {
  const std::size_t n_periods = y.cols;
  if (test_len < 1 || test_len >= n_periods) panic("test_len out of range");
  if (n_periods - test_len < std::max<std::size_t>(min_pre, 1)) {
    panic("not enough periods for the requested pre-window + test_len");
  }
  if (members.empty()) panic("ensemble needs at least one member");
  if (weights && weights->size() != members.size()) panic("one ensemble weight per member");

  const std::vector<std::size_t> windows = window_set(n_periods, test_len, min_pre, lookback);
  const PreparedWindows prepared =
      prepare_windows(y, treated, windows, test_len, members, min_weight, max_weight);
  const std::vector<std::vector<double>> null_members = assembled_atts(prepared, y, treated, 0.0);

  EnsemblePower out;
  out.weights = weights ? normalize_weights(*weights) : inverse_variance_weights(null_members);
  const std::vector<double> null_atts = blend(null_members, out.weights);
  out.curve = curve_from_atts(
      estimators::sc::Method::Ensemble, null_atts, lifts,
      [&](double lift) { return blend(assembled_atts(prepared, y, treated, lift), out.weights); },
      treated_baseline(y, treated), test_len, alpha, target_power, alternative);
  return out;
}

}  // namespace quintara::geo
