#include "bindings/api_analyze.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/format.hpp"
#include "core/runs/analysis_run.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/in_time_run.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/user_error.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct GeoAnalyzeArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::optional<std::uint64_t> end_time;
  std::string method;
  double alpha = 0.0;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string alternative;
  std::optional<double> spend;
};

const Params geo_analyze_params{"geo_analyze",
                                arg("y", &GeoAnalyzeArgs::y),
                                arg("treated", &GeoAnalyzeArgs::treated),
                                arg("treat_time", &GeoAnalyzeArgs::treat_time),
                                opt_arg("end_time", &GeoAnalyzeArgs::end_time),
                                arg("method", &GeoAnalyzeArgs::method, "\"sdid\""),
                                arg("alpha", &GeoAnalyzeArgs::alpha, "0.1"),
                                arg("min_pre", &GeoAnalyzeArgs::min_pre, "0"),
                                opt_arg("lookback", &GeoAnalyzeArgs::lookback),
                                arg("min_weight", &GeoAnalyzeArgs::min_weight, "0.0"),
                                arg("max_weight", &GeoAnalyzeArgs::max_weight, "1.0"),
                                arg("alternative", &GeoAnalyzeArgs::alternative, "\"two-sided\""),
                                opt_arg("spend", &GeoAnalyzeArgs::spend)};

// The last period the test covers, exclusive: after treat_time, within y.
std::size_t check_end_time(std::optional<std::uint64_t> end_time, std::uint64_t treat_time,
                           std::size_t n_periods) {
  if (!end_time) return n_periods;
  if (*end_time <= treat_time || *end_time > n_periods) {
    throw runs::UserError(
        format("end_time must be after treat_time ({}) and at most n_periods ({}); got {}",
               treat_time, n_periods, *end_time));
  }
  return static_cast<std::size_t>(*end_time);
}

// geo_test's checks, in its order, on the periods before end_time.
Ref geo_analyze(PyObject* args, PyObject* kwargs) {
  GeoAnalyzeArgs a = geo_analyze_params.parse(args, kwargs);
  runs::AnalysisRequest request;
  request.method = runs::parse_method(a.method);
  const auto [n_units, n_all] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_all);
  const std::size_t n_periods = check_end_time(a.end_time, a.treat_time, n_all);
  request.t0 = static_cast<std::size_t>(a.treat_time);
  request.min_pre = runs::check_in_time_windows(request.t0, n_periods, a.min_pre);
  validate::check_unit_interval("alpha", a.alpha);
  request.alpha = a.alpha;
  std::tie(request.min_weight, request.max_weight) =
      validate::check_weight_bounds(n_units - a.treated.size(), a.min_weight, a.max_weight);
  if (a.lookback) request.lookback = static_cast<std::size_t>(*a.lookback);
  request.alternative = runs::parse_alternative(a.alternative);
  if (a.spend) {
    if (!(std::isfinite(*a.spend) && *a.spend > 0.0)) {
      throw runs::UserError(format("spend must be finite and > 0; got {}", *a.spend));
    }
    request.spend = a.spend;
  }
  linalg::Mat y = mat_from_numpy(a.y);
  if (n_periods < y.cols) {
    // Column-major: the first n_periods columns are a prefix of the data.
    y.data.resize(y.rows * n_periods);
    y.cols = n_periods;
  }
  request.y = std::move(y);
  request.treated = std::move(a.treated);
  return wrap(without_gil([&] { return runs::run_analysis(request); }));
}

}  // namespace

const EntryDef geo_analyze_entry{
    &geo_analyze_params.signature(),
    "Analyse a finished geo experiment: effect paths, lift, incremental units, iROAS.\n"
    "\n"
    "The test is `geo_test`'s on the periods before `end_time` (all when None):\n"
    "the method fitted with the treated markets treated from `treat_time`, decided\n"
    "against the historical windows of the post-period's length in the pre-period.\n"
    "`att`, `p_value` and [`ci_lower`, `ci_upper`] are `geo_test`'s; `incremental`\n"
    "(att x n_post x n_treated), `lift_pct` (incremental over the counterfactual\n"
    "total, in percent) and, with `spend` (the test's total spend, > 0), `iroas`\n"
    "(incremental / spend) and `cost_per_incremental` (spend / incremental) are the\n"
    "same number rescaled, so each has the test's p-value and its interval is the\n"
    "test's, rescaled. `effect` and `cumulative` carry pointwise bands from the\n"
    "windows' effects at the same offset; the cumulative band's last point is the\n"
    "test's interval. `se` is the windows' ATT spread (the null standard deviation).",
    cfunction<geo_analyze>(),
};

}  // namespace quintara::bindings
