// The dense simplex: textbook programs with known optima, each kind of bound,
// infeasible and unbounded programs, Beale's cycling example, the iteration
// cap, and seeded random programs against their duals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "../support.hpp"
#include "core/linalg/lp.hpp"

namespace quintara::linalg {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
using V = std::vector<double>;
using test::from_rows;

void expect_optimum(const LinearProgram& lp, const V& x, double objective) {
  const LpSolution s = solve_lp(lp);
  ASSERT_EQ(s.status, LpStatus::optimal) << lp_status_name(s.status);
  ASSERT_EQ(s.x.size(), x.size());
  for (std::size_t j = 0; j < x.size(); ++j) EXPECT_NEAR(s.x[j], x[j], 1e-12) << j;
  EXPECT_NEAR(s.objective, objective, 1e-12);
}

TEST(Lp, KnownOptima) {
  // max 3x + 5y, x <= 4, 2y <= 12, 3x + 2y <= 18: (2, 6), 36.
  LinearProgram a{{-3, -5}, from_rows({{1, 0}, {0, 2}, {3, 2}}), {4, 12, 18}, {}, {}, {}, {}};
  expect_optimum(a, {2, 6}, -36);
  // Covering rows (>= written as negated <=) need phase one: (3, 1), 9.
  LinearProgram b{{2, 3}, from_rows({{-1, -1}, {-1, -3}}), {-4, -6}, {}, {}, {}, {}};
  expect_optimum(b, {3, 1}, 9);
  // An equality, a variable bounded above only and one bounded below:
  // x1 + x2 = 3, x1 <= 2, x2 >= 0, min x1 + 2 x2: (2, 1), 4.
  LinearProgram c{{1, 2}, {}, {}, from_rows({{1, 1}}), {3}, {-kInf, 0}, {2, kInf}};
  expect_optimum(c, {2, 1}, 4);
  // Boxes on both sides and a free variable: x in [1, 3], y in [-2, 4],
  // z free with z = x - y; min -x - y + 0 z over x + y <= 10: (3, 4, -1).
  LinearProgram d{{-1, -1, 0}, from_rows({{1, 1, 0}}), {10},        from_rows({{1, -1, -1}}),
                  {0},         {1, -2, -kInf},         {3, 4, kInf}};
  expect_optimum(d, {3, 4, -1}, -7);
}

TEST(Lp, InfeasibleUnboundedAndCapped) {
  // x <= 1 and x >= 2.
  LinearProgram infeasible{{1}, from_rows({{1}, {-1}}), {1, -2}, {}, {}, {}, {}};
  EXPECT_EQ(solve_lp(infeasible).status, LpStatus::infeasible);
  // Equalities that contradict each other.
  LinearProgram contradictory{{0, 0}, {}, {}, from_rows({{1, 1}, {1, 1}}), {1, 2}, {}, {}};
  EXPECT_EQ(solve_lp(contradictory).status, LpStatus::infeasible);
  // min -x over x - y <= 1: x and y grow together without bound.
  LinearProgram unbounded{{-1, 0}, from_rows({{1, -1}}), {1}, {}, {}, {}, {}};
  const LpSolution u = solve_lp(unbounded);
  EXPECT_EQ(u.status, LpStatus::unbounded);
  EXPECT_TRUE(u.x.empty());
  // A free variable with nothing holding it.
  LinearProgram free_var{{1}, {}, {}, {}, {}, {-kInf}, {kInf}};
  EXPECT_EQ(solve_lp(free_var).status, LpStatus::unbounded);
  // Two pivots are needed; one is allowed.
  LinearProgram a{{-3, -5}, from_rows({{1, 0}, {0, 2}, {3, 2}}), {4, 12, 18}, {}, {}, {}, {}};
  const LpSolution capped = solve_lp(a, 1);
  EXPECT_EQ(capped.status, LpStatus::iteration_limit);
  EXPECT_EQ(capped.iterations, 1u);
}

TEST(Lp, RedundantEqualitiesAndDegeneracy) {
  // The second equality repeats the first: its artificial stays basic at 0.
  LinearProgram redundant{{1, 1}, {}, {}, from_rows({{1, 2}, {2, 4}}), {4, 8}, {}, {}};
  expect_optimum(redundant, {0, 2}, 2);
  // Beale's example cycles under the largest-coefficient rule with
  // lowest-index ties; Bland's rule reaches the optimum -1/20.
  LinearProgram beale;
  beale.c = {-0.75, 150, -0.02, 6};
  beale.a_ub = from_rows({{0.25, -60, -0.04, 9}, {0.5, -90, -0.02, 3}, {0, 0, 1, 0}});
  beale.b_ub = {0, 0, 1};
  expect_optimum(beale, {0.04, 0, 1, 0}, -0.05);
}

// min c'x, A x <= b, x >= 0 (with sum x <= 10 among the rows, so bounded and,
// as b > 0, feasible) against its dual max b'y, A'y <= c, y <= 0.
TEST(Lp, RandomProgramsMatchTheirDuals) {
  std::mt19937_64 gen(20261208);
  std::normal_distribution<double> nd;
  std::uniform_real_distribution<double> ud(0.5, 2.0);
  for (int rep = 0; rep < 60; ++rep) {
    const std::size_t m = 2 + rep % 5;
    const std::size_t n = 2 + rep % 7;
    LinearProgram primal;
    primal.c.resize(n);
    for (double& v : primal.c) v = nd(gen);
    primal.a_ub = Mat(m + 1, n);
    primal.b_ub.resize(m + 1);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < n; ++j) primal.a_ub(i, j) = nd(gen);
      primal.b_ub[i] = ud(gen);
    }
    for (std::size_t j = 0; j < n; ++j) primal.a_ub(m, j) = 1.0;
    primal.b_ub[m] = 10.0;
    LinearProgram dual;
    dual.c.resize(m + 1);
    for (std::size_t i = 0; i <= m; ++i) dual.c[i] = -primal.b_ub[i];
    dual.a_ub = primal.a_ub.transpose();
    dual.b_ub = primal.c;
    dual.lower.assign(m + 1, -kInf);
    dual.upper.assign(m + 1, 0.0);
    const LpSolution p = solve_lp(primal);
    const LpSolution d = solve_lp(dual);
    ASSERT_EQ(p.status, LpStatus::optimal) << rep;
    ASSERT_EQ(d.status, LpStatus::optimal) << rep;
    EXPECT_NEAR(p.objective, -d.objective, 1e-9 * (1.0 + std::abs(p.objective))) << rep;
    for (std::size_t i = 0; i <= m; ++i) {
      double row = 0.0;
      for (std::size_t j = 0; j < n; ++j) row += primal.a_ub(i, j) * p.x[j];
      EXPECT_LE(row, primal.b_ub[i] + 1e-9) << rep;
    }
    for (const double v : p.x) EXPECT_GE(v, -1e-12) << rep;
    const LpSolution again = solve_lp(primal);
    EXPECT_EQ(std::memcmp(again.x.data(), p.x.data(), n * sizeof(double)), 0) << rep;
  }
}

TEST(Lp, MalformedProgramPanics) {
  LinearProgram bad{{1, 2}, from_rows({{1}}), {1}, {}, {}, {}, {}};
  EXPECT_NE(test::panic_text([&] { solve_lp(bad); }).find("a_ub is 1x1"), std::string::npos);
  LinearProgram crossed{{1}, {}, {}, {}, {}, {2}, {1}};
  EXPECT_NE(test::panic_text([&] { solve_lp(crossed); }).find("bounds of variable 0"),
            std::string::npos);
}

}  // namespace
}  // namespace quintara::linalg
