// The Callaway & Sant'Anna entry's computation after argument conversion:
// its option parsing and design checks, then the group-time fit, its
// aggregations and, on request, the multiplier-bootstrap bands.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/estimators/did/callaway.hpp"
#include "core/estimators/did/callaway_method.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/format.hpp"
#include "core/runs/records.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

enum class Control { Never, NotYet };

// "never"; "notyet" or "not_yet_treated"; anything else is UserError
// "unknown control group '{}' (expected never/notyet)".
Control parse_control(std::string_view text);

// "reg", "ipw" or "dr"; anything else is UserError
// "unknown est_method '{}' (expected reg/ipw/dr)".
estimators::did::EstMethod parse_est_method(std::string_view text);

// The name parse_est_method reads.
std::string_view est_method_name(estimators::did::EstMethod method);

// ipw and dr fit balanced panels only: UserError when `y_has_missing`.
void check_est_method_balance(estimators::did::EstMethod method, bool y_has_missing);

// Fails unless some cohort adopts after `anticipation` periods.
void check_anticipation(const estimators::Panel& panel, std::uint64_t anticipation);

// One row per unit and every value finite. `View` offers dim(k) and at(i, j).
template <class View>
void check_covariates(const View& x, std::size_t n_units) {
  if (x.dim(0) != n_units) {
    throw UserError(
        format("covariates must have one row per unit ({}); got {}", n_units, x.dim(0)));
  }
  for (std::size_t i = 0; i < x.dim(0); ++i) {
    for (std::size_t k = 0; k < x.dim(1); ++k) {
      if (!std::isfinite(x.at(i, k))) {
        throw UserError("covariates contain NaN or inf; provide complete, finite covariates");
      }
    }
  }
}

struct BandOptions {
  bool run = false;
  std::uint64_t n_reps = 0;
  std::uint64_t seed = 0;
  double level = 0.0;
};

// A validated request; covariates, when wanted, are already on the panel.
struct CallawayRequest {
  estimators::Panel panel;
  Control control = Control::Never;
  std::size_t anticipation = 0;
  BandOptions bands;
  bool varying_base = false;  // pre-period cells against the period before
  estimators::Sampling sampling;
  // NaN cells of y are missing observations (checked by
  // check_observed_panel); otherwise y is complete.
  bool keep_missing = false;
  // Each cell's estimator; ipw and dr need a complete y.
  estimators::did::EstMethod est_method = estimators::did::EstMethod::Reg;
  estimators::did::EventWindow window;  // the event times reported
  // Set when the panel is already in normalised units (scale.hpp), scaled
  // by 2^-k with k this exponent as it was copied in.
  std::optional<int> normalised_by;
};

// min_e <= max_e when both are given, and balance_e >= 0; UserError
// naming the argument otherwise.
void check_event_window(const estimators::did::EventWindow& window);

// Fits y normalised by a power of two (scale.hpp); results in y's units.
// With clusters the standard errors and the bands' multipliers are by
// cluster, and `n_clusters` says how many. An ipw or dr cell that cannot be
// fitted is UserError "est_method='{}' cannot fit the cell of cohort {} in
// period {} (base period {}): {reason}; drop or recode the covariates, or use
// est_method='reg'".
PyDidResult run_callaway(const CallawayRequest& request);
// The same, normalising the request's own panel instead of a copy. Either
// takes a panel already normalised (normalised_by) as it is.
PyDidResult run_callaway(CallawayRequest&& request);

}  // namespace quintara::runs
