// The geo_select_cells entry's own checks, its computation after validation
// and the conversion of ranked joint designs into CellSelection records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/geo/cells.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// What the cells are given, one entry per cell; a NaN budget is none.
struct CellInputs {
  std::vector<std::size_t> max_treated;
  std::vector<double> lifts;
  std::optional<std::vector<double>> budgets;
  std::optional<double> cost_per_unit;
  std::optional<std::vector<double>> spend;
  std::vector<char> treatable;  // treatable_markets() of the request
};

// The cells of a request, costs priced at each cell's own lift. UserErrors:
// "cell_max_treated must list at least one cell"; "{cell_lifts,
// cell_budgets} must have one entry per cell ({}); got {}";
// "cell_max_treated[{}] must be >= 1; got 0"; a lift as check_pos names it
// ("cell_lifts[{}] ..."), or "cell_lifts[{}] must be finite and < 0 for
// alternative='less'; got {}"; the budget and cost checks of market_costs
// per budgeted cell, and "cost_per_unit and spend need a budget; pass
// cell_budgets= as well" when no cell has one.
std::vector<geo::CellSpec> cell_specs(const linalg::Mat& y, const CellInputs& in,
                                      geo::Alternative alternative, std::size_t test_len);

// The pool must give every cell a market and every design a control:
// "the {} cells need at least {} eligible markets (one each); {} remain
// after exclude"; without exclude and control_pool, "the cells together
// could treat all {} markets; at least one must remain as a control";
// with them, check_controls on the largest design. Then the weight bounds
// for the fewest and the most controls a design keeps.
void check_cell_pool(const geo::CellSettings& settings, std::size_t n_units);

struct CellsRequest {
  linalg::Mat y;
  geo::CellSettings settings;
};

// The ranked designs as a record, evaluated on y normalised by a power of
// two (every field is relative). UserError "no joint design fits the cells'
// budgets" when the generation finds none, and "cell {}'s budget {} is
// below its cheapest eligible market ({})" first when one cell alone cannot
// be served.
PyCellSelection run_cells(const CellsRequest& request);

}  // namespace quintara::runs
