// Cholesky factorization, its ridge variant and triangular solves (the ridge
// least-squares front door is tested with QR).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../support.hpp"
#include "core/linalg/cholesky.hpp"

namespace quintara::linalg {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using V = std::vector<double>;
using test::from_rows;

// L from numpy.linalg.cholesky and x from numpy.linalg.solve(A, [1, 2, 3])
// (NumPy 2.4.6); by hand L = [[2,0,0],[1,3,0],[-1,5/3,sqrt(47/9)]].
TEST(Cholesky, FactorAndSolveMatchReference) {
  const Mat A = from_rows({{4, 2, -2}, {2, 10, 4}, {-2, 4, 9}});
  const Cholesky c = Cholesky::make(A).value();
  const V want{2, 0, 0, 1, 3, 0, -1, 1.6666666666666665, 2.2852182001336816};
  for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(c.l(i / 3, i % 3), want[i], 1e-15);
  const V x = c.solve_vec(V{1, 2, 3});
  const V x_want{0.5638297872340424, -0.11702127659574464, 0.5106382978723404};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(x[i], x_want[i], 1e-15);
  // Only the lower triangle is read.
  Mat B = A;
  B(0, 1) = kNaN;
  B(1, 2) = -kInf;
  EXPECT_EQ(Cholesky::make(B).value().l.data, c.l.data);
}

TEST(Cholesky, FailuresAndRightHandSideLength) {
  const auto error_of = [](const Mat& A) { return Cholesky::make(A).error(); };
  EXPECT_EQ(error_of(Mat(2, 3)), LinalgError::not_square(2, 3));
  EXPECT_EQ(error_of(from_rows({{1, 2}, {2, 1}})), LinalgError::not_positive_definite(1));
  EXPECT_EQ(error_of(Mat(1, 1)), LinalgError::not_positive_definite(0));
  EXPECT_EQ(error_of(from_rows({{1, 0}, {0, kNaN}})), LinalgError::not_positive_definite(1));
  EXPECT_EQ(error_of(from_rows({{kInf, 0}, {0, 1}})), LinalgError::not_positive_definite(0));
  EXPECT_EQ(Cholesky::new_ridge(Mat(1, 1), 1.0).value().l.data, (V{1.0}));
  EXPECT_EQ(Cholesky::new_ridge(Mat(2, 3), 1.0).error(), LinalgError::not_square(2, 3));
  const Cholesky c = Cholesky::make(Mat::identity(3)).value();
  for (const V& rhs : {V{1, 2}, V{1, 2, 3, 4}}) EXPECT_THROW(c.solve_vec(rhs), Panic);
  EXPECT_TRUE(Cholesky::make(Mat(0, 0)).value().solve_vec(V{}).empty());
}

}  // namespace
}  // namespace quintara::linalg
