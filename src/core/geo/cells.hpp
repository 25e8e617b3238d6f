// Multi-cell designs: K cells, each with its own lift, size limit and
// budget, whose treated sets are disjoint and share one control pool.
//
// A joint design gives cell k a set of 1 to max_treated markets from the
// eligible pool (eligible less exclude), no market in two cells, each set
// within its cell's budget. Cell k is scored by geo::evaluate with the
// shared settings, its own lift, and `exclude` extended by every other
// cell's markets, so no treated market of any cell is ever a control.
//
// Designs are grouped by their size tuple (s_1, ..., s_K), tuples in
// lexicographic order; within a tuple, cell 1's set varies slowest and each
// cell's sets run in lexicographic pool order. When the budget-free count of
// designs is small enough to list, every feasible design is listed; the
// n_candidates budget is then shared among the tuples by water-filling
// (tuples whose designs fit in an equal share of what is left are taken
// whole and hand on the rest), a tuple above its share giving a seeded
// random subset of its designs in listing order. When every feasible design
// fits, the search is exhaustive. Otherwise the shares are counted on the
// budget-free counts and each tuple draws distinct designs (a partial
// Fisher-Yates shuffle of the pool dealt to the cells in order) until its
// share is met or 64 draws per design sought. One random stream, tuples in
// order: the designs depend only on the settings and the seed.
//
// Ranking: by the weakest cell's score (the minimum over cells), ties by
// the sum of the cells' scores, then in generation order, under the IEEE
// total order. Every (design, cell) pair is evaluated in parallel; results
// are identical for any number of workers.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/geo/selection.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

struct CellSpec {
  std::size_t max_treated = 1;
  double target_lift = 0.05;
  // With a budget, the cell's set costs the sum of its markets' entries of
  // market_cost (priced at this cell's lift) and must stay within it.
  std::optional<double> budget;
  std::vector<double> market_cost;
};

// `shared` carries everything common to the cells: eligible, exclude,
// control_pool, test window, method, alpha, target power, weight bounds,
// alternative, n_candidates (joint designs) and seed. Its include,
// exact_size, max_treated, target_lift, budget, search and swaps are not used.
struct CellSettings {
  SelectionSettings shared;
  std::vector<CellSpec> cells;
};

// One joint design: one treated set per cell, each ascending.
using JointDesign = std::vector<std::vector<std::size_t>>;

struct CellPlan {
  std::vector<JointDesign> designs;  // in generation order
  // Feasible designs in all when they were listed; otherwise the count
  // without budgets (an upper bound). A double: the count can pass 2^64.
  double n_designs = 0.0;
  bool listed = false;      // every feasible design was listed
  bool exhaustive = false;  // and every one is in `designs`
};

struct CellDesign {
  std::vector<MarketCandidate> cells;  // one per cell, in cell order
  double score = 0.0;                  // the weakest cell's score
  double total = 0.0;                  // the cells' scores summed
};

// The eligible markets no cell may leave out: eligible less exclude,
// ascending, without repeats.
std::vector<std::size_t> cell_pool(const CellSettings& settings);

// The settings cell k of `design` is scored with.
SelectionSettings cell_settings(const CellSettings& settings, const JointDesign& design,
                                std::size_t k);

// The designs to score; pure, so the generation is testable on its own.
CellPlan cell_designs(const CellSettings& settings);

// Every design of the plan evaluated, best first.
std::vector<CellDesign> select_cells(const linalg::Mat& y, const CellSettings& settings,
                                     const CellPlan& plan);

}  // namespace quintara::geo
