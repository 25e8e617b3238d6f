#include "core/runs/ensemble_run.hpp"

#include <cmath>
#include <utility>

#include "core/format.hpp"
#include "core/geo/ensemble.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

std::vector<Method> parse_members(const std::optional<std::vector<std::string>>& names) {
  if (!names) return {Method::Sc, Method::Asc, Method::Sdid};
  if (names->empty()) throw UserError("members must name at least one estimator");
  std::vector<Method> members;
  members.reserve(names->size());
  for (const std::string& name : *names) members.push_back(parse_method(name));
  return members;
}

void check_ensemble_weights(std::span<const double> weights, std::size_t n_members) {
  if (weights.size() != n_members) {
    throw UserError(format("weights must have one entry per ensemble member ({} given, {} members)",
                           weights.size(), n_members));
  }
  double sum = 0.0;
  for (const double w : weights) {
    if (!std::isfinite(w) || w < 0.0) throw UserError("weights must be finite and non-negative");
    sum += w;
  }
  if (!(sum > 0.0)) throw UserError("weights must sum to > 0");
}

PyPowerResult run_power_ensemble(const EnsembleRequest& q) {
  std::optional<std::span<const double>> weights;
  if (q.weights) weights = *q.weights;
  const auto [y, k] = normalised_copy(q.y);
  geo::EnsemblePower power = geo::power_curve_ensemble(
      y, q.treated, q.test_len, q.min_pre, q.lifts, q.members, weights, q.alpha, q.target_power,
      q.lookback, q.min_weight, q.max_weight, q.alternative);
  PyPowerResult r = power_record(power.curve, std::move(power.weights));
  to_caller_units(r, k);
  return r;
}

}  // namespace quintara::runs
