// The record every synthetic-control-family fit returns, and the pieces those
// fits share: the block series they start from, the RMSPE, and the
// assembly of the effect path.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/estimators/panel.hpp"
#include "core/linalg/matrix.hpp"

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

// A block design prepared for a fit: the treated units averaged period by
// period (several treated units are fitted as one), split at t0, and the
// donor blocks (column j = donor j).
struct BlockSeries {
  std::vector<double> treated_mean;  // all T periods
  std::size_t t0 = 0;
  linalg::Mat X_pre;   // t0 x J
  linalg::Mat X_post;  // (T - t0) x J
  std::vector<std::size_t> donors;

  std::span<const double> y_pre() const { return std::span(treated_mean).first(t0); }
  std::span<const double> y_post() const { return std::span(treated_mean).subspan(t0); }
};

// Refuses a panel without treated units ("no treated units") or without
// never-treated donors (`no_donor_message`, which differs by estimator).
BlockSeries block_series(const Panel& panel, std::size_t t0,
                         const char* no_donor_message = "no donor (never-treated) units");

// The fit record from weights and a counterfactual: att_path = y_post -
// counterfactual, att its mean, post_rmspe its RMSPE.
ScFit assemble_fit(std::vector<double> weights, std::vector<std::size_t> donors,
                   std::span<const double> y_post, std::vector<double> counterfactual,
                   double pre_rmspe);

}  // namespace quintara::estimators
