// Robust synthetic control: the library-only rank rule for 0 and the
// zero-coefficient fallback, neither reachable through the Python entry.
#include "core/estimators/sc/robust.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quintara::estimators::sc::robust {
namespace {

using V = std::vector<double>;

linalg::Mat donors(std::size_t rows, double offset) {
  linalg::Mat x(rows, 3);
  for (std::size_t t = 0; t < rows; ++t)
    for (std::size_t j = 0; j < 3; ++j)
      x(t, j) = offset + static_cast<double>((t * 5 + j * j * 3 + j) % 7);
  return x;
}

TEST(Rsc, RankZeroKeepsOneComponent) {
  const V y_pre{1, 4, 2, 6, 3}, y_post{5, 2};
  RscOptions zero, one;
  zero.rank = 0;
  one.rank = 1;
  const ScFit a = fit_series(y_pre, y_post, donors(5, 0), donors(2, 7), {1, 2, 3}, zero);
  const ScFit b = fit_series(y_pre, y_post, donors(5, 0), donors(2, 7), {1, 2, 3}, one);
  EXPECT_EQ(a.weights, b.weights);
  EXPECT_EQ(a.counterfactual, b.counterfactual);
}

// With no pre-period the least-squares problem is wide (0 x 1), QR refuses
// it, and the fit proceeds with zero coefficients: att is the post mean.
TEST(Rsc, FailedRegressionFallsBackToZeroCoefficients) {
  const V y_post{5, 2, 8};
  const ScFit f = fit_series(V{}, y_post, donors(0, 0), donors(3, 1), {0, 1, 2}, RscOptions{});
  EXPECT_EQ(f.weights, V(3, 0.0));
  EXPECT_EQ(f.counterfactual, V(3, 0.0));
  EXPECT_EQ(f.att_path, y_post);
  EXPECT_EQ(f.att, 5.0);
  EXPECT_EQ(f.pre_rmspe, 0.0);
}

}  // namespace
}  // namespace quintara::estimators::sc::robust
