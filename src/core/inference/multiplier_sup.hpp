// The replicate statistics of the multiplier bootstrap as one blocked product.
//
// Replicate r's statistic is the largest |mean_i(psi_k[i] xi_r(i)) / se_k|
// over the event times k that enter the supremum, where xi_r holds Mammen
// multipliers drawn from Xoshiro256pp::substream(seed, r): one per unit in
// unit order, or one per cluster in cluster order shared by its units. The
// means of all replicates and event times are the product Xi * Psi; it is
// formed for blocks of eight replicates and several event times at once,
// each entry's sum still running over the units in order from 0.0, so every
// entry has the bits of the one-replicate-at-a-time loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quintara::inference {

// Mammen's two-point weights: -(sqrt5 - 1)/2 with probability
// (sqrt5 + 1)/(2 sqrt5), else (sqrt5 + 1)/2; mean 0, variance 1. A draw is
// the low weight when next_f64() < kMammenLowProb.
constexpr double kMammenLow = -0.618033988749895;
constexpr double kMammenHigh = 1.618033988749895;
constexpr double kMammenLowProb = 0.723606797749979;

// One statistic per replicate, in replicate order. ifs[k] and se[k] as in
// multiplier_event_bands; an event time with no influence values or a
// standard error that is not positive stays out of the supremum (a
// replicate with none left is 0.0), as does a NaN ratio. Draws are made for
// the longest influence vector's units (or the n_clusters clusters, given
// `cluster`, one code a unit of that vector); shorter vectors sum their own
// units only. Replicates run in groups of 8 `group_blocks` on the worker
// pool (0: a size picked from the pool's); neither the grouping nor the
// number of workers changes any result.
std::vector<double> multiplier_sup_t(std::span<const std::vector<double>> ifs,
                                     std::span<const double> se, std::size_t n_reps,
                                     std::uint64_t seed, std::span<const std::size_t> cluster = {},
                                     std::size_t n_clusters = 0, std::size_t group_blocks = 0);

}  // namespace quintara::inference
