// The record every synthetic-control-family fit returns, and the RMSPE.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quintara::estimators {

struct ScFit {
  std::vector<double> weights;         // J donor weights, order of donor_ids
  std::vector<std::size_t> donor_ids;  // panel rows of the donors, ascending
  std::vector<double> att_path;        // P = T - t0 per-period effects
  std::vector<double> counterfactual;  // P estimated untreated outcomes
  std::vector<double> treated_post;    // P observed (averaged) treated outcomes
  double att = 0.0;                    // mean of att_path (0 when P = 0)
  double pre_rmspe = 0.0;
  double post_rmspe = 0.0;
};

// ||g||_2 / sqrt(n) with the overflow-safe scaled norm; 0 for an empty gap.
double rmspe(std::span<const double> gap);

// Sum of the path in index order divided by its length; 0 when empty.
double mean_or_zero(std::span<const double> path);

}  // namespace quintara::estimators
