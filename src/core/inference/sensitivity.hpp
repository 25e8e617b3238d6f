// Sensitivity of an event study's conclusions to violations of parallel
// trends (Rambachan & Roth): confidence intervals for l'tau_post that stay
// valid when the trend's violation delta lies in a set Delta, one interval
// per size M of Delta, and the breakdown value of M.
//
// "smoothness": Delta^SD(M), second differences at most M, by the
// fixed-length interval (flci.hpp). "relative_magnitude": Delta^RM(Mbar),
// post-period first differences at most Mbar times the largest pre-period
// one, by the hybrid moment-inequality test inverted over a grid
// (relative_magnitudes.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::inference {

enum class SensitivityKind { smoothness, relative_magnitude };

struct SensitivityRequest {
  SensitivityKind kind = SensitivityKind::relative_magnitude;
  std::vector<double> betahat;  // n_pre pre-period, then post-period coefficients
  linalg::Mat sigma;
  std::size_t n_pre = 0;
  std::vector<double> l;  // weights of the post-period coefficients
  double level = 0.95;
  std::vector<double> m;
  std::size_t grid_points = 1000;  // relative magnitudes' theta grid
  bool hybrid = true;              // relative magnitudes: false for the conditional test alone
  bool breakdown = true;
  std::uint64_t max_lp_solves = 0;  // the work budget (WorkBudgetExceeded)
};

struct SensitivityResult {
  std::vector<double> m;
  std::vector<double> lower;  // NaN, NaN: no value accepted
  std::vector<double> upper;
  double estimate = 0.0;  // l'beta_post
  double se = 0.0;
  double original_lower = 0.0;  // the normal interval under exact parallel trends
  double original_upper = 0.0;
  // The largest M whose interval excludes 0, to the resolution of a fixed
  // number of bisections; NaN when even M = 0 does not; +inf when no M tried
  // (up to 2^40 times the first) includes it.
  double breakdown = 0.0;
  std::uint64_t lp_solves = 0;
};

// The request is checked by the caller (runs/sensitivity_run.hpp). It runs
// with beta rescaled by a power of two (its largest standard error in
// [1, 2)), so intervals in units of beta are exactly equivariant under such
// rescalings and the solvers' fixed tolerances do not depend on units.
SensitivityResult sensitivity(const SensitivityRequest& request);

}  // namespace quintara::inference
