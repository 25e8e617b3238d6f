// The ensemble power entry's own checks and its computation after
// validation.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/geo/curve.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// None gives SC, ASC, SDID; an empty list fails with "members must name at
// least one estimator"; otherwise every name goes through parse_method, in
// order, repeats kept.
std::vector<Method> parse_members(const std::optional<std::vector<std::string>>& names);

// Given weights: one per member ("weights must have one entry per ensemble
// member ({} given, {} members)"), each finite and not negative (-0.0
// passes; "weights must be finite and non-negative"), their sum, left to
// right, above 0 ("weights must sum to > 0").
void check_ensemble_weights(std::span<const double> weights, std::size_t n_members);

// A validated request, as PowerRequest with members and optional weights
// for the method.
struct EnsembleRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t test_len = 1;
  std::size_t min_pre = 2;
  std::vector<double> lifts;
  std::vector<Method> members;
  std::optional<std::vector<double>> weights;
  double alpha = 0.1;
  double target_power = 0.8;
  std::optional<std::size_t> lookback;
  double min_weight = 0.0;
  double max_weight = 1.0;
  geo::Alternative alternative = geo::Alternative::TwoSided;
};

// The record with method "ENSEMBLE" and the normalized weights.
// Fits y normalised by a power of two (scale.hpp); results in y's units.
PyPowerResult run_power_ensemble(const EnsembleRequest& request);

}  // namespace quintara::runs
