// Joint multi-cell designs: the shares of the size tuples (counted by hand
// below), listing order within a tuple, disjointness, the sampled counts.
#include "core/geo/cells.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <vector>

namespace quintara::geo {
namespace {

using Set = std::vector<std::size_t>;

CellSettings cells(std::size_t n_eligible, std::vector<std::size_t> sizes, std::size_t budget,
                   std::uint64_t seed = 0) {
  CellSettings s;
  for (std::size_t i = 0; i < n_eligible; ++i) s.shared.eligible.push_back(i);
  s.shared.n_candidates = budget;
  s.shared.seed = seed;
  for (const std::size_t m : sizes) s.cells.push_back({m, 0.05, std::nullopt, {}});
  return s;
}

// Designs per size tuple; and that every design is disjoint, ascending,
// within its cells' sizes, and distinct.
std::map<std::vector<std::size_t>, std::size_t> tuples(const CellSettings& s,
                                                       const std::vector<JointDesign>& designs) {
  std::map<std::vector<std::size_t>, std::size_t> out;
  std::set<JointDesign> seen;
  for (const JointDesign& d : designs) {
    EXPECT_TRUE(seen.insert(d).second);
    std::vector<std::size_t> t;
    std::set<std::size_t> used;
    for (std::size_t k = 0; k < d.size(); ++k) {
      EXPECT_TRUE(std::is_sorted(d[k].begin(), d[k].end()));
      EXPECT_GE(d[k].size(), 1u);
      EXPECT_LE(d[k].size(), s.cells[k].max_treated);
      for (const std::size_t m : d[k]) EXPECT_TRUE(used.insert(m).second);
      t.push_back(d[k].size());
    }
    ++out[t];
  }
  return out;
}

TEST(Cells, SharesFollowTheTuplesCounts) {
  // Four markets, cells of up to 2 and 1: (1,1) has 4*3 = 12 designs, (2,1)
  // has 6*2 = 12. Ten designs: five each; thirty: all 24.
  const CellSettings ten = cells(4, {2, 1}, 10);
  const CellPlan some = cell_designs(ten);
  EXPECT_TRUE(some.listed);
  EXPECT_FALSE(some.exhaustive);
  EXPECT_EQ(some.n_designs, 24.0);
  using T = std::vector<std::size_t>;
  EXPECT_EQ(tuples(ten, some.designs), (std::map<T, std::size_t>{{{1, 1}, 5}, {{2, 1}, 5}}));
  const CellPlan all = cell_designs(cells(4, {2, 1}, 30));
  EXPECT_TRUE(all.exhaustive);
  EXPECT_EQ(all.designs.size(), 24u);
  // Five markets, cells of up to 3 and 1: (1,1) 20, (2,1) 30, (3,1) 20; a
  // budget of 63 takes both small tuples whole, 23 from the middle one.
  const CellSettings five = cells(5, {3, 1}, 63);
  EXPECT_EQ(tuples(five, cell_designs(five).designs),
            (std::map<T, std::size_t>{{{1, 1}, 20}, {{2, 1}, 23}, {{3, 1}, 20}}));
}

TEST(Cells, ListingOrderIsKeptWithinATuple) {
  // Cell 1 varies slowest, each cell's sets in lexicographic order.
  const CellPlan plan = cell_designs(cells(3, {1, 1}, 100));
  const std::vector<JointDesign> want = {{{0}, {1}}, {{0}, {2}}, {{1}, {0}},
                                         {{1}, {2}}, {{2}, {0}}, {{2}, {1}}};
  EXPECT_EQ(plan.designs, want);
  // A subset keeps the order too.
  const CellPlan part = cell_designs(cells(6, {2, 2}, 7, 4));
  for (std::size_t i = 1; i < part.designs.size(); ++i) {
    const auto& a = part.designs[i - 1];
    const auto& b = part.designs[i];
    if (a[0].size() == b[0].size() && a[1].size() == b[1].size()) EXPECT_LT(a, b);
  }
}

TEST(Cells, BudgetsPruneEveryCellAndTheCountIsOfFeasibleDesigns) {
  CellSettings s = cells(5, {2, 2}, 1000);
  const std::vector<double> cost = {1.0, 2.0, 3.0, 4.0, 5.0};
  s.cells[0].budget = 3.0;  // {0}, {1}, {2}, {0,1}
  s.cells[0].market_cost = cost;
  s.cells[1].budget = 4.0;  // {0}, ..., {3}, {0,1}, {0,2}
  s.cells[1].market_cost = cost;
  const CellPlan plan = cell_designs(s);
  std::size_t feasible = 0;
  for (const Set& a : std::vector<Set>{{0}, {1}, {2}, {0, 1}}) {
    for (const Set& b : std::vector<Set>{{0}, {1}, {2}, {3}, {0, 1}, {0, 2}}) {
      bool disjoint = true;
      for (const std::size_t m : a) disjoint = disjoint && !std::count(b.begin(), b.end(), m);
      feasible += disjoint;
    }
  }
  EXPECT_TRUE(plan.exhaustive);
  EXPECT_EQ(plan.n_designs, static_cast<double>(feasible));
  EXPECT_EQ(plan.designs.size(), feasible);
  tuples(s, plan.designs);
}

TEST(Cells, ManyDesignsAreDrawnPerTupleAndSeeded) {
  // 40 markets and cells of up to 3, 3: far above the listing limit.
  const CellSettings s = cells(40, {3, 3}, 18, 9);
  const CellPlan a = cell_designs(s), b = cell_designs(s);
  EXPECT_FALSE(a.listed);
  EXPECT_EQ(a.designs, b.designs);
  const auto counts = tuples(s, a.designs);
  EXPECT_EQ(counts.size(), 9u);
  for (const auto& [t, n] : counts) EXPECT_EQ(n, 2u);
  EXPECT_NE(cell_designs(cells(40, {3, 3}, 18, 10)).designs, a.designs);
}

}  // namespace
}  // namespace quintara::geo
