#include "bindings/api_cpasc.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/cpasc_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct FitCpascArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::string mode;
  std::uint64_t n_strata = 0;
  std::optional<std::uint64_t> block_len;
  double sc_ridge = 0.0;
  std::optional<double> aug_lambda;
};

const Params fit_cpasc_params{"fit_cpasc",
                              arg("y", &FitCpascArgs::y),
                              arg("treated", &FitCpascArgs::treated),
                              arg("treat_time", &FitCpascArgs::treat_time),
                              arg("mode", &FitCpascArgs::mode, "\"mspe\""),
                              arg("n_strata", &FitCpascArgs::n_strata, "3"),
                              opt_arg("block_len", &FitCpascArgs::block_len),
                              arg("sc_ridge", &FitCpascArgs::sc_ridge, "0.0"),
                              opt_arg("aug_lambda", &FitCpascArgs::aug_lambda)};

// The mode comes first, before the data checks. The fit runs with the
// interpreter lock held: it is two weight solves per treated unit, on this
// thread.
Ref fit_cpasc(PyObject* args, PyObject* kwargs) {
  FitCpascArgs a = fit_cpasc_params.parse(args, kwargs);
  runs::CpascRequest request;
  request.options.mode = runs::parse_cpasc_mode(a.mode);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_periods);
  validate::check_nonneg("sc_ridge", a.sc_ridge);
  if (a.aug_lambda) validate::check_pos("aug_lambda", *a.aug_lambda);
  validate::check_min_count("n_strata", a.n_strata);
  if (a.block_len) validate::check_min_count("block_len", *a.block_len);
  request.options.sc_ridge = a.sc_ridge;
  request.options.aug_lambda = a.aug_lambda;
  request.options.n_strata = static_cast<std::size_t>(a.n_strata);
  if (a.block_len) request.options.block_len = static_cast<std::size_t>(*a.block_len);
  request.y = mat_from_numpy(a.y);
  request.treated = std::move(a.treated);
  request.t0 = static_cast<std::size_t>(a.treat_time);
  return wrap(runs::run_cpasc(std::move(request)));
}

}  // namespace

const EntryDef fit_cpasc_entry{
    &fit_cpasc_params.signature(),
    "Fit a CP-ASC-family estimator (novel). `mode` is \"mspe\" (CP-ASC),\n"
    "\"stratified\" (Strat-CP-ASC) or \"cumulative\" (C-AS-CP-ASC).",
    cfunction<fit_cpasc>(),
};

}  // namespace quintara::bindings
