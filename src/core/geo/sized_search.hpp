// The candidate search that spends its budget on the sizes asked for.
//
// The search of selection.cpp offers every single addition before drawing
// any larger set, so on a national design (some 200 markets) the singletons
// alone exhaust a budget of a few hundred. This search counts its budget
// across the requested numbers of added markets instead: each size gets an
// equal share of what is left after the sizes whose every set fits in their
// share have been enumerated outright (water-filling, smallest sizes first),
// so every size is represented and a small design is searched exhaustively.
// Within a size, the sets are all of them in lexicographic pool order when
// the quota covers them, a seeded random subset of the enumeration when the
// quota covers at least a quarter of an enumerable size, and otherwise
// distinct random draws (each a partial Fisher-Yates shuffle of the pool),
// which then repeat with probability below 3/4 per draw. One random stream,
// sizes in ascending order: the sets depend only on the settings and seed.
#pragma once

#include <cstddef>
#include <vector>

#include "core/geo/selection.hpp"

namespace quintara::geo {

// One requested size: the number of markets a candidate treats (include
// markets counted), how many distinct such sets the pool holds (a double:
// the count can pass 2^64; exact below 2^53), how many the search takes,
// and whether that is all of them.
struct SizeCount {
  std::size_t size = 0;
  double distinct = 0.0;
  std::size_t taken = 0;
  bool exhaustive = false;
  // Sets met above the budget and left out: all of them for an enumerated
  // size, those drawn otherwise (filled by sized_candidate_sets).
  std::size_t over_budget = 0;
};

// The plan of a sized search: the include set alone first when it is a
// candidate (its own row, taken once), then one row per added-market count.
// The budget is n_candidates, raised to one set per size when smaller.
std::vector<SizeCount> sized_plan(const SelectionSettings& settings);

// The candidate sets of the plan, sizes ascending, each set ascending. With
// a budget, sets above it are left out and counted; a sampled size then
// draws until its quota of affordable sets or 64 draws per set sought, and
// what the sizes fall short of their quotas a second pass offers the sizes
// with sets to spare, smallest first. `taken` in `plan` (when given: the
// plan as run) falls short of the budget only when the sizes together hold
// fewer affordable sets, or the draws run out. Without a budget the second
// pass never runs.
std::vector<std::vector<std::size_t>> sized_candidate_sets(const SelectionSettings& settings,
                                                           std::vector<SizeCount>* plan = nullptr);

}  // namespace quintara::geo
