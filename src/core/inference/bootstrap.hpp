// Resampling of a mean and simultaneous event-study bands.
//
// The moving-block and stationary (Politis-Romano) bootstraps of the mean of
// one series, and the multiplier bootstrap that turns per-event-time influence
// functions into sup-t bands. Replicate r of a call with seed s draws only from
// Xoshiro256pp::substream(s, r), and replicates run on the worker pool (the
// multiplier ones in blocks, multiplier_sup.hpp), so every result depends on
// the inputs and the seed alone, never on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/inference/intervals.hpp"

namespace quintara::inference {

struct BootstrapResult {
  Interval interval;               // percentile_ci of the replicates around the sample mean
  std::vector<double> replicates;  // one statistic per replicate, in replicate order
};

struct EventBands {
  std::vector<std::pair<double, double>> bands;  // (lower, upper) per event time, input order
  double crit = 0.0;                             // sup-t critical value in SE units
};

// Blocks of min(block_len, n) consecutive values (block_len 0 means 1) that
// wrap around the end of the series; the last block is cut so each replicate
// averages exactly n values. An empty series gives the interval of [0.0].
BootstrapResult block_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                     std::size_t n_reps, std::uint64_t seed, double level);

// Geometric blocks with mean length max(block_len, 1) (not capped by n).
BootstrapResult stationary_bootstrap_mean(std::span<const double> series, std::size_t block_len,
                                          std::size_t n_reps, std::uint64_t seed, double level);

// ifs[k] holds the per-unit influence values of event time k's coefficient.
// The three inputs must have equal lengths (invariant). An event time with an
// empty influence vector or a standard error that is not positive stays out
// of the supremum but still gets a band. n_reps == 0 gives a NaN crit.
//
// Each replicate draws one multiplier per unit, or, given `cluster` (a code
// in [0, n_clusters) per unit), one per cluster, shared by its units: drawn
// in cluster order, so with every unit its own cluster (cluster[i] == i) the
// draws, and the bands, are those of the unclustered call.
EventBands multiplier_event_bands(std::span<const std::vector<double>> ifs,
                                  std::span<const double> coef, std::span<const double> se,
                                  std::size_t n_reps, std::uint64_t seed, double level,
                                  std::span<const std::size_t> cluster = {},
                                  std::size_t n_clusters = 0);

}  // namespace quintara::inference
