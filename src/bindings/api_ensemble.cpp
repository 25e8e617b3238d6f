#include "bindings/api_ensemble.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/runs/ensemble_run.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace {

struct GeoPowerEnsembleArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t test_len = 0;
  std::vector<double> lifts;
  double alpha = 0.0;
  double target_power = 0.0;
  std::uint64_t min_pre = 0;
  std::optional<std::uint64_t> lookback;
  std::optional<std::vector<double>> weights;
  std::optional<std::vector<std::string>> members;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string alternative;
};

const Params geo_power_ensemble_params{
    "geo_power_ensemble",
    arg("y", &GeoPowerEnsembleArgs::y),
    arg("treated", &GeoPowerEnsembleArgs::treated),
    arg("test_len", &GeoPowerEnsembleArgs::test_len),
    arg("lifts", &GeoPowerEnsembleArgs::lifts),
    arg("alpha", &GeoPowerEnsembleArgs::alpha, "0.1"),
    arg("target_power", &GeoPowerEnsembleArgs::target_power, "0.8"),
    arg("min_pre", &GeoPowerEnsembleArgs::min_pre, "0"),
    opt_arg("lookback", &GeoPowerEnsembleArgs::lookback),
    opt_arg("weights", &GeoPowerEnsembleArgs::weights),
    opt_arg("members", &GeoPowerEnsembleArgs::members),
    arg("min_weight", &GeoPowerEnsembleArgs::min_weight, "0.0"),
    arg("max_weight", &GeoPowerEnsembleArgs::max_weight, "1.0"),
    arg("alternative", &GeoPowerEnsembleArgs::alternative, "\"two-sided\"")};

Ref geo_power_ensemble(PyObject* args, PyObject* kwargs) {
  GeoPowerEnsembleArgs a = geo_power_ensemble_params.parse(args, kwargs);
  std::vector<runs::Method> members = runs::parse_members(a.members);
  if (a.weights) runs::check_ensemble_weights(*a.weights, members.size());
  const runs::PowerWindow w = runs::check_power_args(a);
  const runs::EnsembleRequest request{mat_from_numpy(a.y),
                                      std::move(a.treated),
                                      static_cast<std::size_t>(a.test_len),
                                      w.min_pre,
                                      std::move(a.lifts),
                                      std::move(members),
                                      std::move(a.weights),
                                      a.alpha,
                                      a.target_power,
                                      w.lookback,
                                      w.min_weight,
                                      w.max_weight,
                                      runs::parse_alternative(a.alternative)};
  return wrap(without_gil([&] { return runs::run_power_ensemble(request); }));
}

}  // namespace

const EntryDef geo_power_ensemble_entry{
    &geo_power_ensemble_params.signature(),
    "Power analysis for a **weighted-average ensemble** of base methods.\n"
    "\n"
    "`members` names the estimators to blend (default SC + ASC + SDID; any of\n"
    "\"sc\", \"asc\", \"sdid\", \"fp\", \"rsc\", repeats counting as separate\n"
    "members). `weights` is one non-negative number per member, or `None` for\n"
    "data-driven inverse-variance weights from each method's historical-null\n"
    "spread. In every placebo window the members' ATTs are combined with these\n"
    "weights before power is computed, by the rules of `geo_power`; the\n"
    "normalized weights are returned as `ensemble_weights`. `alternative` is\n"
    "`geo_power`'s: \"greater\" or \"less\" tests the blended ATTs one-sided.",
    cfunction<geo_power_ensemble>(),
};

}  // namespace quintara::bindings
