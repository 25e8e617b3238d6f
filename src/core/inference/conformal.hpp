// Conformal inference for a synthetic-control-family fit (Chernozhukov,
// Wuthrich & Zhu 2021, "An exact and robust conformal inference method for
// counterfactual and synthetic controls").
//
// Under H0: tau (the treated post-period path raised by tau in every
// period), y - tau on the post-period is the untreated path. The estimator
// is refitted on it with every period a pre-period (NullRefit); under the
// null its residual path is exchangeable over time, so the post-period
// window's mean |residual| is ranked among the T cyclic windows of the same
// length (moving-block permutations):
//   p(tau) = #{windows s : S_s >= S_t0} / T.
// The interval for the average effect is {tau : p(tau) > test_alpha(level)},
// taken to be an interval around the fit's att (or, where the test rejects
// att, around the effect that centres the refit's post-period residuals) and
// found end by end: steps doubling
// from the pre-period RMSPE bracket each end, bisection closes it to 1e-6
// relative, one refit per step. The pointwise interval of post period s
// repeats this on the pre-period plus period s alone (windows of one period
// over t0 + 1 periods).
//
// Caveats. p takes the values k / T, so at level 0.95 it can reject only
// when T >= 20 (t0 + 1 >= 20 for the pointwise intervals); below that the
// interval is the whole line. The accepted set of a step function need not
// be an interval; its hull around att is reported, as the test at att
// decides whether there is one. Exchangeability holds only as far as the
// refit matches the treated units: SDID's noise-scaled ridge spreads its
// unit weights and leaves part of their factor loadings in the residual,
// which grows with the distance from the pre-period where common factors
// drift. The one-period windows of the pointwise intervals, the tested one
// at the far end, then undercover (bench_calibration_pointwise.py); the
// whole post-period's window does not, its rivals reaching the start of
// the panel, which lies as far out.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/method.hpp"
#include "core/estimators/sc/null_refit.hpp"
#include "core/inference/inversion.hpp"

namespace quintara::inference {

struct ConformalOptions {
  double level = 0.95;
  // Length of the permuted windows; none means the post-period length.
  std::optional<std::size_t> block_len;
  bool pointwise = true;
};

struct ConformalResult {
  double p_value = 1.0;                 // at tau = 0
  TestInterval interval;                // for the average effect
  std::vector<double> pointwise_lower;  // one per post period, when asked
  std::vector<double> pointwise_upper;
  std::vector<double> null_residual;  // at tau = 0, T values
  std::size_t n_windows = 0;          // T
  std::size_t window = 0;             // the permuted windows' length
};

// `fit` is `method`'s fit on `panel` split at t0 (its att centres the
// search); 1 <= t0 < T, 0 < level < 1, block_len >= 1 when given.
ConformalResult conformal_test(const estimators::Panel& panel, std::size_t t0,
                               const estimators::sc::ScMethod& method, const estimators::ScFit& fit,
                               const ConformalOptions& options);

// p(tau) of the test above for the treated series y (T values) whose
// post-period starts at t0, `refit` built on its donors.
double conformal_p(const estimators::sc::NullRefit& refit, std::span<const double> y,
                   std::size_t t0, double tau, std::optional<std::size_t> block_len);

}  // namespace quintara::inference
