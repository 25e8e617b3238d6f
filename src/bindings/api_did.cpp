#include "bindings/api_did.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/cohorts_doc.hpp"
#include "bindings/results.hpp"
#include "core/runs/did_run.hpp"
#include "core/runs/sampling.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;

namespace {

// The three entries share one parameter list; Goodman-Bacon takes only the
// panel and its cohorts.
struct StaggeredArgs {
  ArrayView y;
  std::vector<std::int64_t> cohorts;
  double level = 0.95;  // of the normal intervals
  std::string ssc;      // small-sample correction
  std::optional<std::vector<double>> weights;
  std::optional<std::vector<std::int64_t>> clusters;
  std::string missing = "refuse";
};

const Params fit_twfe_params{"fit_twfe_py",
                             arg("y", &StaggeredArgs::y),
                             arg("cohorts", &StaggeredArgs::cohorts),
                             arg("level", &StaggeredArgs::level, "0.95"),
                             arg("ssc", &StaggeredArgs::ssc, "\"cluster\""),
                             opt_arg("weights", &StaggeredArgs::weights),
                             opt_arg("clusters", &StaggeredArgs::clusters),
                             arg("missing", &StaggeredArgs::missing, "\"refuse\"")};
const Params fit_sunab_params{"fit_sunab_py",
                              arg("y", &StaggeredArgs::y),
                              arg("cohorts", &StaggeredArgs::cohorts),
                              arg("level", &StaggeredArgs::level, "0.95"),
                              arg("ssc", &StaggeredArgs::ssc, "\"none\""),
                              opt_arg("weights", &StaggeredArgs::weights),
                              opt_arg("clusters", &StaggeredArgs::clusters),
                              arg("missing", &StaggeredArgs::missing, "\"refuse\"")};
struct ImputationArgs {
  ArrayView y;
  std::vector<std::int64_t> cohorts;
  double level = 0.95;
  std::optional<std::vector<double>> weights;
  std::optional<std::vector<std::int64_t>> clusters;
  std::string missing = "refuse";
  std::optional<std::uint64_t> pretrends;
};

const Params fit_imputation_params{"fit_imputation_py",
                                   arg("y", &ImputationArgs::y),
                                   arg("cohorts", &ImputationArgs::cohorts),
                                   arg("level", &ImputationArgs::level, "0.95"),
                                   opt_arg("weights", &ImputationArgs::weights),
                                   opt_arg("clusters", &ImputationArgs::clusters),
                                   arg("missing", &ImputationArgs::missing, "\"refuse\""),
                                   opt_arg("pretrends", &ImputationArgs::pretrends)};

const Params bacon_params{"bacon_decompose_py", arg("y", &StaggeredArgs::y),
                          arg("cohorts", &StaggeredArgs::cohorts)};

// check_panel and the cohort count, then the copy into an owned Panel. Each
// entry then runs its design checks and fits that panel without the
// interpreter lock.
est::Panel staggered(const StaggeredArgs& a, bool keep_missing = false) {
  const std::size_t n_units = keep_missing ? std::get<0>(runs::validate::check_observed_panel(a.y))
                                           : runs::validate::check_panel(a.y).first;
  runs::check_cohort_count(a.cohorts.size(), n_units);
  return runs::staggered_panel(mat_from_numpy(a.y), a.cohorts);
}

// The panel (NaN cells kept when missing="keep") and its sampling, checked.
std::pair<est::Panel, est::Sampling> sampled(const StaggeredArgs& a, bool without_always_treated) {
  const bool keep = runs::parse_missing(a.missing);
  est::Panel panel = staggered(a, keep);
  est::Sampling sampling = runs::make_sampling(a.weights, a.clusters, panel.n_units());
  if (keep) runs::check_connected_periods(panel, without_always_treated);
  return {std::move(panel), std::move(sampling)};
}

Ref fit_twfe(PyObject* args, PyObject* kwargs) {
  const StaggeredArgs a = fit_twfe_params.parse(args, kwargs);
  const auto [panel, sampling] = sampled(a, false);
  runs::check_twfe_design(panel);
  runs::validate::check_unit_interval("level", a.level);
  const runs::Ssc ssc = runs::parse_ssc(a.ssc);
  return wrap(without_gil([&] { return runs::run_twfe(panel, a.level, ssc, sampling); }));
}

Ref fit_sunab(PyObject* args, PyObject* kwargs) {
  const StaggeredArgs a = fit_sunab_params.parse(args, kwargs);
  const auto [panel, sampling] = sampled(a, true);
  runs::check_sunab_design(panel);
  runs::validate::check_unit_interval("level", a.level);
  const runs::Ssc ssc = runs::parse_ssc(a.ssc);
  return wrap(without_gil([&] { return runs::run_sunab(panel, a.level, ssc, sampling); }));
}

Ref fit_imputation(PyObject* args, PyObject* kwargs) {
  const ImputationArgs a = fit_imputation_params.parse(args, kwargs);
  const bool keep = runs::parse_missing(a.missing);
  const std::size_t n_units = keep ? std::get<0>(runs::validate::check_observed_panel(a.y))
                                   : runs::validate::check_panel(a.y).first;
  runs::check_cohort_count(a.cohorts.size(), n_units);
  const est::Panel panel = runs::staggered_panel(mat_from_numpy(a.y), a.cohorts);
  const est::Sampling sampling = runs::make_sampling(a.weights, a.clusters, n_units);
  runs::require_estimable_cohort(panel, "Imputation");
  runs::validate::check_unit_interval("level", a.level);
  const std::size_t leads = runs::check_pretrends(panel, a.pretrends);
  return wrap(without_gil([&] { return runs::run_imputation(panel, a.level, sampling, leads); }));
}

Ref bacon_decompose(PyObject* args, PyObject* kwargs) {
  const est::Panel panel = staggered(bacon_params.parse(args, kwargs));
  runs::check_bacon_design(panel);
  return wrap(without_gil([&] { return runs::run_bacon(panel); }));
}

}  // namespace

