#include "bindings/api_selection.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/geo/selection.hpp"
#include "core/geo/sized_search.hpp"
#include "core/runs/geo_run.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/selection_run.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace validate = quintara::runs::validate;

namespace {

struct GeoSelectArgs {
  ArrayView y;
  std::vector<std::size_t> eligible;
  std::uint64_t max_treated = 0;
  std::uint64_t test_len = 0;
  double target_lift = 0.0;
  std::string method;
  double alpha = 0.0;
  double target_power = 0.0;
  std::uint64_t min_pre = 0;
  std::uint64_t n_candidates = 0;
  std::uint64_t seed = 0;
  std::optional<std::uint64_t> exact_size;
  std::optional<std::uint64_t> lookback;
  std::optional<std::vector<std::size_t>> include;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string search;
  std::optional<std::vector<std::size_t>> exclude;
  std::optional<std::vector<std::size_t>> control_pool;
  std::uint64_t swaps = 0;
  std::optional<double> budget;
  std::optional<double> cost_per_unit;
  std::optional<std::vector<double>> spend;
  std::string alternative;
  std::string solver;
  std::vector<std::vector<std::size_t>> candidates;  // _evaluate_candidates only
};

// The geo_select parameters, with any `extra` ones after `y`: the private
// helpers take the same arguments, so the pure-Python layer passes one set of
// arguments to all of them.
template <class... Extra>
auto select_params(const char* name, Extra... extra) {
  using A = GeoSelectArgs;
  return Params{name,
                arg("y", &A::y),
                extra...,
                arg("eligible", &A::eligible),
                arg("max_treated", &A::max_treated),
                arg("test_len", &A::test_len),
                arg("target_lift", &A::target_lift),
                arg("method", &A::method, "\"sdid\""),
                arg("alpha", &A::alpha, "0.1"),
                arg("target_power", &A::target_power, "0.8"),
                arg("min_pre", &A::min_pre, "0"),
                arg("n_candidates", &A::n_candidates, "200"),
                arg("seed", &A::seed, "0"),
                opt_arg("exact_size", &A::exact_size),
                opt_arg("lookback", &A::lookback),
                opt_arg("include", &A::include),
                arg("min_weight", &A::min_weight, "0.0"),
                arg("max_weight", &A::max_weight, "1.0"),
                arg("search", &A::search, "\"random\""),
                opt_arg("exclude", &A::exclude),
                opt_arg("control_pool", &A::control_pool),
                arg("swaps", &A::swaps, "0"),
                opt_arg("budget", &A::budget),
                opt_arg("cost_per_unit", &A::cost_per_unit),
                opt_arg("spend", &A::spend),
                arg("alternative", &A::alternative, "\"two-sided\""),
                arg("solver", &A::solver, "\"refit\"")};
}

const auto geo_select_params = select_params("geo_select");
const auto select_candidates_params = select_params("_select_candidates");
const auto candidate_counts_params = select_params("_candidate_counts");
const auto evaluate_candidates_params =
    select_params("_evaluate_candidates", arg("candidates", &GeoSelectArgs::candidates));

struct RankArgs {
  std::vector<double> scores;
};

const Params rank_candidates_params{"_rank_candidates", arg("scores", &RankArgs::scores)};

std::optional<std::size_t> as_size(std::optional<std::uint64_t> v) {
  if (!v) return std::nullopt;
  return static_cast<std::size_t>(*v);
}

template <class T>
Ref list_of(std::vector<T> items) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    Ref item;
    if constexpr (std::is_same_v<T, PyMarketCandidate>) {
      item = wrap(std::move(items[i]));
    } else if constexpr (std::is_same_v<T, std::size_t>) {
      item = new_uint(items[i]);
    } else {
      item = list_of(std::move(items[i]));
    }
    // PyList_SetItem steals the item reference, even on failure.
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()));
  }
  return list;
}

