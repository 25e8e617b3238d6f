#include "bindings/api_geo_test.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/in_time_run.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct GeoTestArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::string method;
  double alpha = 0.0;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string alternative;
};

const Params geo_test_params{"geo_test",
                             arg("y", &GeoTestArgs::y),
                             arg("treated", &GeoTestArgs::treated),
                             arg("treat_time", &GeoTestArgs::treat_time),
                             arg("method", &GeoTestArgs::method, "\"sdid\""),
                             arg("alpha", &GeoTestArgs::alpha, "0.1"),
                             arg("min_pre", &GeoTestArgs::min_pre, "0"),
                             opt_arg("lookback", &GeoTestArgs::lookback),
                             arg("min_weight", &GeoTestArgs::min_weight, "0.0"),
                             arg("max_weight", &GeoTestArgs::max_weight, "1.0"),
                             arg("alternative", &GeoTestArgs::alternative, "\"two-sided\"")};

// The checks geo_power makes, in its order, with the windows counted inside
// the pre-period.
Ref geo_test(PyObject* args, PyObject* kwargs) {
  GeoTestArgs a = geo_test_params.parse(args, kwargs);
  runs::InTimeRequest request;
  request.method = runs::parse_method(a.method);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_periods);
  request.t0 = static_cast<std::size_t>(a.treat_time);
  request.min_pre = runs::check_in_time_windows(request.t0, n_periods, a.min_pre);
  validate::check_unit_interval("alpha", a.alpha);
  request.alpha = a.alpha;
  std::tie(request.min_weight, request.max_weight) =
      validate::check_weight_bounds(n_units - a.treated.size(), a.min_weight, a.max_weight);
  if (a.lookback) request.lookback = static_cast<std::size_t>(*a.lookback);
  request.alternative = runs::parse_alternative(a.alternative);
  request.y = mat_from_numpy(a.y);
  request.treated = std::move(a.treated);
  return wrap(without_gil([&] { return runs::run_in_time_test(request); }));
}

}  // namespace

const EntryDef geo_test_entry{
    &geo_test_params.signature(),
    "Analyse a finished geo experiment with the detection test of `geo_power`.\n"
    "\n"
    "The method (as `geo_power` fits it) is fitted with the treated markets\n"
    "treated from `treat_time`; the historical windows are those `geo_power`\n"
    "would use with `test_len` = the post-period length on the pre-period alone\n"
    "(`min_pre`, `lookback` as there). The test rejects when |ATT| exceeds their\n"
    "1 - `alpha` quantile of |ATT|, the rule behind `geo_power`'s `power`.\n"
    "`p_value` is the smallest alpha at which it rejects (0 beyond every window),\n"
    "[`test_ci_lower`, `test_ci_upper`] = att +- that quantile, the effects it does\n"
    "not reject; `inference_distribution` holds the windows' ATTs and `level` is\n"
    "1 - `alpha`. `alternative=\"greater\"` (\"less\") is the one-sided test of\n"
    "`geo_power` with that alternative: ATT above the 1 - `alpha` (below the\n"
    "`alpha`) quantile of the signed ATTs, and a one-sided interval.",
    cfunction<geo_test>(),
};

}  // namespace quintara::bindings
