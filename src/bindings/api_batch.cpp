#include "bindings/api_batch.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/runs/batch_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;
namespace validate = quintara::runs::validate;

namespace {

struct FitManyArgs {
  Array3View y3;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::string method;
  double ridge = 0.0;
  double zeta_scale = 0.0;
  double min_weight = 0.0;
  double max_weight = 0.0;
};

const Params fit_many_params{"fit_many",
                             arg("y3", &FitManyArgs::y3),
                             arg("treated", &FitManyArgs::treated),
                             arg("treat_time", &FitManyArgs::treat_time),
                             arg("method", &FitManyArgs::method, "\"sc\""),
                             arg("ridge", &FitManyArgs::ridge, "0.0"),
                             arg("zeta_scale", &FitManyArgs::zeta_scale, "1.0"),
                             arg("min_weight", &FitManyArgs::min_weight, "0.0"),
                             arg("max_weight", &FitManyArgs::max_weight, "1.0")};

// Every replication is copied and checked, in order, before any is fitted;
// the method name is checked last, inside the run without the lock.
Ref fit_many(PyObject* args, PyObject* kwargs) {
  FitManyArgs a = fit_many_params.parse(args, kwargs);
  const std::size_t n_reps = a.y3.dim(0), n_units = a.y3.dim(1), n_periods = a.y3.dim(2);
  runs::check_stack_shape(n_reps, n_units, n_periods);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_periods);
  const auto [min_weight, max_weight] =
      validate::check_weight_bounds(n_units - a.treated.size(), a.min_weight, a.max_weight);
  // A NaN, infinite or negative penalty fits silently to NaN or to the wrong
  // problem; the single-fit entries refuse them with the same messages.
  validate::check_nonneg("ridge", a.ridge);
  validate::check_multiplier("zeta_scale", a.zeta_scale);
  const auto t0 = static_cast<std::size_t>(a.treat_time);
  runs::BatchRequest request;
  request.panels.reserve(n_reps);
  for (std::size_t r = 0; r < n_reps; ++r) {
    linalg::Mat y = mat_from_numpy_slice(a.y3, r);
    runs::check_replication_finite(y, r);
    request.panels.push_back(est::Panel::block(std::move(y), a.treated, t0));
  }
  request.t0 = t0;
  request.method = std::move(a.method);
  request.ridge = a.ridge;
  request.zeta_scale = a.zeta_scale;
  request.min_weight = min_weight;
  request.max_weight = max_weight;
  const std::vector<double> atts = without_gil([&] { return runs::run_batch(std::move(request)); });
  return new_float64_array(atts);
}

}  // namespace

const EntryDef fit_many_entry{
    &fit_many_params.signature(),
    "Batched, parallel fitting for Monte-Carlo / power-analysis / robustness runs.\n"
    "\n"
    "`y3` is a stack of panels of shape `(R, N, T)`: replication `r` is an\n"
    "`N\xC3\x97T` panel (rows = units, cols = periods), and every replication shares\n"
    "the same `treated` / `treat_time`. Returns an array of R ATTs, one per\n"
    "replication, computed in parallel with the interpreter lock released.\n"
    "`method` is \"sc\", \"asc\" or \"sdid\" (also \"fp\" and \"rsc\"); `ridge` is the\n"
    "SC / FP ridge and ASC's `sc_ridge`, `zeta_scale` reaches SDID only, and \"rsc\"\n"
    "ignores `ridge` and the weight bounds.",
    cfunction<fit_many>(),
};

}  // namespace quintara::bindings
