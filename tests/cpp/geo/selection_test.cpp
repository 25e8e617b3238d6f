// Market selection: the candidate search (sizes, order, repeats, attempt limits,
// the exact random draws) and the ranking.
#include "core/geo/selection.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

namespace quintara::geo {
namespace {

using Set = std::vector<std::size_t>;
using Sets = std::vector<Set>;

std::vector<std::size_t> range(std::size_t n) {
  std::vector<std::size_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

SelectionSettings settings_for(Set eligible, Set include, std::size_t max_treated,
                               std::size_t n_candidates,
                               std::optional<std::size_t> exact_size = std::nullopt,
                               std::uint64_t seed = 0) {
  SelectionSettings s;
  s.exact_size = exact_size;
  s.eligible = std::move(eligible);
  s.include = std::move(include);
  s.max_treated = max_treated;
  s.n_candidates = n_candidates;
  s.seed = seed;
  return s;
}

struct Case {
  const char* name;
  SelectionSettings settings;
  Sets expected;
};

TEST(CandidateSets, EdgeCases) {
  const Case cases[] = {
      // room is 0: no additions, no random search.
      {"include alone", settings_for(range(6), {3}, 1, 200), {{3}}},
      {"singles reach the target", settings_for({0, 1, 2}, {}, 2, 3), {{0}, {1}, {2}}},
      // Every single addition, whatever n_candidates says.
      {"singles not capped", settings_for({4, 1, 1, 3}, {}, 1, 1), {{1}, {3}, {4}}},
      {"include above max_treated", settings_for(range(8), {6, 0, 2}, 2, 50), {{0, 2, 6}}},
      // Only 6 sets exist: the search stops once it has them all, however
      // many were asked for.
      {"every reachable set",
       settings_for({0, 1, 2}, {}, 2, 10),
       {{0}, {1}, {2}, {0, 2}, {0, 1}, {1, 2}}},
      {"every reachable set of a huge request",
       settings_for({0, 1, 2}, {}, 2, std::numeric_limits<std::size_t>::max()),
       {{0}, {1}, {2}, {0, 2}, {0, 1}, {1, 2}}},
      {"every reachable set of an exact size",
       settings_for({0, 1, 2}, {}, 9, std::numeric_limits<std::size_t>::max(), 2),
       {{1, 2}, {0, 2}, {0, 1}}},
      // Pool order, the included market removed from the pool; sorted sets.
      {"exact size 2", settings_for({7, 2, 5, 0, 2}, {5}, 9, 1, 2), {{0, 5}, {2, 5}, {5, 7}}},
      {"exact size met by a repeated include", settings_for(range(6), {4, 4}, 9, 10, 1), {{4}}},
      {"exact size 0 counts as 1", settings_for({3, 1}, {}, 9, 10, 0), {{1}, {3}}},
      // Every pass takes both pool markets: one set, short of the exact size.
      {"exact size beyond the pool", settings_for({0, 1, 2}, {1}, 9, 200, 4), {{0, 1, 2}}},
      {"nothing to propose", settings_for({}, {}, 3, 10), {}},
      {"nothing to propose, exact size", settings_for({}, {}, 3, 10, 3), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(candidate_sets(c.settings), c.expected) << c.name;
  // 1022 sets exist; 20 passes per wanted set reach them all, 10 would not.
  EXPECT_EQ(candidate_sets(settings_for(range(10), {}, 9, 1023)).size(), 1022u);
}

// The draws are fixed: the size first, then a Fisher-Yates shuffle of the
// sorted pool from the back, both by the multiply-and-reject bounded draw.
TEST(CandidateSets, RandomSetsForAFixedSeed) {
  const Sets free_size = candidate_sets(settings_for(range(10), {}, 4, 16, std::nullopt, 42));
  ASSERT_EQ(free_size.size(), 16u);
  EXPECT_EQ(Sets(free_size.begin() + 10, free_size.end()),
            (Sets{{1, 2, 4, 6}, {4, 5, 9}, {6, 7}, {0, 7}, {5, 6, 7, 9}, {0, 2, 5, 7}}));

  const Sets with_include = candidate_sets(settings_for(range(9), {3}, 4, 12, std::nullopt, 7));
  ASSERT_EQ(with_include.size(), 12u);
  EXPECT_EQ(with_include[0], (Set{3}));  // the include set alone comes first
  EXPECT_EQ(Sets(with_include.begin() + 9, with_include.end()),
            (Sets{{0, 3, 4}, {2, 3, 5, 6}, {3, 6, 7}}));

  EXPECT_EQ(
      candidate_sets(settings_for(range(8), {2}, 1, 6, 4, 5)),
      (Sets{{1, 2, 6, 7}, {1, 2, 3, 6}, {0, 1, 2, 5}, {1, 2, 5, 6}, {1, 2, 5, 7}, {0, 1, 2, 7}}));
}

TEST(RankCandidates, StableDescendingTotalOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto scored = [](std::size_t id, double score) {
    MarketCandidate m;
    m.treated = {id};
    m.score = score;
    return m;
  };
  std::vector<MarketCandidate> c = {scored(0, 1.0), scored(1, -0.0), scored(2, 2.0), scored(3, 1.0),
                                    scored(4, nan), scored(5, 0.0),  scored(6, 1.0)};
  rank_candidates(c);
  std::vector<std::size_t> order;
  for (const MarketCandidate& m : c) order.push_back(m.treated[0]);
  // NaN sorts above every number and 0.0 above -0.0; ties keep their order.
  EXPECT_EQ(order, (std::vector<std::size_t>{4, 2, 0, 3, 6, 5, 1}));
}

}  // namespace
}  // namespace quintara::geo
