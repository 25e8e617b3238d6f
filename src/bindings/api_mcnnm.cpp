#include "bindings/api_mcnnm.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/mcnnm_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct FitMcnnmArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::optional<double> lambda_;
  std::uint64_t max_iter = 0;
  double tol = 0.0;
  std::uint64_t seed = 0;
  std::optional<std::uint64_t> max_rank;
};

const Params fit_mcnnm_params{"fit_mcnnm",
                              arg("y", &FitMcnnmArgs::y),
                              arg("treated", &FitMcnnmArgs::treated),
                              arg("treat_time", &FitMcnnmArgs::treat_time),
                              opt_arg("lambda_", &FitMcnnmArgs::lambda_),
                              arg("max_iter", &FitMcnnmArgs::max_iter, "200"),
                              arg("tol", &FitMcnnmArgs::tol, "1e-5"),
                              arg("seed", &FitMcnnmArgs::seed, "0"),
                              opt_arg("max_rank", &FitMcnnmArgs::max_rank)};

Ref fit_mcnnm(PyObject* args, PyObject* kwargs) {
  FitMcnnmArgs a = fit_mcnnm_params.parse(args, kwargs);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_periods);
  if (a.lambda_) validate::check_pos("lambda_", *a.lambda_);
  validate::check_min_count("max_iter", a.max_iter);
  validate::check_pos("tol", a.tol);
  if (a.max_rank) validate::check_min_count("max_rank", *a.max_rank);

  runs::McnnmRequest request{
      mat_from_numpy(a.y), std::move(a.treated), static_cast<std::size_t>(a.treat_time), {}};
  request.options.lambda = a.lambda_;
  if (a.max_rank) request.options.max_rank = static_cast<std::size_t>(*a.max_rank);
  request.options.max_iter = static_cast<std::size_t>(a.max_iter);
  request.options.tol = a.tol;
  request.options.seed = a.seed;
  return wrap(without_gil([&] { return runs::run_mcnnm(std::move(request)); }));
}

}  // namespace

const EntryDef fit_mcnnm_entry{
    &fit_mcnnm_params.signature(),
    "Fit Matrix-Completion NNM (Athey et al. 2021). `max_rank`, when set, uses a\n"
    "fast randomized truncated SVD inside SoftImpute (big speedup, low-rank cap).",
    cfunction<fit_mcnnm>(),
};

}  // namespace quintara::bindings
