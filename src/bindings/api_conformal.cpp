#include "bindings/api_conformal.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/format.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/sc_run.hpp"
#include "core/runs/user_error.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;
namespace validate = quintara::runs::validate;

namespace {

struct FitConformalArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::string method;
  double level = 0.0;
  std::optional<std::uint64_t> block_len;
  bool pointwise = true;
  double ridge = 0.0;
  double zeta_scale = 0.0;
  double min_weight = 0.0;
  double max_weight = 0.0;
};

const Params fit_conformal_params{"fit_conformal",
                                  arg("y", &FitConformalArgs::y),
                                  arg("treated", &FitConformalArgs::treated),
                                  arg("treat_time", &FitConformalArgs::treat_time),
                                  arg("method", &FitConformalArgs::method, "\"sc\""),
                                  arg("level", &FitConformalArgs::level, "0.95"),
                                  opt_arg("block_len", &FitConformalArgs::block_len),
                                  arg("pointwise", &FitConformalArgs::pointwise, "True"),
                                  arg("ridge", &FitConformalArgs::ridge, "0.0"),
                                  arg("zeta_scale", &FitConformalArgs::zeta_scale, "1.0"),
                                  arg("min_weight", &FitConformalArgs::min_weight, "0.0"),
                                  arg("max_weight", &FitConformalArgs::max_weight, "1.0")};

// The estimators whose null-imposed refit the test is calibrated for.
est::sc::Method conformal_method(const std::string& name) {
  const est::sc::Method m = runs::parse_exact_method(name);
  using enum est::sc::Method;
  if (m == Sc || m == Fp || m == Asc || m == Sdid) return m;
  throw runs::UserError(
      format("conformal inference is defined for sc, fp, asc and sdid; got '{}'", name));
}

Ref fit_conformal(PyObject* args, PyObject* kwargs) {
  FitConformalArgs a = fit_conformal_params.parse(args, kwargs);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_periods);
  const est::sc::Method method = conformal_method(a.method);
  validate::check_unit_interval("level", a.level);
  if (a.block_len) validate::check_min_count("block_len", *a.block_len);
  validate::check_nonneg("ridge", a.ridge);
  validate::check_multiplier("zeta_scale", a.zeta_scale);
  const auto [min_weight, max_weight] =
      validate::check_weight_bounds(n_units - a.treated.size(), a.min_weight, a.max_weight);
  runs::ScRequest request{
      mat_from_numpy(a.y),
      std::move(a.treated),
      static_cast<std::size_t>(a.treat_time),
      est::sc::batch_method(method, a.ridge, a.zeta_scale, min_weight, max_weight),
      runs::ScInference::Conformal,
      a.level,
      {}};
  if (a.block_len) request.conformal.block_len = static_cast<std::size_t>(*a.block_len);
  request.conformal.pointwise = a.pointwise;
  return wrap(without_gil([&] { return runs::run_sc(std::move(request)); }));
}

}  // namespace

const EntryDef fit_conformal_entry{
    &fit_conformal_params.signature(),
    "Fit a synthetic-control-family estimator with conformal inference\n"
    "(Chernozhukov, W\xC3\xBCthrich & Zhu 2021).\n"
    "\n"
    "For each constant effect tau the method (\"sc\", \"fp\", \"asc\" or \"sdid\") is\n"
    "refitted on all periods with the treated post-period lowered by tau; the\n"
    "post-period window's mean |residual| is ranked among the T cyclic windows of\n"
    "`block_len` periods (default: the post-period length; a shorter one tests the\n"
    "first `block_len` post periods only). `p_value` is the test of\n"
    "tau = 0; [`test_ci_lower`, `test_ci_upper`] are the effects it does not reject\n"
    "at `level`, found by root finding to 1e-6 relative; with `pointwise`,\n"
    "`pointwise_lower` / `pointwise_upper` hold each post period's interval. `ridge`\n"
    "is the SC / FP ridge and ASC's `sc_ridge`; `zeta_scale` reaches SDID only.",
    cfunction<fit_conformal>(),
};

}  // namespace quintara::bindings
