#include "core/runs/sampling.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "core/format.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

estimators::Sampling make_sampling(const std::optional<std::vector<double>>& weights,
                                   const std::optional<std::vector<std::int64_t>>& clusters,
                                   std::size_t n_units) {
  estimators::Sampling s;
  if (weights) {
    if (weights->size() != n_units) {
      throw UserError(
          format("weights must have one entry per unit ({}); got {}", n_units, weights->size()));
    }
    std::size_t top = 0;
    for (std::size_t i = 0; i < n_units; ++i) {
      const double w = (*weights)[i];
      if (!(std::isfinite(w) && w > 0.0)) {
        throw UserError(format("weights must be positive and finite; weights[{}] is {}", i, w));
      }
      if (w > (*weights)[top]) top = i;
    }
    // Only the weights' ratios matter. Scaled by the power of two that puts
    // the largest in [1, 2), exactly, they are of the scale of unit weights:
    // sums of them and of their squares neither overflow nor underflow, and
    // the estimators' fixed ridges and tolerances (set for unit weights)
    // stay as small beside them. Weights already in [1, 2) are unchanged.
    int exponent = 0;
    std::frexp((*weights)[top], &exponent);
    s.weight = *weights;
    if (exponent != 1) {
      for (double& w : s.weight) w = std::ldexp(w, 1 - exponent);
    }
    // Below the smallest normal double the scaling would round: ratios that
    // wide (over 2^1022) leave the smaller weights no meaning beside the largest.
    for (std::size_t i = 0; i < n_units; ++i) {
      if (s.weight[i] < std::numeric_limits<double>::min()) {
        throw UserError(
            format("weights span too wide a range: weights[{}] is {} and weights[{}] is {}; "
                   "their ratio must stay below 2^1022",
                   i, format_float_debug((*weights)[i]), top, format_float_debug((*weights)[top])));
      }
    }
  }
  if (clusters) {
    if (clusters->size() != n_units) {
      throw UserError(
          format("clusters must have one entry per unit ({}); got {}", n_units, clusters->size()));
    }
    std::unordered_map<std::int64_t, std::size_t> code;
    s.cluster.resize(n_units);
    for (std::size_t i = 0; i < n_units; ++i) {
      const auto [it, fresh] = code.try_emplace((*clusters)[i], code.size());
      s.cluster[i] = it->second;
    }
    s.n_clusters = code.size();
    if (s.n_clusters < 2) {
      throw UserError(
          "clusters name a single cluster; a cluster-robust standard error needs at least two");
    }
  }
  return s;
}

bool parse_missing(std::string_view text) {
  if (text == "refuse") return false;
  if (text == "keep") return true;
  throw UserError(format("unknown missing '{}' (expected refuse/keep)", text));
}

}  // namespace quintara::runs
