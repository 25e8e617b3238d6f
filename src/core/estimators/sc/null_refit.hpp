// The estimator refitted under a null that fixes the treated post-period
// path: every period becomes a pre-period and the in-sample residual over
// all T periods is the path a conformal test permutes.
//
// Each estimator's in-sample fit is read through its own post-period
// formula: the series is stacked on itself (periods 0..T-1, then 0..T-1
// again) with the split at T, so the effect path of that fit is y minus the
// estimator's prediction for every period, with its weights, intercepts,
// augmentation and time weights fitted on all T. Any permutation of the
// periods permutes the residual the same way (up to the noise level SDID
// reads from first differences), which is what the permutation test needs.
//
// An estimator that holds the treated level free (SDID: unit weights up to an
// intercept) has its residual taken around its mean, the intercept of the
// refit on all periods. The stacked donor block is built once; each
// residual() is one refit.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/estimators/sc/method.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::sc {

class NullRefit {
 public:
  // X: T x J donors, one per column; n_treated: how many units the treated
  // series averages (SDID's noise scaling reads it). Requires T >= 1.
  NullRefit(ScMethod method, const linalg::MatView& X, std::size_t n_treated);

  std::size_t n_periods() const { return T_; }

  // y - prediction over the T periods, y the treated series (T values).
  std::vector<double> residual(std::span<const double> y) const;

 private:
  ScMethod method_;
  std::size_t T_ = 0;
  std::size_t n_treated_ = 1;
  linalg::Mat stacked_;  // 2T x J
  std::vector<std::size_t> donors_;
};

}  // namespace quintara::estimators::sc
