#include "bindings/api_callaway.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/cohorts_doc.hpp"
#include "bindings/results.hpp"
#include "core/format.hpp"
#include "core/runs/callaway_run.hpp"
#include "core/runs/did_run.hpp"
#include "core/runs/sampling.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct CallawayArgs {
  ArrayView y;
  std::vector<std::int64_t> cohorts;
  std::string control;
  std::optional<ArrayView> covariates;
  std::uint64_t anticipation = 0;
  bool bands = false;
  std::uint64_t n_reps = 0;
  std::uint64_t seed = 0;
  double level = 0.0;
  std::string base_period;
  std::optional<std::vector<double>> weights;
  std::optional<std::vector<std::int64_t>> clusters;
  std::string missing;
  std::string est_method;
  std::optional<std::int64_t> min_e;
  std::optional<std::int64_t> max_e;
  std::optional<std::int64_t> balance_e;
};

const Params fit_callaway_params{"fit_callaway_py",
                                 arg("y", &CallawayArgs::y),
                                 arg("cohorts", &CallawayArgs::cohorts),
                                 arg("control", &CallawayArgs::control, "\"never\""),
                                 opt_arg("covariates", &CallawayArgs::covariates),
                                 arg("anticipation", &CallawayArgs::anticipation, "0"),
                                 arg("bands", &CallawayArgs::bands, "False"),
                                 arg("n_reps", &CallawayArgs::n_reps, "999"),
                                 arg("seed", &CallawayArgs::seed, "0"),
                                 arg("level", &CallawayArgs::level, "0.95"),
                                 arg("base_period", &CallawayArgs::base_period, "\"universal\""),
                                 opt_arg("weights", &CallawayArgs::weights),
                                 opt_arg("clusters", &CallawayArgs::clusters),
                                 arg("missing", &CallawayArgs::missing, "\"refuse\""),
                                 arg("est_method", &CallawayArgs::est_method, "\"reg\""),
                                 opt_arg("min_e", &CallawayArgs::min_e),
                                 opt_arg("max_e", &CallawayArgs::max_e),
                                 opt_arg("balance_e", &CallawayArgs::balance_e)};

Ref fit_callaway_py(PyObject* args, PyObject* kwargs) {
  CallawayArgs a = fit_callaway_params.parse(args, kwargs);
  const runs::Control control = runs::parse_control(a.control);
  const bool keep_missing = runs::parse_missing(a.missing);
  const auto est_method = runs::parse_est_method(a.est_method);
  // A complete panel's scale is found while it is checked, and applied
  // while it is copied: no further pass over it before the fit.
  std::optional<int> scale;
  std::size_t n_units = 0;
  if (keep_missing) {
    n_units = std::get<0>(validate::check_observed_panel(a.y));
  } else {
    const auto [n, t, max_abs] = validate::check_panel_max(a.y);
    n_units = n;
    scale = runs::exponent_of_max(max_abs);
  }
  runs::check_cohort_count(a.cohorts.size(), n_units);
  linalg::Mat y = scale ? mat_from_numpy(a.y, runs::PowerOfTwo(-*scale)) : mat_from_numpy(a.y);
  runs::CallawayRequest request{runs::staggered_panel(std::move(y), a.cohorts),
                                control,
                                static_cast<std::size_t>(a.anticipation),
                                {a.bands, a.n_reps, a.seed, a.level}};
  request.normalised_by = scale;
  request.sampling = runs::make_sampling(a.weights, a.clusters, n_units);
  request.keep_missing = keep_missing;
  request.est_method = est_method;
  runs::check_est_method_balance(
      est_method,
      keep_missing && std::any_of(request.panel.y.data.begin(), request.panel.y.data.end(),
                                  [](double v) { return std::isnan(v); }));
  const estimators::Panel& panel = request.panel;
  runs::require_estimable_cohort(panel, "Callaway-Sant'Anna");
  validate::check_unit_interval("level", a.level);
  validate::check_min_count("n_reps", a.n_reps);
  runs::check_anticipation(panel, a.anticipation);
  if (a.base_period != "universal" && a.base_period != "varying") {
    throw runs::UserError(
        format("unknown base_period '{}' (expected universal/varying)", a.base_period));
  }
  request.varying_base = a.base_period == "varying";
  request.window = {a.min_e, a.max_e, a.balance_e};
  runs::check_event_window(request.window);
  if (control == runs::Control::Never) {
    runs::require_never_treated(panel, "Callaway-Sant'Anna with control='never'",
                                "If every unit eventually adopts, pass control='notyet' to "
                                "compare against not-yet-treated units instead.");
  }
  if (a.covariates) {
    runs::check_covariates(*a.covariates, n_units);
    request.panel = std::move(request.panel).with_covariates(mat_from_numpy(*a.covariates));
  }
  // Called once: the request's panel is normalised in place, not copied.
  const auto fit = [&] {
    return without_gil([&] { return runs::run_callaway(std::move(request)); });
  };
  // The bands' replicates are the one allocation an argument sizes.
  return wrap(a.bands ? sized_by("n_reps", a.n_reps, fit) : fit());
}

}  // namespace

