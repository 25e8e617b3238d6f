#include "core/runs/cells_run.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>

#include "core/format.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/selection_run.hpp"
#include "core/runs/user_error.hpp"
#include "core/runs/validate.hpp"

namespace quintara::runs {

namespace {

void check_length(const char* name, std::size_t n, std::size_t cells) {
  if (n != cells) {
    throw UserError(format("{} must have one entry per cell ({}); got {}", name, cells, n));
  }
}

void check_lift(std::size_t k, double lift, geo::Alternative alternative) {
  if (alternative != geo::Alternative::Less) {
    validate::check_pos(format("cell_lifts[{}]", k), lift);
  } else if (!std::isfinite(lift) || !(lift < 0.0 && lift > -1.0)) {
    throw UserError(format(
        "cell_lifts[{}] must be finite and in (-1, 0) for alternative='less'; got {}", k, lift));
  }
}

}  // namespace

std::vector<geo::CellSpec> cell_specs(const linalg::Mat& y, const CellInputs& in,
                                      geo::Alternative alternative, std::size_t test_len) {
  const std::size_t k = in.max_treated.size();
  if (k == 0) throw UserError("cell_max_treated must list at least one cell");
  check_length("cell_lifts", in.lifts.size(), k);
  if (in.budgets) check_length("cell_budgets", in.budgets->size(), k);
  std::vector<geo::CellSpec> cells(k);
  bool any_budget = false;
  for (std::size_t c = 0; c < k; ++c) {
    validate::check_min_count(format("cell_max_treated[{}]", c), in.max_treated[c]);
    check_lift(c, in.lifts[c], alternative);
    cells[c].max_treated = in.max_treated[c];
    cells[c].target_lift = in.lifts[c];
  }
  for (std::size_t c = 0; in.budgets && c < k; ++c) {
    const double b = (*in.budgets)[c];
    if (std::isnan(b)) continue;
    any_budget = true;
    cells[c].budget = b;
    cells[c].market_cost =
        market_costs(y, b, in.cost_per_unit, in.spend, in.lifts[c], test_len, in.treatable);
  }
  if (!any_budget && (in.cost_per_unit || in.spend)) {
    throw UserError("cost_per_unit and spend need a budget; pass cell_budgets= as well");
  }
  return cells;
}

void check_cell_pool(const geo::CellSettings& settings, std::size_t n_units) {
  const geo::SelectionSettings& s = settings.shared;
  const std::size_t k = settings.cells.size(), p = geo::cell_pool(settings).size();
  if (p < k) {
    throw UserError(
        format("the {} cells need at least {} eligible markets (one each); {} remain after exclude",
               k, k, p));
  }
  // Each cell clamped to the pool first: no cell treats more than p markets,
  // so the sum of k clamped sizes cannot wrap.
  std::size_t largest = 0;
  for (const geo::CellSpec& c : settings.cells) {
    largest = std::min(largest + std::min(c.max_treated, p), p);
  }
  std::size_t fewest = 0, most = 0;
  if (!s.exclude.empty() || s.control_pool) {
    const std::optional<std::vector<std::size_t>> exclude(s.exclude);
    std::tie(fewest, most) =
        check_controls(n_units, s.eligible, {}, exclude, s.control_pool, largest);
  } else {
    if (largest >= n_units) {
      throw UserError(format(
          "the cells together could treat all {} markets; at least one must remain as a control",
          n_units));
    }
    fewest = n_units - largest;
    most = n_units - k;
  }
  validate::check_weight_bounds(fewest, 0.0, s.max_weight);
  validate::check_weight_bounds(most, s.min_weight, s.max_weight);
}

namespace {

void check_cheapest(const geo::CellSettings& settings) {
  const std::vector<std::size_t> pool = geo::cell_pool(settings);
  for (std::size_t c = 0; c < settings.cells.size(); ++c) {
    const geo::CellSpec& cell = settings.cells[c];
    if (!cell.budget) continue;
    double cheapest = cell.market_cost[pool.front()];
    for (const std::size_t i : pool) cheapest = std::min(cheapest, cell.market_cost[i]);
    if (cheapest > *cell.budget) {
      throw UserError(format("cell {}'s budget {} is below its cheapest eligible market ({})", c,
                             *cell.budget, cheapest));
    }
  }
}

const char* search_name(const geo::CellPlan& plan) {
  if (plan.exhaustive) return "exhaustive";
  return plan.listed ? "listed" : "sampled";
}

}  // namespace

PyCellSelection run_cells(const CellsRequest& q) {
  check_cheapest(q.settings);
  const geo::CellPlan plan = geo::cell_designs(q.settings);
  if (plan.designs.empty()) throw UserError("no joint design fits the cells' budgets");
  PyCellSelection out;
  out.n_designs = plan.n_designs;
  out.n_scored = plan.designs.size();
  out.search = search_name(plan);
  for (geo::CellDesign& d : geo::select_cells(normalised_copy(q.y).first, q.settings, plan)) {
    PyCellDesign r;
    r.score = d.score;
    r.total = d.total;
    for (std::size_t c = 0; c < d.cells.size(); ++c) {
      PyMarketCandidate m = candidate_record(d.cells[c]);
      const geo::CellSpec& cell = q.settings.cells[c];
      if (cell.budget) {
        double cost = 0.0;
        for (const std::size_t i : m.treated) cost += cell.market_cost[i];
        m.cost = cost;
      }
      r.cells.push_back(std::move(m));
    }
    out.designs.push_back(std::move(r));
  }
  return out;
}

}  // namespace quintara::runs
