#include "bindings/api_sensitivity.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bindings/array.hpp"
#include "core/runs/sensitivity_run.hpp"

namespace quintara::bindings {

namespace {

// A 1000-point grid with three pre-periods takes some 10^4 programs per
// value of m; the default leaves room for the breakdown search and for
// degenerate vertices, whose bisections take dozens each.
constexpr const char* kDefaultMaxLp = "5000000";

struct HonestDidArgs {
  std::vector<double> betahat;
  ArrayView sigma;
  std::uint64_t n_pre = 0;
  std::string kind;
  std::optional<std::vector<double>> m;
  std::optional<std::vector<double>> l_vec;
  double level = 0.95;
  std::uint64_t grid_points = 1000;
  bool hybrid = true;
  bool breakdown = true;
  std::uint64_t max_lp_solves = 0;
};

const Params honest_did_params{"honest_did_py",
                               arg("betahat", &HonestDidArgs::betahat),
                               arg("sigma", &HonestDidArgs::sigma),
                               arg("n_pre", &HonestDidArgs::n_pre),
                               arg("kind", &HonestDidArgs::kind, "\"relative_magnitude\""),
                               opt_arg("m", &HonestDidArgs::m),
                               opt_arg("l_vec", &HonestDidArgs::l_vec),
                               arg("level", &HonestDidArgs::level, "0.95"),
                               arg("grid_points", &HonestDidArgs::grid_points, "1000"),
                               arg("hybrid", &HonestDidArgs::hybrid, "True"),
                               arg("breakdown", &HonestDidArgs::breakdown, "True"),
                               arg("max_lp_solves", &HonestDidArgs::max_lp_solves, kDefaultMaxLp)};

Ref float_list(std::span<const double> v) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(v.size())));
  for (std::size_t i = 0; i < v.size(); ++i) {
    // PyList_SetItem steals the item reference, even on failure.
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_float(v[i]).release()));
  }
  return list;
}

void set(const Ref& dict, const char* key, const Ref& value) {
  check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

Ref honest_did(PyObject* args, PyObject* kwargs) {
  HonestDidArgs a = honest_did_params.parse(args, kwargs);
  runs::SensitivityCall call{std::move(a.betahat),
                             mat_from_numpy(a.sigma),
                             a.n_pre,
                             std::move(a.kind),
                             std::move(a.m),
                             std::move(a.l_vec),
                             a.level,
                             a.grid_points,
                             a.hybrid,
                             a.breakdown,
                             a.max_lp_solves};
  const inference::SensitivityRequest request = runs::check_sensitivity(std::move(call));
  const inference::SensitivityResult r =
      without_gil([&] { return runs::run_sensitivity(request); });
  Ref out = Ref::check(PyDict_New());
  set(out, "kind",
      new_str(request.kind == inference::SensitivityKind::smoothness ? "smoothness"
                                                                     : "relative_magnitude"));
  set(out, "m", float_list(r.m));
  set(out, "lower", float_list(r.lower));
  set(out, "upper", float_list(r.upper));
  set(out, "estimate", new_float(r.estimate));
  set(out, "se", new_float(r.se));
  set(out, "original_lower", new_float(r.original_lower));
  set(out, "original_upper", new_float(r.original_upper));
  set(out, "breakdown", std::isnan(r.breakdown) ? Ref::borrow(Py_None) : new_float(r.breakdown));
  set(out, "level", new_float(request.level));
  set(out, "lp_solves", new_uint(r.lp_solves));
  return out;
}

}  // namespace

const EntryDef honest_did_py_entry{
    &honest_did_params.signature(),
    "Sensitivity of an event study to violations of parallel trends\n"
    "(Rambachan & Roth): robust confidence intervals for l'tau_post, one per\n"
    "value of `m`.\n"
    "\n"
    "`betahat` holds the `n_pre` pre-period coefficients (reference period\n"
    "omitted) then the post-period ones; `sigma` (2-D float64) their covariance.\n"
    "`l_vec` weights the post-period coefficients (None: the first).\n"
    "kind=\"relative_magnitude\": post-period first differences of the trend at\n"
    "most m times the largest pre-period one, by the conditional /\n"
    "least-favourable hybrid test (kappa = alpha/10; hybrid=False: the\n"
    "conditional test alone) inverted over a `grid_points` grid;\n"
    "kind=\"smoothness\": second differences at most m, by\n"
    "the fixed-length interval. m=None: 0, 0.5, 1, 1.5, 2 (relative\n"
    "magnitudes) or those times a quarter of the largest pre-period SE\n"
    "(smoothness). Returns a dict: `m`, `lower`, `upper` (NaN where no value\n"
    "is accepted), `estimate`, `se`, `original_lower`/`original_upper` (the\n"
    "normal interval at `level`), `breakdown` (the largest m whose interval\n"
    "excludes 0, by bisection; None when m = 0 does not; inf when none\n"
    "includes it), `level`, `kind` and `lp_solves`. `max_lp_solves` bounds the\n"
    "linear programs solved (ValueError beyond it).",
    cfunction<honest_did>(),
};

}  // namespace quintara::bindings