const EntryDef fit_callaway_entry{
    &fit_callaway_params.signature(),
    "Callaway & Sant'Anna group-time ATTs aggregated to overall + event "
    "study.\n" QUINTARA_COHORTS_DOC
    "\n`control` is \"never\" (never-treated units as the comparison group) or\n"
    "\"notyet\" (not-yet-treated units). If `covariates` (an `N\xC3\x97K` array) is\n"
    "given, the group-time ATTs are covariate-adjusted (as `est_method` says;\n"
    "with \"reg\" a cell whose comparison regression is singular, e.g. more\n"
    "covariates than comparison units, falls back to the unadjusted cell, where\n"
    "\"ipw\" and \"dr\" refuse it).\n"
    "`weights` (one positive sampling weight per unit) weigh every mean,\n"
    "regression and cohort share; only their ratios matter. `clusters` (one\n"
    "integer code per unit, e.g. the state of a county) make the standard\n"
    "errors cluster-robust, from the influence functions summed by cluster, and\n"
    "draw the bands' multipliers one per cluster; `n_clusters` reports how many.\n"
    "`missing=\"keep\"` accepts NaN cells of `y` as missing observations: each\n"
    "group-time cell then comes from the observations present in its two\n"
    "periods (repeated cross-sections), with standard errors from each unit's\n"
    "summed influence; a panel without NaN fits as with \"refuse\", the default,\n"
    "which refuses NaN.\n"
    "`est_method` is each cell's estimator, named as in the field's reference\n"
    "implementation: \"reg\" (outcome regression, the default), \"ipw\"\n"
    "(standardised inverse probability weighting by a logit propensity score of\n"
    "the cohort against its comparison units on the covariates) or \"dr\" (doubly\n"
    "robust: that propensity score and the outcome regression); their influence\n"
    "functions include the estimation of both. Comparison units with a\n"
    "propensity of 0.995 or more are trimmed; a cell whose score does not\n"
    "converge, separates the units, is singular or reaches 0.999 raises\n"
    "ValueError. Without covariates all three are the unadjusted 2x2 DiD. ipw\n"
    "and dr need a complete panel (no NaN with missing=\"keep\").\n"
    "`min_e` / `max_e` bound the event times of the event study (and of its\n"
    "bands and `overall_dynamic_att`); `balance_e` keeps the cohorts observed\n"
    "for at least `balance_e` periods after adoption, so that every event time\n"
    "up to it averages the same cohorts. The calendar-time aggregation\n"
    "(`calendar_*`) averages, per period, the cohorts treated by then.",
    cfunction<fit_callaway_py>(),
};

}  // namespace quintara::bindings
