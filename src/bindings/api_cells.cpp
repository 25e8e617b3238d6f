#include "bindings/api_cells.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/geo/cells.hpp"
#include "core/runs/cells_run.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/selection_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct CellsArgs {
  ArrayView y;
  std::vector<std::size_t> eligible;
  std::vector<std::size_t> cell_max_treated;
  std::vector<double> cell_lifts;
  std::uint64_t test_len = 0;
  std::optional<std::vector<double>> cell_budgets;
  std::string method;
  double alpha = 0.0;
  double target_power = 0.0;
  std::uint64_t min_pre = 0;
  std::uint64_t n_candidates = 0;
  std::uint64_t seed = 0;
  std::optional<std::uint64_t> lookback;
  std::optional<std::vector<std::size_t>> exclude;
  std::optional<std::vector<std::size_t>> control_pool;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::optional<double> cost_per_unit;
  std::optional<std::vector<double>> spend;
  std::string alternative;
  std::string solver;
};

using A = CellsArgs;
const Params geo_select_cells_params{"geo_select_cells",
                                     arg("y", &A::y),
                                     arg("eligible", &A::eligible),
                                     arg("cell_max_treated", &A::cell_max_treated),
                                     arg("cell_lifts", &A::cell_lifts),
                                     arg("test_len", &A::test_len),
                                     opt_arg("cell_budgets", &A::cell_budgets),
                                     arg("method", &A::method, "\"sdid\""),
                                     arg("alpha", &A::alpha, "0.1"),
                                     arg("target_power", &A::target_power, "0.8"),
                                     arg("min_pre", &A::min_pre, "0"),
                                     arg("n_candidates", &A::n_candidates, "200"),
                                     arg("seed", &A::seed, "0"),
                                     opt_arg("lookback", &A::lookback),
                                     opt_arg("exclude", &A::exclude),
                                     opt_arg("control_pool", &A::control_pool),
                                     arg("min_weight", &A::min_weight, "0.0"),
                                     arg("max_weight", &A::max_weight, "1.0"),
                                     opt_arg("cost_per_unit", &A::cost_per_unit),
                                     opt_arg("spend", &A::spend),
                                     arg("alternative", &A::alternative, "\"two-sided\""),
                                     arg("solver", &A::solver, "\"refit\"")};

// Every check, in order, then the validated request.
runs::CellsRequest validated_request(CellsArgs& a) {
  const runs::Method method = runs::parse_method(a.method);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  const std::size_t min_pre = validate::check_geo_window(a.test_len, a.min_pre, n_periods);
  validate::check_unit_interval("alpha", a.alpha);
  validate::check_unit_interval("target_power", a.target_power);
  const geo::Alternative alternative = runs::parse_alternative(a.alternative);
  validate::check_min_count("n_candidates", a.n_candidates);
  runs::check_eligible(a.eligible.size());
  validate::check_indices("eligible", a.eligible, n_units);
  if (a.exclude) validate::check_indices("exclude", *a.exclude, n_units);
  if (a.control_pool) validate::check_indices("control_pool", *a.control_pool, n_units);
  linalg::Mat y = mat_from_numpy(a.y);
  const runs::CellInputs inputs{
      std::move(a.cell_max_treated),
      std::move(a.cell_lifts),
      std::move(a.cell_budgets),
      a.cost_per_unit,
      std::move(a.spend),
      runs::treatable_markets(n_units, a.eligible, {},
                              a.exclude ? *a.exclude : std::vector<std::size_t>{})};

  runs::CellsRequest request{std::move(y), {}};
  geo::SelectionSettings& s = request.settings.shared;
  request.settings.cells =
      runs::cell_specs(request.y, inputs, alternative, static_cast<std::size_t>(a.test_len));
  s.lookback = a.lookback ? std::optional<std::size_t>(*a.lookback) : std::nullopt;
  s.eligible = std::move(a.eligible);
  if (a.exclude) s.exclude = std::move(*a.exclude);
  s.control_pool = std::move(a.control_pool);
  s.alternative = alternative;
  s.solver = runs::parse_solver(a.solver);
  s.test_len = static_cast<std::size_t>(a.test_len);
  s.alpha = a.alpha;
  s.target_power = a.target_power;
  s.min_pre = min_pre;
  s.n_candidates = static_cast<std::size_t>(a.n_candidates);
  s.seed = a.seed;
  s.min_weight = a.min_weight;
  s.max_weight = a.max_weight;
  s.method = method;
  runs::check_cell_pool(request.settings, n_units);
  return request;
}

Ref geo_select_cells(PyObject* args, PyObject* kwargs) {
  CellsArgs a = geo_select_cells_params.parse(args, kwargs);
  const runs::CellsRequest request = validated_request(a);
  return wrap(without_gil([&] { return runs::run_cells(request); }));
}

}  // namespace

const EntryDef geo_select_cells_entry{
    &geo_select_cells_params.signature(),
    "Search and rank joint multi-cell designs sharing one control pool.\n"
    "\n"
    "Cell k treats 1 to `cell_max_treated[k]` of the eligible markets (less\n"
    "`exclude`), no market in two cells, and is scored as geo_select scores a\n"
    "set: its power at `cell_lifts[k]` and its design diagnostics, with every\n"
    "other cell's markets excluded from its fits, so no treated market of any\n"
    "cell is a control. `cell_budgets[k]` (NaN: none) caps the cell's required\n"
    "investment, priced by `spend` or `cost_per_unit` at the cell's own lift.\n"
    "\n"
    "`n_candidates` counts joint designs. When every feasible design fits, all\n"
    "are scored (search \"exhaustive\"); otherwise the budget is shared among\n"
    "the cells' size combinations and a seeded subset (\"listed\") or distinct\n"
    "random designs (\"sampled\") are scored. Designs rank by the weakest cell's\n"
    "score, ties by the sum of the cells' scores, then in generation order.",
    cfunction<geo_select_cells>(),
};

}  // namespace quintara::bindings
