// Robust synthetic control: the zero-coefficient fallback of a failed
// regression, which the Python entry cannot reach.
#include "core/estimators/sc/robust.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quintara::estimators::sc::robust {
namespace {

// With no pre-period the least-squares problem is wide (0 x 1), QR refuses
// it, and the fit proceeds with zero coefficients: att is the post mean.
TEST(Rsc, FailedRegressionFallsBackToZeroCoefficients) {
  const std::vector<double> y_post{5, 2, 8};
  linalg::Mat X_post(3, 2);
  X_post.data = {1, 4, 2, 3, 0, 7};
  const ScFit f = fit_series({}, y_post, linalg::Mat(0, 2), X_post, {0, 1}, RscOptions{});
  EXPECT_EQ(f.weights, std::vector<double>(2, 0.0));
  EXPECT_EQ(f.att_path, y_post);
  EXPECT_EQ(f.att, 5.0);
}

}  // namespace
}  // namespace quintara::estimators::sc::robust
