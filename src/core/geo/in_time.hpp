// The power design's detection test, run on a finished experiment.
//
// A power curve counts a window as a detection when its |ATT| is strictly
// above crit, the interpolated 1 - alpha quantile of |ATT| over the unlifted
// historical windows. The same rule decides the experiment: the method is
// fitted at the real split, and the windows are those a power analysis with
// test_len = the post-period length would use on the pre-period alone (so
// they never see a treated period). A design said to have 80% power at a
// lift is then analysed by the test that has that power.
//
// p_value is the smallest alpha at which the rule rejects: 1 - q*, q* the
// largest q with quantile(q) < |att| (1 when |att| is at most every window's,
// 0 when above all of them: W windows cannot tell smaller sizes apart). The
// interval is the constant effects the rule does not reject, att +- crit:
// lowering the treated post-period by tau lowers every family member's att
// by tau and leaves the windows alone.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/sc/method.hpp"
#include "core/geo/curve.hpp"
#include "core/inference/inversion.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

struct InTimeTest {
  estimators::ScFit fit;          // the method at the real split
  std::vector<double> null_atts;  // one per window, in window order
  std::size_t window_len = 0;     // the post-period length
  double crit = 0.0;
  double p_value = 1.0;
  inference::TestInterval interval;
};

// 1 - q* as above, for `sorted` ascending, non-empty |ATT|s of the windows.
// One-sided the same rule runs on the signed ATTs (negated for Less), and
// the interval is the one-sided set of constant effects not rejected:
// [att - crit, inf) for Greater, (-inf, att - crit] for Less.
double in_time_p(std::span<const double> sorted, double abs_att);

// The decision from the fit at the real split and the windows' ATTs (in
// window order, not empty): the critical value, p-value and interval above.
InTimeTest in_time_decide(estimators::ScFit fit, std::vector<double> null_atts,
                          std::size_t window_len, double alpha, Alternative alternative);

// Needs 1 <= t0 < T, the treated rows valid, and window_set(t0, T - t0,
// min_pre, lookback) not empty; alpha in (0, 1); method not Ensemble.
InTimeTest in_time_test(const linalg::Mat& y, std::span<const std::size_t> treated, std::size_t t0,
                        std::size_t min_pre, std::optional<std::size_t> lookback,
                        estimators::sc::Method method, double alpha, double min_weight,
                        double max_weight, Alternative alternative = Alternative::TwoSided);

}  // namespace quintara::geo
