// The summary of a power curve, computed from the ATTs of placebo windows:
// the treated baseline, the critical value, the null spread, one curve point
// per lift and the minimal detectable effect.
//
// Kept apart from the fitting so that every road to window ATTs (one method
// refitted per lift, or a weighted ensemble of methods) is summarised by the
// same rules. Quantiles sort by the IEEE total order and interpolate as
// (1 - f)*s[lo] + f*s[hi] at h = q*(n - 1), q clamped to [0, 1], with no
// shortcut at an exact order statistic; sums run left to right from 0.0.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/geo/types.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

// Which effects the detection test is for: any change (|ATT| above the
// 1 - alpha quantile of |ATT|), an increase (ATT above the 1 - alpha
// quantile of the signed ATTs: a heavy-up test) or a decrease (ATT below
// their alpha quantile: a go-dark or holdout test).
enum class Alternative { TwoSided, Greater, Less };

// Below this |level| an estimated lift (ATT / level) is NaN, not a division.
inline constexpr double kLevelFloor = 2.220446049250313e-13;

struct TreatedBaseline {
  double sum = 0.0;    // sum over treated markets of each one's mean over all periods
  double level = 0.0;  // sum / number of treated markets
};

// Each treated row's mean over all columns of y, summed in list order; the
// level divides by max(1, count).
TreatedBaseline treated_baseline(const linalg::Mat& y, std::span<const std::size_t> treated);

// The interpolated q-quantile of values already sorted ascending; NaN when
// there are none.
double interpolated_quantile(std::span<const double> sorted, double q);

// The 1 - alpha quantile of |att| over the windows; one-sided, the 1 - alpha
// (Greater) or alpha (Less) quantile of the signed atts.
double critical_value(std::span<const double> atts, double alpha,
                      Alternative alternative = Alternative::TwoSided);

// Whether an ATT is a detection at `crit` under `alternative` (strictly
// beyond it; a NaN ATT never is).
bool detects(double att, double crit, Alternative alternative);

// Sample variance (divisor n - 1) of the signed ATTs: the squared deviations
// from their mean (sum then divide) summed in order; 0 for fewer than two.
double sample_variance(std::span<const double> atts);

// Sample standard deviation: the square root of sample_variance.
double null_se(std::span<const double> atts);

// One curve row from the windows' ATTs at `lift`: detections are |ATT|
// strictly above `crit` (a NaN ATT never is); estimated lifts are ATT /
// level, all NaN when |level| <= kLevelFloor. `atts` must not be empty.
PowerPoint curve_point(double lift, std::span<const double> atts, double crit, double level,
                       double alpha, Alternative alternative = Alternative::TwoSided);

struct Mde {
  double pct = 0.0;
  double abs_per_period = 0.0;
  double cumulative = 0.0;
};

// The lift at which the points (scanned in their given order, never sorted)
// first reach target_power, interpolated linearly from the point before;
// none when no point reaches it or there are no points.
std::optional<Mde> minimal_detectable_effect(std::span<const PowerPoint> points,
                                             double target_power, const TreatedBaseline& baseline,
                                             std::size_t test_len);

// Copies an Mde (or its absence) into the result's three fields.
void set_mde(PowerResult& result, const std::optional<Mde>& mde);

// The whole curve from the windows' ATTs, whatever produced them: the null
// ATTs give crit and se_null and serve every lift of exactly 0 (-0.0
// included); `atts_at(lift)` gives the windows' ATTs, in window order, for
// every other lift, called once per such lift in the order given. `null_atts`
// must not be empty.
PowerResult curve_from_atts(estimators::sc::Method method, std::span<const double> null_atts,
                            std::span<const double> lifts,
                            const std::function<std::vector<double>(double)>& atts_at,
                            const TreatedBaseline& baseline, std::size_t test_len, double alpha,
                            double target_power, Alternative alternative = Alternative::TwoSided);

}  // namespace quintara::geo
