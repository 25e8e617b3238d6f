// The sized candidate search: the budget split across sizes, exhaustive
// enumeration of what fits, distinct draws of what does not, determinism.
#include "core/geo/sized_search.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace quintara::geo {
namespace {

using Set = std::vector<std::size_t>;

Set range(std::size_t n) {
  Set v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

SelectionSettings sized(std::size_t n_eligible, Set include, std::size_t max_treated,
                        std::size_t budget, std::optional<std::size_t> exact = std::nullopt,
                        std::uint64_t seed = 0) {
  SelectionSettings s;
  s.exact_size = exact;
  s.eligible = range(n_eligible);
  s.include = std::move(include);
  s.max_treated = max_treated;
  s.n_candidates = budget;
  s.seed = seed;
  s.search = Search::Sized;
  return s;
}

// Sizes of the sets, counted; and that every set is ascending, distinct and
// holds the include markets.
std::map<std::size_t, std::size_t> check_sets(const std::vector<Set>& sets, const Set& include) {
  std::map<std::size_t, std::size_t> by_size;
  std::set<Set> seen;
  for (const Set& c : sets) {
    EXPECT_TRUE(std::is_sorted(c.begin(), c.end()) &&
                std::adjacent_find(c.begin(), c.end()) == c.end());
    EXPECT_TRUE(std::includes(c.begin(), c.end(), include.begin(), include.end()));
    EXPECT_TRUE(seen.insert(c).second);
    ++by_size[c.size()];
  }
  return by_size;
}

TEST(SizedSearch, EverySizeIsRepresentedWhereSingletonsWouldFillTheBudget) {
  // 40 markets, 24 candidates, up to 3 treated: the additions-first search
  // returns the 40 singletons; this one 8 sets of each size.
  const SelectionSettings s = sized(40, {}, 3, 24);
  const auto plan = sized_plan(s);
  ASSERT_EQ(plan.size(), 3U);
  EXPECT_EQ(plan[0].distinct, 40.0);
  EXPECT_EQ(plan[1].distinct, 780.0);
  EXPECT_EQ(plan[2].distinct, 9880.0);
  const auto by_size = check_sets(candidate_sets(s), {});
  EXPECT_EQ(by_size, (std::map<std::size_t, std::size_t>{{1, 8}, {2, 8}, {3, 8}}));
}

TEST(SizedSearch, SmallSizesAreEnumeratedAndHandOnTheirShare) {
  // Sizes 1, 2, 3 of 5 markets hold 5, 10 and 10 sets; 20 candidates: size 1
  // fits its share of 6 whole, the other two split the remaining 15.
  const auto plan = sized_plan(sized(5, {}, 3, 20));
  ASSERT_EQ(plan.size(), 3U);
  EXPECT_TRUE(plan[0].exhaustive && !plan[1].exhaustive && !plan[2].exhaustive);
  EXPECT_EQ(plan[0].taken + plan[1].taken + plan[2].taken, 20U);
  EXPECT_EQ(plan[1].taken, 8U);
  EXPECT_EQ(plan[2].taken, 7U);
  // A budget covering every set enumerates them all, in lexicographic order.
  const std::vector<Set> all = candidate_sets(sized(4, {}, 2, 200));
  EXPECT_EQ(all,
            (std::vector<Set>{{0}, {1}, {2}, {3}, {0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
}

TEST(SizedSearch, IncludeMarketsAndExactSizes) {
  // include [7] with up to 3 treated: [7] alone, then 7 with one or two more.
  const SelectionSettings s = sized(10, {7, 7}, 3, 30);
  const auto plan = sized_plan(s);
  ASSERT_EQ(plan.size(), 3U);
  EXPECT_EQ(plan[0].size, 1U);
  EXPECT_EQ(plan[0].taken, 1U);
  const auto by_size = check_sets(candidate_sets(s), {7});
  EXPECT_EQ(by_size, (std::map<std::size_t, std::size_t>{{1, 1}, {2, 9}, {3, 20}}));
  // exact_size equal to the include set: that set alone.
  EXPECT_EQ(candidate_sets(sized(10, {2, 5}, 3, 30, 2)), (std::vector<Set>{{2, 5}}));
  // exact_size 3 of 40: 50 distinct random sets of three.
  const auto drawn = check_sets(candidate_sets(sized(40, {}, 3, 50, 3)), {});
  EXPECT_EQ(drawn, (std::map<std::size_t, std::size_t>{{3, 50}}));
  // exact_size 2 of 10 with 20 of its 45 sets: a subset of the enumeration.
  const auto picked = candidate_sets(sized(10, {}, 3, 20, 2));
  check_sets(picked, {});
  EXPECT_EQ(picked.size(), 20U);
  EXPECT_TRUE(std::is_sorted(picked.begin(), picked.end()));
}

TEST(SizedSearch, ABudgetBelowTheSizesStillTakesOneOfEach) {
  const auto by_size = check_sets(candidate_sets(sized(40, {}, 3, 1)), {});
  EXPECT_EQ(by_size, (std::map<std::size_t, std::size_t>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST(SizedSearch, ASizeShortOfAffordableSetsHandsOnItsShare) {
  // Market i costs 10 (i + 1); within 60 lie 6 single markets, 6 pairs and
  // one triple: the triples' share falls short and the other sizes take it.
  for (const std::size_t n : {8, 13, 20}) {
    SelectionSettings s = sized(8, {}, 3, n);
    s.budget = 60.0;
    for (std::size_t i = 0; i < 8; ++i) s.market_cost.push_back(10.0 * static_cast<double>(i + 1));
    std::vector<SizeCount> plan;
    const std::vector<Set> sets = sized_candidate_sets(s, &plan);
    for (const Set& c : sets) EXPECT_TRUE(s.affordable(c));
    check_sets(sets, {});
    EXPECT_EQ(sets.size(), std::min<std::size_t>(n, 13)) << n;
    std::size_t taken = 0;
    for (const SizeCount& row : plan) taken += row.taken;
    EXPECT_EQ(taken, sets.size()) << n;
  }
}

TEST(SizedSearch, DependsOnlyOnTheSettingsAndSeed) {
  const auto a = candidate_sets(sized(60, {}, 4, 300, std::nullopt, 11));
  EXPECT_EQ(a, candidate_sets(sized(60, {}, 4, 300, std::nullopt, 11)));
  EXPECT_NE(a, candidate_sets(sized(60, {}, 4, 300, std::nullopt, 12)));
  // Huge pools count without overflow: C(210, 105) = 9.049247954031001e61
  // (Python's math.comb, as a float).
  const auto plan = sized_plan(sized(210, {}, 105, 10));
  EXPECT_NEAR(plan.back().distinct / 9.049247954031001e61, 1.0, 1e-12);
}

}  // namespace
}  // namespace quintara::geo
