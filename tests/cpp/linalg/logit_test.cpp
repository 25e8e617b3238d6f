// Weighted logistic regression: closed forms of saturated models, the score
// equations of an unsaturated one, and the failure statuses.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support.hpp"
#include "core/linalg/logit.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;
using test::from_rows;

double logit_of(double p) { return std::log(p / (1.0 - p)); }

// Intercept only: the fitted probability is the weighted share of ones,
// here (2 + 3) / (2 + 3 + 1 + 1 + 0.5) = 2/3.
TEST(Logit, InterceptOnlyIsTheWeightedShare) {
  const Mat X = from_rows({{1}, {1}, {1}, {1}, {1}});
  const V y{1, 1, 0, 0, 0};
  const V w{2, 3, 1, 1, 0.5};
  const LogitFit f = logit(X, y, w);
  ASSERT_EQ(f.status, LogitStatus::Converged);
  EXPECT_NEAR(f.coef[0], std::log(2.0), 1e-14);
  for (const double p : f.prob) EXPECT_NEAR(p, 2.0 / 3.0, 1e-15);
}

// One binary regressor with an intercept is saturated: each group's fitted
// probability is its weighted share of ones. x = 0: 1 of weight 1 against
// 3, p0 = 1/4; x = 1: weight 3 + 1 against 1, p1 = 4/5.
TEST(Logit, SaturatedBinaryRegressorMatchesTheGroupShares) {
  const Mat X = from_rows({{1, 0}, {1, 0}, {1, 0}, {1, 1}, {1, 1}, {1, 1}});
  const V y{1, 0, 0, 1, 1, 0};
  const V w{1, 1, 2, 3, 1, 1};
  const LogitFit f = logit(X, y, w);
  ASSERT_EQ(f.status, LogitStatus::Converged);
  EXPECT_NEAR(f.coef[0], logit_of(0.25), 1e-13);
  EXPECT_NEAR(f.coef[1], logit_of(0.8) - logit_of(0.25), 1e-13);
  EXPECT_NEAR(f.prob[0], 0.25, 1e-14);
  EXPECT_NEAR(f.prob[5], 0.8, 1e-14);
  // Unit weights: the plain shares 1/3 and 2/3.
  const LogitFit u = logit(X, y, {});
  EXPECT_NEAR(u.coef[0], logit_of(1.0 / 3.0), 1e-13);
  EXPECT_NEAR(u.coef[1], 2.0 * std::log(2.0), 1e-13);
}

// Not saturated: the maximum is where the weighted score X^T W (y - p)
// vanishes (the likelihood is strictly concave), checked from the fitted
// coefficients independently of the solver.
TEST(Logit, ScoreVanishesAtTheFit) {
  const Mat X = from_rows({{1, 0.5, -1},
                           {1, 1.5, 0},
                           {1, -0.3, 2},
                           {1, 2.2, 1},
                           {1, 0.1, 0.5},
                           {1, -1.2, -0.5},
                           {1, 0.9, 1.5},
                           {1, 3.0, -2}});
  const V y{0, 1, 0, 1, 1, 0, 0, 1};
  const V w{1, 2, 1, 0.5, 1, 1.5, 1, 1};
  const LogitFit f = logit(X, y, w);
  ASSERT_EQ(f.status, LogitStatus::Converged);
  EXPECT_LT(f.iterations, 15u);
  for (std::size_t k = 0; k < 3; ++k) {
    double score = 0.0;
    for (std::size_t i = 0; i < 8; ++i) {
      const double eta = f.coef[0] * X(i, 0) + f.coef[1] * X(i, 1) + f.coef[2] * X(i, 2);
      const double p = 1.0 / (1.0 + std::exp(-eta));
      EXPECT_NEAR(f.prob[i], p, 1e-15);
      score += w[i] * (y[i] - p) * X(i, k);
    }
    EXPECT_NEAR(score, 0.0, 1e-13);
  }
  // Deterministic: the same bits twice.
  EXPECT_EQ(logit(X, y, w).coef, f.coef);
}

TEST(Logit, FailuresAreStatuses) {
  // Two identical columns: the information matrix is singular.
  const Mat dup = from_rows({{1, 2, 2}, {1, 3, 3}, {1, 5, 5}, {1, 1, 1}});
  EXPECT_EQ(logit(dup, V{0, 1, 1, 0}, {}).status, LogitStatus::Singular);
  // x separates y: the coefficients run off, so a short cap does not converge
  // and a long one ends with fitted probabilities at 0 and 1.
  const Mat sep = from_rows({{1, -2}, {1, -1}, {1, 1}, {1, 2}});
  const V y{0, 0, 1, 1};
  const LogitFit short_run = logit(sep, y, {}, 3);
  EXPECT_EQ(short_run.status, LogitStatus::NotConverged);
  EXPECT_EQ(short_run.iterations, 3u);
  const LogitFit f = logit(sep, y, {});
  EXPECT_TRUE(f.status == LogitStatus::Separated ||
              (f.status == LogitStatus::Converged && f.prob[3] > 0.999));
}

TEST(Logit, FactorNonsingularRefusesRoundingSingularMatrices) {
  EXPECT_TRUE(factor_nonsingular(from_rows({{4, 2}, {2, 10}})).has_value());
  EXPECT_FALSE(factor_nonsingular(from_rows({{1, 1}, {1, 1}})).has_value());
  EXPECT_FALSE(factor_nonsingular(from_rows({{1, 1}, {1, 1 + 1e-15}})).has_value());
  const Mat g = weighted_gram(from_rows({{1, 2}, {1, 3}}), V{2, 1});
  EXPECT_EQ(g.data, (V{3, 7, 7, 17}));
}

}  // namespace
}  // namespace quintara::linalg
