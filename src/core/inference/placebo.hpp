// In-space placebo test for the synthetic-control family.
//
// Each donor in turn is treated as if it were the treated unit and the
// estimator is refitted on the donor pool alone; the real fit's statistic is
// ranked among the placebo statistics. Refits run on the worker pool and land
// in donor order, so the result does not depend on the number of workers.
// The donors' series are gathered once and shared read-only by all refits;
// all but robust synthetic-control refits read their pools in place and
// share the Gram matrix of all donors (columns centred where the estimator
// centres them), whose principal submatrices are their pools' (bit for bit).
#pragma once

#include <cstddef>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/method.hpp"

namespace quintara::inference {

struct PlaceboResult {
  std::vector<double> att_path;          // real fit
  std::vector<double> placebo_stats;     // kept placebo statistics, donor order
  std::vector<double> placebo_atts;      // their att, same order
  std::vector<std::size_t> placebo_ids;  // the panel rows of those donors, same order
  std::vector<std::vector<double>>
      placebo_gaps;  // each one's observed minus synthetic path, T values
  double att = 0.0;
  double stat = 0.0;
  double p_value = 1.0;  // (count(stat_j >= stat) + 1) / (m + 1)
};

// Requires a panel with exactly one adoption period ("placebo test requires a
// single common treatment time").
PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method);
// The same test around a real fit the caller already has (`method.fit_at`
// of this panel at its treatment time), which is then not computed again.
PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method,
                                const estimators::ScFit& fit);

}  // namespace quintara::inference
