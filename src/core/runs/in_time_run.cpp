#include "core/runs/in_time_run.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "core/format.hpp"
#include "core/geo/in_time.hpp"
#include "core/runs/sc_run.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

std::size_t check_in_time_windows(std::size_t t0, std::size_t n_periods, std::uint64_t min_pre) {
  const std::size_t len = n_periods - t0;
  const std::uint64_t pre = min_pre > 0 ? min_pre : std::max<std::size_t>(2, len);
  // pre <= t0 first: a min_pre near 2^64 must not wrap the sum.
  if (pre <= t0 && pre + len <= t0) return static_cast<std::size_t>(pre);
  // The remedy that exists: a pre-window as short as one period fits when
  // the history outlasts the post-period; otherwise only a shorter test does.
  const std::string hint =
      t0 > len ? format("Pass min_pre={} or less, or test a shorter post-period.", t0 - len)
               : std::string("Test a shorter post-period.");
  const std::uint64_t need = pre > UINT64_MAX - len ? UINT64_MAX : pre + len;
  throw UserError(
      format("the in-time test needs a historical window of the post-period's {} periods after a "
             "{}-period pre-window, so at least {} periods before treat_time; there are {}. {}",
             len, pre, need, t0, hint));
}

PyScResult run_in_time_test(const InTimeRequest& q) {
  const auto [y, k] = normalised_copy(q.y);
  const geo::InTimeTest t = geo::in_time_test(y, q.treated, q.t0, q.min_pre, q.lookback, q.method,
                                              q.alpha, q.min_weight, q.max_weight, q.alternative);
  PyScResult r = result_from_fit(t.fit);
  r.p_value = t.p_value;
  r.test_ci_lower = t.interval.lower;
  r.test_ci_upper = t.interval.upper;
  r.inference_distribution = t.null_atts;
  r.n_placebo_used = t.null_atts.size();
  r.level = 1.0 - q.alpha;
  const char* rule = q.alternative == geo::Alternative::Greater
                         ? "ATT above the {} quantile of the windows' ATT, one-sided"
                     : q.alternative == geo::Alternative::Less
                         ? "ATT below the {} quantile of the windows' ATT, one-sided"
                         : "|ATT| above the {} quantile of the windows' |ATT|";
  const double q_level = q.alternative == geo::Alternative::Less ? q.alpha : 1.0 - q.alpha;
  r.inference_method = format(
      "in-time placebo test over {} historical windows of {} periods, the power design's "
      "test ({}); interval by test inversion",
      t.null_atts.size(), t.window_len, format(rule, q_level));
  to_caller_units(r, k, true);
  // After the rescaling, which can flush the ends' nudge past 0.
  const inference::TestInterval i =
      inference::follow_p_value({*r.test_ci_lower, *r.test_ci_upper}, t.p_value, 1.0 - q.alpha);
  r.test_ci_lower = i.lower;
  r.test_ci_upper = i.upper;
  return r;
}

}  // namespace quintara::runs
