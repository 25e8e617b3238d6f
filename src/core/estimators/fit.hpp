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
  // t0 values: the estimator's own in-sample path of the untreated outcome
  // before the treatment, continuing into `counterfactual` after it.
  std::vector<double> synthetic_pre;
  double att = 0.0;  // mean of att_path (0 when P = 0)
  double pre_rmspe = 0.0;
  double post_rmspe = 0.0;
};

// ||g||_2 / sqrt(n) with the overflow-safe scaled norm; 0 for an empty gap.
double rmspe(std::span<const double> gap);

// Sum of the path in index order divided by its length; 0 when empty.
double mean_or_zero(std::span<const double> path);

// What a fit of the family reads, owned elsewhere: the treated series over
// all T periods (several treated units already averaged period by period),
// how many units it averages, the donor block (T x J, column j = donor j's
// series) and the split t0. The pre- and post-period donor blocks are row
// ranges of the one donor block, not copies.
struct SeriesView {
  std::span<const double> treated;
  std::size_t n_treated = 1;
  linalg::MatView donor_x;
  std::size_t t0 = 0;

  std::span<const double> y_pre() const { return treated.first(t0); }
  std::span<const double> y_post() const { return treated.subspan(t0); }
  linalg::MatView X_pre() const { return donor_x.row_range(0, t0); }                   // t0 x J
  linalg::MatView X_post() const { return donor_x.row_range(t0, donor_x.rows - t0); }  // P x J
};

// A block design prepared for a fit, owning its series: the treated units'
// period-wise mean and the donors gathered once (Panel::donor_series).
struct BlockSeries {
  std::vector<double> treated_mean;  // all T periods
  std::size_t n_treated = 0;
  std::size_t t0 = 0;
  linalg::Mat donor_x;  // T x J
  std::vector<std::size_t> donors;

  SeriesView view() const { return {treated_mean, n_treated, donor_x, t0}; }
  std::span<const double> y_pre() const { return view().y_pre(); }
  std::span<const double> y_post() const { return view().y_post(); }
  linalg::MatView X_pre() const { return view().X_pre(); }
  linalg::MatView X_post() const { return view().X_post(); }
};

// Refuses a panel without treated units ("no treated units"), without
// never-treated donors (`no_donor_message`, which differs by estimator) or
// with t0 past its last period.
BlockSeries block_series(const Panel& panel, std::size_t t0,
                         const char* no_donor_message = "no donor (never-treated) units");

// The fit record from weights and a counterfactual: att_path = y_post -
// counterfactual, att its mean, post_rmspe its RMSPE.
ScFit assemble_fit(std::vector<double> weights, std::vector<std::size_t> donors,
                   std::span<const double> y_post, std::vector<double> counterfactual,
                   double pre_rmspe, std::vector<double> synthetic_pre);

}  // namespace quintara::estimators