// Every geo_select check, in its order, then the validated request.
runs::SelectionRequest validated_request(GeoSelectArgs& a) {
  const runs::Method method = runs::parse_method(a.method);
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  const std::size_t min_pre = validate::check_geo_window(a.test_len, a.min_pre, n_periods);
  validate::check_unit_interval("alpha", a.alpha);
  validate::check_unit_interval("target_power", a.target_power);
  const geo::Alternative alternative = runs::parse_alternative(a.alternative);
  if (alternative == geo::Alternative::Less) {
    runs::check_decrease(a.target_lift);
  } else {
    validate::check_pos("target_lift", a.target_lift);
  }
  validate::check_min_count("max_treated", a.max_treated);
  runs::check_max_treated(a.max_treated, n_units);
  validate::check_min_count("n_candidates", a.n_candidates);
  runs::check_eligible(a.eligible.size());
  validate::check_indices("eligible", a.eligible, n_units);
  std::vector<std::size_t> include = a.include ? std::move(*a.include) : std::vector<std::size_t>{};
  validate::check_indices("include", include, n_units);
  std::sort(include.begin(), include.end());
  include.erase(std::unique(include.begin(), include.end()), include.end());
  if (a.exact_size) {
    validate::check_min_count("exact_size", *a.exact_size);
    runs::check_exact_size(*a.exact_size, include.size(), n_units);
  }
  runs::check_include_leaves_control(include.size(), n_units);
  if (a.exclude) validate::check_indices("exclude", *a.exclude, n_units);
  if (a.control_pool) validate::check_indices("control_pool", *a.control_pool, n_units);
  linalg::Mat y = mat_from_numpy(a.y);
  // The cap must be feasible for the smallest donor pool a candidate can
  // leave, the floor for the largest.
  const std::uint64_t largest = a.exact_size ? *a.exact_size : a.max_treated;
  if (a.exclude || a.control_pool) {
    const auto [fewest, most] =
        runs::check_controls(n_units, a.eligible, include, a.exclude, a.control_pool, largest);
    validate::check_weight_bounds(fewest, 0.0, a.max_weight);
    validate::check_weight_bounds(most, a.min_weight, a.max_weight);
  } else {
    validate::check_weight_bounds(n_units > largest ? n_units - largest : 0, 0.0, a.max_weight);
    validate::check_weight_bounds(n_units - 1, a.min_weight, a.max_weight);
  }

  runs::SelectionRequest request{std::move(y), {}};
  geo::SelectionSettings& s = request.settings;
  s.exact_size = as_size(a.exact_size);
  s.lookback = as_size(a.lookback);
  s.eligible = std::move(a.eligible);
  s.include = std::move(include);
  if (a.exclude) s.exclude = std::move(*a.exclude);
  s.control_pool = std::move(a.control_pool);
  s.swaps = static_cast<std::size_t>(a.swaps);
  s.alternative = alternative;
  if (a.budget || a.cost_per_unit || a.spend) {
    s.budget = a.budget;
    const std::vector<char> treatable =
        runs::treatable_markets(n_units, s.eligible, s.include, s.exclude);
    s.market_cost = runs::market_costs(request.y, a.budget, a.cost_per_unit, a.spend, a.target_lift,
                                       static_cast<std::size_t>(a.test_len), treatable);
  }
  s.max_treated = static_cast<std::size_t>(a.max_treated);
  s.test_len = static_cast<std::size_t>(a.test_len);
  s.target_lift = a.target_lift;
  s.alpha = a.alpha;
  s.target_power = a.target_power;
  s.min_pre = min_pre;
  s.n_candidates = static_cast<std::size_t>(a.n_candidates);
  s.seed = a.seed;
  s.min_weight = a.min_weight;
  s.max_weight = a.max_weight;
  s.method = method;
  s.search = runs::parse_search(a.search);
  s.solver = runs::parse_solver(a.solver);
  return request;
}

Ref geo_select(PyObject* args, PyObject* kwargs) {
  GeoSelectArgs a = geo_select_params.parse(args, kwargs);
  const runs::SelectionRequest request = validated_request(a);
  return list_of(without_gil([&] { return runs::run_selection(request); }));
}

Ref select_candidates(PyObject* args, PyObject* kwargs) {
  GeoSelectArgs a = select_candidates_params.parse(args, kwargs);
  const runs::SelectionRequest request = validated_request(a);
  return list_of(runs::run_candidate_sets(request));
}

// One dict per requested size: size, distinct (a float: the count can pass
// 2^64), taken, exhaustive, over_budget, as search="sized" runs them.
Ref candidate_counts(PyObject* args, PyObject* kwargs) {
  GeoSelectArgs a = candidate_counts_params.parse(args, kwargs);
  const runs::SelectionRequest request = validated_request(a);
  std::vector<geo::SizeCount> rows;
  geo::sized_candidate_sets(request.settings, &rows);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Ref d = Ref::check(PyDict_New());
    check_status(PyDict_SetItemString(d.get(), "size", new_uint(rows[i].size).get()));
    check_status(PyDict_SetItemString(d.get(), "distinct",
                                      Ref::check(PyFloat_FromDouble(rows[i].distinct)).get()));
    check_status(PyDict_SetItemString(d.get(), "taken", new_uint(rows[i].taken).get()));
    check_status(PyDict_SetItemString(d.get(), "exhaustive",
                                      Ref::check(PyBool_FromLong(rows[i].exhaustive)).get()));
    check_status(PyDict_SetItemString(d.get(), "over_budget", new_uint(rows[i].over_budget).get()));
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d.release()));
  }
  return list;
}

