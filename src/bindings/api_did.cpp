#include "bindings/api_did.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/did_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;

namespace {

// The three entries share one parameter list.
struct StaggeredArgs {
  ArrayView y;
  std::vector<std::int64_t> cohorts;
  double level = 0.95;  // of the normal intervals; Goodman-Bacon has none
  std::string ssc;      // small-sample correction; Goodman-Bacon has none
};

const Params fit_twfe_params{
    "fit_twfe_py", arg("y", &StaggeredArgs::y), arg("cohorts", &StaggeredArgs::cohorts),
    arg("level", &StaggeredArgs::level, "0.95"), arg("ssc", &StaggeredArgs::ssc, "\"cluster\"")};
const Params fit_sunab_params{
    "fit_sunab_py", arg("y", &StaggeredArgs::y), arg("cohorts", &StaggeredArgs::cohorts),
    arg("level", &StaggeredArgs::level, "0.95"), arg("ssc", &StaggeredArgs::ssc, "\"none\"")};
const Params bacon_params{"bacon_decompose_py", arg("y", &StaggeredArgs::y),
                          arg("cohorts", &StaggeredArgs::cohorts)};

// check_panel and the cohort count, then the copy into an owned Panel. Each
// entry then runs its design checks and fits that panel without the
// interpreter lock.
est::Panel staggered(const StaggeredArgs& a) {
  const auto [n_units, n_periods] = runs::validate::check_panel(a.y);
  runs::check_cohort_count(a.cohorts.size(), n_units);
  return runs::staggered_panel(mat_from_numpy(a.y), a.cohorts);
}

Ref fit_twfe(PyObject* args, PyObject* kwargs) {
  const StaggeredArgs a = fit_twfe_params.parse(args, kwargs);
  const est::Panel panel = staggered(a);
  runs::check_twfe_design(panel);
  runs::validate::check_unit_interval("level", a.level);
  const runs::Ssc ssc = runs::parse_ssc(a.ssc);
  return wrap(without_gil([&] { return runs::run_twfe(panel, a.level, ssc); }));
}

Ref fit_sunab(PyObject* args, PyObject* kwargs) {
  const StaggeredArgs a = fit_sunab_params.parse(args, kwargs);
  const est::Panel panel = staggered(a);
  runs::check_sunab_design(panel);
  runs::validate::check_unit_interval("level", a.level);
  const runs::Ssc ssc = runs::parse_ssc(a.ssc);
  return wrap(without_gil([&] { return runs::run_sunab(panel, a.level, ssc); }));
}

Ref bacon_decompose(PyObject* args, PyObject* kwargs) {
  const est::Panel panel = staggered(bacon_params.parse(args, kwargs));
  runs::check_bacon_design(panel);
  return wrap(without_gil([&] { return runs::run_bacon(panel); }));
}

}  // namespace

const EntryDef fit_twfe_py_entry{&fit_twfe_params.signature(),
                                 "Two-way fixed-effects DiD with cluster-robust SE.",
                                 cfunction<fit_twfe>()};
const EntryDef fit_sunab_py_entry{&fit_sunab_params.signature(),
                                  "Sun & Abraham interaction-weighted event study.",
                                  cfunction<fit_sunab>()};
const EntryDef bacon_decompose_py_entry{
    &bacon_params.signature(),
    "Goodman-Bacon decomposition of the TWFE estimate into 2\xC3\x97"
    "2 comparisons.",
    cfunction<bacon_decompose>()};

}  // namespace quintara::bindings
