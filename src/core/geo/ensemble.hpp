// Power curves for a weighted-average ensemble of methods.
//
// In every placebo window each member method is fitted and the members' ATTs
// are blended into one ensemble ATT; the curve summary (critical value,
// spread, detections, estimated lifts, minimal detectable effect) is then
// that of a single method applied to the blended ATTs. The weights are the
// caller's, or inverse-variance weights of the members' placebo ATTs, fixed
// once from the null pass and used unchanged for every lift. Each window is
// solved once per member on one shared panel and re-assembled per lift (see
// geo/power.hpp), so the cost is members x n_windows fits.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/sc/method.hpp"
#include "core/geo/curve.hpp"
#include "core/geo/types.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

// Negative entries become 0, then each is divided by the sum (left to
// right from 0.0); when that sum is not positive every weight is
// 1 / count. A sum that overflows (only entries near the largest double
// reach it) is taken after scaling every entry by the same power of two,
// which leaves the ratios exact. Empty in, empty out.
std::vector<double> normalize_weights(std::span<const double> weights);

// Inverse-variance weights from each member's placebo ATTs (one span per
// member, over the same windows): with v_m the sample variance (0 for a
// single window), v the mean of the v_m and eps = v * 1e-6 + the smallest
// normal double, the raw weight 1 / (v_m + eps), normalized. When every v_m
// is 0 the weights are 1 / count each, also where the raw weights' sum
// overflows (from four members on).
std::vector<double> inverse_variance_weights(std::span<const std::vector<double>> member_atts);

struct EnsemblePower {
  PowerResult curve;            // method Ensemble
  std::vector<double> weights;  // normalized, in member order
};

// The ensemble's curve. The arguments are power_curve's, with `members` (not
// empty, no Ensemble among them, repeats allowed) for the method and
// `weights` (one per member, any non-negative values with a positive sum)
// or none for inverse-variance weights. `alternative` is the detection
// test's, applied to the blended ATTs.
EnsemblePower power_curve_ensemble(const linalg::Mat& y, std::span<const std::size_t> treated,
                                   std::size_t test_len, std::size_t min_pre,
                                   std::span<const double> lifts,
                                   std::span<const estimators::sc::Method> members,
                                   std::optional<std::span<const double>> weights, double alpha,
                                   double target_power, std::optional<std::size_t> lookback,
                                   double min_weight, double max_weight,
                                   Alternative alternative = Alternative::TwoSided);

}  // namespace quintara::geo
