// The interval of constant effects a placebo test does not reject.
//
// Under H0: tau (every treated post-period value raised by tau), the real
// fit's weights, counterfactual and pre-period RMSPE are those of the
// observed panel (each estimator fixes them from the pre-period and the
// donors), its effect path is g - tau and its att is att - tau; the placebo
// refits never see the treated units and do not change. So p(tau) =
// (#{placebo stat >= stat(tau)} + 1) / (m + 1), and {tau : p(tau) > 1 -
// level} = {tau : stat(tau) <= c}, c the K-th largest placebo statistic for
// the least count K the test accepts. For the three statistics that set is
// an interval with closed-form ends:
//   RMSPE ratio   sqrt(mean((g - tau)^2)) / pre <= c:  att +- sqrt((c pre)^2 - v),
//                 v the mean squared deviation of g around att;
//   |att|         att +- c;
//   |att| / pre   att +- c pre.
// Ends are exact up to rounding; at tau = 0 the interval and the test's own
// p-value agree by construction (0 lies outside it exactly when p <= 1 -
// level), the one place where a rounding-level disagreement is resolved in
// the p-value's favour.
#pragma once

#include <span>

#include "core/estimators/sc/traits.hpp"

namespace quintara::inference {

struct TestInterval {
  // Both NaN when the test rejects every tau; +-inf when it rejects none.
  double lower = 0.0;
  double upper = 0.0;
};

// `att_path`, `att` and `pre_rmspe` of the real fit, `placebo_stats` the m
// >= 1 kept placebo statistics, `p_value` the test's own p at tau = 0, and
// 0 < level < 1.
TestInterval invert_placebo_test(estimators::sc::Statistic statistic,
                                 std::span<const double> att_path, double att, double pre_rmspe,
                                 std::span<const double> placebo_stats, double p_value,
                                 double level);

}  // namespace quintara::inference
