// The batched-fit entry's computation after validation: the method name
// resolved, its options built once, and every panel fitted.
//
// The name is resolved here rather than at the entry so that a bad name is
// reported only after all the data checks have passed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/estimators/panel.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::runs {

// No dimension of the (R, N, T) stack is 0, or UserError "panel stack must be
// non-empty; got shape ({}, {}, {})".
void check_stack_shape(std::size_t n_reps, std::size_t n_units, std::size_t n_periods);

// Replication `rep` (N x T) is finite, or UserError "panel stack contains a
// non-finite value at [{}, {}, {}]; quintara requires complete, finite
// panels" naming the first offender, units before periods.
void check_replication_finite(const linalg::Mat& y, std::size_t rep);

// A validated request: every panel a finite block design treated at t0 with
// the same treated rows, 1 <= t0 < T, and weight bounds feasible for the
// donor count. `method` is the name as passed.
struct BatchRequest {
  std::vector<estimators::Panel> panels;
  std::size_t t0 = 0;
  std::string method;
  double ridge = 0.0;
  double zeta_scale = 1.0;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

// One att per panel, in panel order, each panel fitted on its own power-of-two
// scale (scale.hpp) with the ridge in its units, so that every att equals the
// single fit's of that panel. An unknown method name (matched
// case-sensitively, without aliases) is UserError "unknown method '{}'
// (expected sc/asc/sdid/fp/rsc)".
std::vector<double> run_batch(BatchRequest request);

}  // namespace quintara::runs
