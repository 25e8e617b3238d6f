// The interval of constant effects a placebo test does not reject.
//
// Under H0: tau (every treated post-period value raised by tau), the real
// fit's weights, counterfactual and pre-period RMSPE are those of the
// observed panel (each estimator fixes them from the pre-period and the
// donors), its effect path is g - tau and its att is att - tau; the placebo
// refits never see the treated units and do not change. So p(tau) =
// (#{placebo stat >= stat(tau)} + 1) / (m + 1), and the accepted set
// {tau : not rejects(p(tau))} = {tau : stat(tau) <= c}, c the K-th largest placebo statistic for
// the least count K the test accepts. For the three statistics that set is
// an interval with closed-form ends:
//   RMSPE ratio   sqrt(mean((g - tau)^2)) / pre <= c:  att +- sqrt((c pre)^2 - v),
//                 v the mean squared deviation of g around att;
//   |att|         att +- c;
//   |att| / pre   att +- c pre.
// Ends are exact up to rounding; at tau = 0 the interval and the test's own
// p-value agree by construction (0 lies outside it exactly when p <=
// test_alpha(level)), the one place where a rounding-level disagreement is resolved in
// the p-value's favour.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "core/estimators/sc/traits.hpp"

namespace quintara::inference {

// The size a test at `level` rejects at: 1 - level rounded to 12 decimals,
// the number the caller means. In floating point 1 - 0.9 is
// 0.09999999999999998, so a p-value of exactly 3/30 = 0.1 would not reject
// at level 0.9, and a test with p-values k / m would be conservative by one
// step wherever (1 - level) m is a whole number.
inline double test_alpha(double level) { return std::round((1.0 - level) * 1e12) / 1e12; }

// Whether a test with this p-value rejects at `level`: p <= test_alpha.
inline bool rejects(double p_value, double level) { return p_value <= test_alpha(level); }

// The least count K of placebos at least as extreme as the real fit for which
// the test accepts ((K + 1) / (m + 1) not rejected); m >= 1.
std::size_t least_accepted_count(std::size_t m, double level);

struct TestInterval {
  // Both NaN when the test rejects every tau; +-inf when it rejects none.
  double lower = 0.0;
  double upper = 0.0;
};

// The interval with tau = 0 put on the side its p-value decides: 0 added
// (an empty set becoming [0, 0]) when the test accepts it, the nearer end
// moved just past 0 (by the least subnormal) when the test rejects it. Every
// inversion ends with this; a caller that rescales the ends applies it again,
// as the least subnormal does not survive a downward rescaling.
TestInterval follow_p_value(TestInterval interval, double p_value, double level);

// `att_path`, `att` and `pre_rmspe` of the real fit, `placebo_stats` the m
// >= 1 kept placebo statistics, `p_value` the test's own p at tau = 0, and
// 0 < level < 1.
TestInterval invert_placebo_test(estimators::sc::Statistic statistic,
                                 std::span<const double> att_path, double att, double pre_rmspe,
                                 std::span<const double> placebo_stats, double p_value,
                                 double level);

// A placebo of a test whose placebo pools hold the treated units: under H0:
// tau their post-period enters as y - tau, so where the estimator's
// counterfactual is linear in its pool's post-period the placebo's gap path
// is gap + tau * slope and its att att + tau * att_slope; its pre-period
// RMSPE does not move.
struct MovingPlacebo {
  std::vector<double> gap;
  std::vector<double> slope;
  double att = 0.0;
  double att_slope = 0.0;
  double pre_rmspe = 0.0;
};

// The same set for moving placebos (the RMSPE ratio or |att| / pre): each
// placebo is at least as extreme as the real fit where a quadratic in tau is
// >= 0, so the count is a step function with at most two steps per placebo,
// swept exactly; the interval is the accepted set's hull. The p-value decides
// tau = 0 as above.
TestInterval invert_moving_test(estimators::sc::Statistic statistic,
                                std::span<const double> att_path, double att, double pre_rmspe,
                                std::span<const MovingPlacebo> placebos, double p_value,
                                double level);

// Where the placebo statistics move with tau in no closed form: `accepts(tau)`
// runs the test at tau. The accepted set is taken to be an interval around
// att; each end is bracketed by doubling steps from `scale` and bisected to
// a relative 1e-6 (at most 80 tests an end). An end no step rejects is
// infinite.
TestInterval invert_by_bisection(const std::function<bool(double)>& accepts, double att,
                                 double scale, double p_value, double level);

// The same from several starting points, for an accepted set that need not
// be one interval: from each start the test accepts, each end's doubling
// steps go on through up to `max_misses` rejected probes in a row, so an
// accepted stretch past a gap extends the end; the result is the hull of
// what the starts reach. invert_by_bisection is one start and no misses.
TestInterval invert_by_search(const std::function<bool(double)>& accepts,
                              std::span<const double> starts, double scale, int max_misses,
                              double p_value, double level);

}  // namespace quintara::inference
