// Placebo sets and the test inversion below the Python surface: the set
// lists' order, draws and edge sizes, and the inverted interval's order
// statistic and special cases by hand. Python's tests check the inversion
// against refits of shifted panels.
#include "core/inference/placebo_sets.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "core/inference/inversion.hpp"

namespace quintara::inference {
namespace {

using Sets = std::vector<std::vector<std::size_t>>;
using estimators::sc::Statistic;
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(PlaceboSets, AllSubsetsInOrderOrSeededDraws) {
  EXPECT_EQ(binomial_capped(5, 2, 1000), 10u);
  EXPECT_EQ(binomial_capped(50, 25, 1000), 1001u);
  EXPECT_EQ(binomial_capped(3, 4, 1000), 0u);
  EXPECT_EQ(placebo_sets(4, 2, 6, 0), (Sets{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}));
  // One donor per placebo is always every donor, whatever the cap.
  EXPECT_EQ(placebo_sets(3, 1, 2, 0), (Sets{{0}, {1}, {2}}));
  EXPECT_TRUE(placebo_sets(3, 3, 10, 0).empty());  // no pool would remain
  EXPECT_TRUE(placebo_sets(3, 0, 10, 0).empty());
  const Sets drawn = placebo_sets(30, 5, 40, 7);
  ASSERT_EQ(drawn.size(), 40u);
  for (const auto& s : drawn) {
    EXPECT_EQ(std::set<std::size_t>(s.begin(), s.end()).size(), 5u);
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()) && s.back() < 30);
  }
  EXPECT_EQ(drawn, placebo_sets(30, 5, 40, 7));
  EXPECT_NE(drawn, placebo_sets(30, 5, 40, 8));
  // Set i depends on (seed, i) alone.
  EXPECT_EQ(Sets(drawn.begin(), drawn.begin() + 10), placebo_sets(30, 5, 10, 7));
}

TEST(Inversion, OrderStatisticAndSpecialCases) {
  const std::vector<double> g{1.0, 3.0};  // att 2, mean squared deviation 1
  const std::vector<double> stats{4.0, 1.0, 3.0, 2.0};
  // m = 4, level 0.5: p = (c + 1) / 5 > 0.5 needs c >= 2, so tau is kept
  // while its statistic is at most the second largest placebo, 3.
  // Each p is the test's own at tau = 0.
  TestInterval t = invert_placebo_test(Statistic::AbsAtt, g, 2.0, 0.5, stats, 0.8, 0.5);
  EXPECT_EQ(t.lower, -1.0);
  EXPECT_EQ(t.upper, 5.0);
  // (3 * 0.2)^2 < 1: no constant effect explains a path this uneven.
  t = invert_placebo_test(Statistic::RmspeRatio, g, 2.0, 0.2, stats, 0.2, 0.5);
  EXPECT_TRUE(std::isnan(t.lower) && std::isnan(t.upper));
  // Level 0.9: even the most extreme statistic gives p = 0.2 > 0.1.
  t = invert_placebo_test(Statistic::AbsAtt, g, 2.0, 0.5, stats, 0.8, 0.9);
  EXPECT_EQ(t.lower, -kInf);
  EXPECT_EQ(t.upper, kInf);
  // Without a positive pre-period RMSPE the ratio is +inf at every tau.
  t = invert_placebo_test(Statistic::RmspeRatio, g, 2.0, 0.0, stats, 0.2, 0.5);
  EXPECT_TRUE(std::isnan(t.lower));
  const std::vector<double> perfect{kInf, kInf, 1.0};
  t = invert_placebo_test(Statistic::RmspeRatio, g, 2.0, 0.0, perfect, 0.75, 0.5);
  EXPECT_EQ(t.upper, kInf);
}

TEST(Inversion, ZeroFollowsThePValue) {
  // Where the p-value and the computed ends disagree about 0 (rounding, in
  // real fits; forced here), the end nearer 0 moves to the p-value's side.
  const std::vector<double> stats{4.0, 1.0, 3.0, 2.0};
  const std::vector<double> g{3.0, 3.0};
  TestInterval t = invert_placebo_test(Statistic::AbsAtt, g, 3.0, 0.5, stats, 0.2, 0.5);
  EXPECT_GT(t.lower, 0.0);
  EXPECT_EQ(t.upper, 6.0);
  t = invert_placebo_test(Statistic::AbsAtt, g, 3.5, 0.5, stats, 0.6, 0.5);
  EXPECT_EQ(t.lower, 0.0);
  EXPECT_EQ(t.upper, 6.5);
}

TEST(Inversion, MovingPlacebosAndBisection) {
  // One placebo, level 0.5: tau is kept while the placebo is at least as
  // extreme as the real fit, |att_j + tau slope| >= |2 - tau| (pre RMSPEs 1).
  const std::vector<double> g{2.0, 2.0};
  std::vector<MovingPlacebo> one{{{1.0, 1.0}, {0.0, 0.0}, 1.0, 0.0, 1.0}};
  TestInterval t = invert_moving_test(Statistic::StandardisedAtt, g, 2.0, 1.0, one, 0.5, 0.5);
  EXPECT_EQ(t.lower, 1.0);
  EXPECT_EQ(t.upper, 3.0);
  one[0].att_slope = 1.0;  // (1 + tau)^2 >= (2 - tau)^2 from tau = 1/2 on
  t = invert_moving_test(Statistic::StandardisedAtt, g, 2.0, 1.0, one, 0.5, 0.5);
  EXPECT_EQ(t.lower, 0.5);
  EXPECT_EQ(t.upper, kInf);
  t = invert_by_bisection([](double tau) { return std::fabs(tau - 3.0) <= 1.0; }, 3.0, 0.1, 0.2,
                          0.5);
  EXPECT_NEAR(t.lower, 2.0, 4e-6);
  EXPECT_NEAR(t.upper, 4.0, 4e-6);
  EXPECT_TRUE(t.lower >= 2.0 && t.upper <= 4.0);  // the kept side of each bracket
}

}  // namespace
}  // namespace quintara::inference