// What the sampling options do, shared by both regressions' docstrings.
#define QUINTARA_SAMPLING_DOC                                                     \
  "\n`weights` (one positive weight per unit) makes it weighted least squares;\n" \
  "`clusters` (one integer code per unit, e.g. the state of each county)\n"       \
  "clusters the standard errors by those codes instead of by unit;\n"             \
  "missing=\"keep\" fits the observed cells of a panel whose missing cells\n"     \
  "are NaN (missing=\"refuse\" refuses any)."

const EntryDef fit_twfe_py_entry{
    &fit_twfe_params.signature(),
    "Two-way fixed-effects DiD with cluster-robust SE.\n" QUINTARA_COHORTS_DOC
        QUINTARA_SAMPLING_DOC,
    cfunction<fit_twfe>()};
const EntryDef fit_sunab_py_entry{
    &fit_sunab_params.signature(),
    "Sun & Abraham interaction-weighted event study.\n" QUINTARA_COHORTS_DOC QUINTARA_SAMPLING_DOC,
    cfunction<fit_sunab>()};

const EntryDef fit_imputation_py_entry{
    &fit_imputation_params.signature(),
    "Borusyak-Jaravel-Spiess imputation estimator with conservative SEs.\n"
    "Unit and period effects are fitted on the untreated cells only; each\n"
    "treated cell's effect is its outcome minus the imputed one. Returns the\n"
    "overall ATT (every treated cell weighted alike), the event study\n"
    "(horizons >= 0, and the pre-trend test's lead coefficients at -K..-1)\n"
    "with its covariance, and the pre-trend Wald test of `pretrends` leads\n"
    "(None: the most identified; 0: no test)." QUINTARA_COHORTS_DOC QUINTARA_SAMPLING_DOC,
    cfunction<fit_imputation>()};

#undef QUINTARA_SAMPLING_DOC
const EntryDef bacon_decompose_py_entry{
    &bacon_params.signature(),
    "Goodman-Bacon decomposition of the TWFE estimate into 2\xC3\x97"
    "2 comparisons.\n" QUINTARA_COHORTS_DOC,
    cfunction<bacon_decompose>()};

}  // namespace quintara::bindings
