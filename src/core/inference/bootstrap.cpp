#include "core/inference/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <compare>

#include "core/inference/multiplier_sup.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/rng.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

using linalg::Xoshiro256pp;

namespace {

BootstrapResult empty_series_result(double level) {
  const double zero[1] = {0.0};
  return {percentile_ci(zero, 0.0, level), {}};
}

}  // namespace

BootstrapResult block_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                     std::size_t n_reps, std::uint64_t seed, double level) {
  const std::size_t n = series.size();
  if (n == 0) return empty_series_result(level);
  const std::size_t b = block_len == 0 ? 1 : std::min(block_len, n);
  std::vector<double> reps = parallel::par_map(n_reps, [&](std::size_t r) {
    Xoshiro256pp rng = Xoshiro256pp::substream(seed, r);
    std::size_t count = 0;
    double total = 0.0;
    while (count < n) {
      const auto u = static_cast<std::size_t>(rng.gen_range(n));
      const std::size_t take = std::min(b, n - count);
      // u + k < 2n, so one subtraction is the wrap (no division per value).
      for (std::size_t k = 0; k < take; ++k) {
        const std::size_t at = u + k;
        total += series[at < n ? at : at - n];
      }
      count += b;
    }
    return total / static_cast<double>(n);
  });
  Interval interval = percentile_ci(reps, linalg::mean_div(series), level);
  return {interval, std::move(reps)};
}

BootstrapResult stationary_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                          std::size_t n_reps, std::uint64_t seed, double level) {
  const std::size_t n = series.size();
  if (n == 0) return empty_series_result(level);
  const double p = 1.0 / static_cast<double>(std::max<std::size_t>(block_len, 1));
  std::vector<double> reps = parallel::par_map(n_reps, [&](std::size_t r) {
    Xoshiro256pp rng = Xoshiro256pp::substream(seed, r);
    auto i = static_cast<std::size_t>(rng.gen_range(n));
    double total = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
      total += series[i];
      // A float is drawn after every value, the last included: the draw
      // count per replicate is fixed by n, not by where blocks restart.
      const double u = rng.next_f64();
      if (p > u) {
        i = static_cast<std::size_t>(rng.gen_range(n));
      } else {
        i = i + 1 < n ? i + 1 : 0;
      }
    }
    return total / static_cast<double>(n);
  });
  Interval interval = percentile_ci(reps, linalg::mean_div(series), level);
  return {interval, std::move(reps)};
}

EventBands multiplier_event_bands(std::span<const std::vector<double>> ifs,
                                  std::span<const double> coef, std::span<const double> se,
                                  std::size_t n_reps, std::uint64_t seed, double level,
                                  std::span<const std::size_t> cluster, std::size_t n_clusters) {
  const std::size_t K = ifs.size();
  QUINTARA_ASSERT_EQ(coef.size(), K, "multiplier_event_bands: coef length != number of ifs");
  QUINTARA_ASSERT_EQ(se.size(), K, "multiplier_event_bands: se length != number of ifs");
  EventBands out;
  if (K == 0) return out;

  std::size_t m = 0;
  for (const auto& v : ifs) m = std::max(m, v.size());
  if (m == 0) {
    for (std::size_t k = 0; k < K; ++k) out.bands.emplace_back(coef[k], coef[k]);
    return out;
  }

  std::vector<double> stats = multiplier_sup_t(ifs, se, n_reps, seed, cluster, n_clusters);
  // IEEE totalOrder (-0 before +0, NaNs at the ends by sign): values equal
  // under it have equal bits, so the unstable sort is still deterministic.
  std::sort(stats.begin(), stats.end(),
            [](double a, double b) { return std::is_lt(std::strong_order(a, b)); });
  out.crit = quantile_sorted(stats, level);
  for (std::size_t k = 0; k < K; ++k) {
    out.bands.emplace_back(coef[k] - out.crit * se[k], coef[k] + out.crit * se[k]);
  }
  return out;
}

}  // namespace quintara::inference
