#include "bindings/api_power.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace {

struct GeoPowerArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t test_len = 0;
  std::vector<double> lifts;
  std::string method;
  double alpha = 0.0;
  double target_power = 0.0;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string alternative;
};

const Params geo_power_params{"geo_power",
                              arg("y", &GeoPowerArgs::y),
                              arg("treated", &GeoPowerArgs::treated),
                              arg("test_len", &GeoPowerArgs::test_len),
                              arg("lifts", &GeoPowerArgs::lifts),
                              arg("method", &GeoPowerArgs::method, "\"sdid\""),
                              arg("alpha", &GeoPowerArgs::alpha, "0.1"),
                              arg("target_power", &GeoPowerArgs::target_power, "0.8"),
                              arg("min_pre", &GeoPowerArgs::min_pre, "0"),
                              opt_arg("lookback", &GeoPowerArgs::lookback),
                              arg("min_weight", &GeoPowerArgs::min_weight, "0.0"),
                              arg("max_weight", &GeoPowerArgs::max_weight, "1.0"),
                              arg("alternative", &GeoPowerArgs::alternative, "\"two-sided\"")};

Ref geo_power(PyObject* args, PyObject* kwargs) {
  GeoPowerArgs a = geo_power_params.parse(args, kwargs);
  const runs::Method method = runs::parse_method(a.method);
  const runs::PowerWindow w = runs::check_power_args(a);
  const geo::Alternative alternative = runs::parse_alternative(a.alternative);
  const runs::PowerRequest request{mat_from_numpy(a.y),
                                   std::move(a.treated),
                                   static_cast<std::size_t>(a.test_len),
                                   w.min_pre,
                                   std::move(a.lifts),
                                   method,
                                   a.alpha,
                                   a.target_power,
                                   w.lookback,
                                   w.min_weight,
                                   w.max_weight,
                                   alternative};
  return wrap(without_gil([&] { return runs::run_power(request); }));
}

}  // namespace

const EntryDef geo_power_entry{
    &geo_power_params.signature(),
    "Power analysis for one method via historical placebo with injected lift.\n"
    "\n"
    "Every past window of `test_len` periods (split t0, with at least `min_pre`\n"
    "periods before it, 0 meaning `test_len` and at least 2; the last\n"
    "`lookback` windows when given) is fitted once\n"
    "as it happened, giving the null critical value `crit` (the 1 - `alpha`\n"
    "quantile of |ATT|), and once per lift with the treated markets' test\n"
    "periods multiplied by (1 + lift). `power` is the share of windows whose\n"
    "|ATT| exceeds `crit`; `mde_pct` is the lift where the curve first reaches\n"
    "`target_power`. Lifts are fractions (0.05 = +5%). `alternative` \"greater\"\n"
    "counts windows whose ATT is above the 1 - `alpha` quantile of the signed\n"
    "ATTs (a heavy-up test), \"less\" those below their `alpha` quantile (a\n"
    "go-dark test, with lifts <= 0).",
    cfunction<geo_power>(),
};

}  // namespace quintara::bindings
