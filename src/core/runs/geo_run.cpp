#include "core/runs/geo_run.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "core/format.hpp"
#include "core/geo/power.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

geo::Alternative parse_alternative(std::string_view text) {
  if (text == "two-sided") return geo::Alternative::TwoSided;
  if (text == "greater") return geo::Alternative::Greater;
  if (text == "less") return geo::Alternative::Less;
  throw UserError(format("unknown alternative '{}' (expected two-sided/greater/less)", text));
}

void check_lifts(std::span<const double> lifts, geo::Alternative alternative) {
  for (const double lift : lifts) {
    if (alternative == geo::Alternative::Less) {
      if (std::isfinite(lift) && lift <= 0.0 && lift > -1.0) continue;
      throw UserError(format(
          "lifts must be finite and in (-1, 0] for alternative='less' (a decrease of less than "
          "100%); got {}",
          lift));
    }
    if (std::isfinite(lift) && lift >= 0.0) continue;
    if (alternative == geo::Alternative::Greater) {
      throw UserError(format(
          "lifts must be finite and >= 0 for alternative='greater' (an increase); got {}", lift));
    }
    throw UserError(
        format("lifts must be finite and >= 0 (detection is two-sided on |ATT|, so a negative "
               "lift is equivalent to its magnitude); got {}",
               lift));
  }
}

PyPowerResult power_record(const geo::PowerResult& result,
                           std::optional<std::vector<double>> ensemble_weights) {
  PyPowerResult r;
  r.method = std::string(display_name(result.method));
  const std::size_t n = result.points.size();
  r.lifts.reserve(n);
  r.power.reserve(n);
  r.est_mean.reserve(n);
  r.est_lo.reserve(n);
  r.est_hi.reserve(n);
  for (const geo::PowerPoint& p : result.points) {
    r.lifts.push_back(p.lift);
    r.power.push_back(p.power);
    r.est_mean.push_back(p.est_mean);
    r.est_lo.push_back(p.est_lo);
    r.est_hi.push_back(p.est_hi);
  }
  r.mde_pct = result.mde_pct;
  r.mde_abs_per_period = result.mde_abs_per_period;
  r.mde_cumulative = result.mde_cumulative;
  r.crit = result.crit;
  r.se_null = result.se_null;
  r.n_windows = result.n_windows;
  r.ensemble_weights = std::move(ensemble_weights);
  return r;
}

PyPowerResult run_power(const PowerRequest& q) {
  const auto [y, k] = normalised_copy(q.y);
  const geo::PowerResult curve =
      geo::power_curve(y, q.treated, q.test_len, q.min_pre, q.lifts, q.method, q.alpha,
                       q.target_power, q.lookback, q.min_weight, q.max_weight, q.alternative);
  PyPowerResult r = power_record(curve, std::nullopt);
  to_caller_units(r, k);
  return r;
}

}  // namespace quintara::runs