Ref evaluate_candidates(PyObject* args, PyObject* kwargs) {
  GeoSelectArgs a = evaluate_candidates_params.parse(args, kwargs);
  const runs::SelectionRequest request = validated_request(a);
  runs::check_candidates(a.candidates, request.settings, request.y.rows);
  return list_of(without_gil([&] { return runs::run_evaluation(request, a.candidates); }));
}

Ref rank_candidates(PyObject* args, PyObject* kwargs) {
  const RankArgs a = rank_candidates_params.parse(args, kwargs);
  return list_of(geo::rank_order(a.scores));
}

}  // namespace

const EntryDef geo_select_entry{
    &geo_select_params.signature(),
    "Search and rank candidate treatment-market sets.\n"
    "\n"
    "Candidates are the `include` markets alone, the `include` markets plus each\n"
    "single eligible market, then random sets drawn from the eligible markets\n"
    "(seeded by `seed`) until `n_candidates` distinct sets exist or the attempt\n"
    "limit is reached; with `exact_size` every set has that many markets. Each\n"
    "set is scored by its power at `target_lift` (a power curve at 0, 0.5, 1,\n"
    "1.5 and 2 times `target_lift`), its design-diagnostics confidence and its\n"
    "minimal detectable effect. Returns every candidate, best score first.\n"
    "\n"
    "`search=\"sized\"` spends the `n_candidates` budget across the requested\n"
    "sizes instead (every size from 1 to `max_treated` added markets, or\n"
    "`exact_size`): each size gets an equal share, sizes whose every set fits\n"
    "in their share are enumerated whole and hand on the rest, so every size\n"
    "is represented and a small design is searched exhaustively.\n"
    "\n"
    "`exclude` markets are neither treated nor used as controls; with\n"
    "`control_pool` only those markets serve as controls (less the candidate's\n"
    "own). Both restrict each candidate's fits and diagnostics to its markets\n"
    "and its controls. `swaps` more evaluations improve the best candidate by\n"
    "single swaps (one market out, one eligible market in) until no swap beats\n"
    "it; the swapped sets join the ranked list.\n"
    "\n"
    "With `budget`, each set's required investment for `target_lift` is the sum\n"
    "of its markets' `spend` (one per market) or `cost_per_unit` times the\n"
    "incremental units the lift would bring (or, for a decrease, withhold:\n"
    "|`target_lift`| x `test_len` x each market's mean per period); sets above\n"
    "the budget are never proposed.\n"
    "`alternative` \"greater\" or \"less\" scores a one-sided test for an\n"
    "increase (heavy-up) or a decrease (go-dark: -1 < `target_lift` < 0).\n"
    "\n"
    "`solver=\"shared\"` (methods \"sdid\" and \"sc\") forms each window's Gram\n"
    "matrix of every market once per call and solves each candidate's fits on\n"
    "its principal submatrices: the same fits, equal to the default \"refit\"\n"
    "to rounding, at a fraction of the cost on large searches.",
    cfunction<geo_select>(),
};

const EntryDef select_candidates_entry{
    &select_candidates_params.signature(),
    "The candidate sets geo_select would evaluate, in production order (private).",
    cfunction<select_candidates>(),
};

const EntryDef candidate_counts_entry{
    &candidate_counts_params.signature(),
    "Per requested size, the distinct sets the pool holds and how many\n"
    "search=\"sized\" takes (private).",
    cfunction<candidate_counts>(),
};

const EntryDef evaluate_candidates_entry{
    &evaluate_candidates_params.signature(),
    "MarketCandidate of each set in `candidates`, in the given order, as geo_select\n"
    "scores it (private).",
    cfunction<evaluate_candidates>(),
};

const EntryDef rank_candidates_entry{
    &rank_candidates_params.signature(),
    "Indices of `scores` in geo_select's ranking order, best first (private).",
    cfunction<rank_candidates>(),
};

}  // namespace quintara::bindings
