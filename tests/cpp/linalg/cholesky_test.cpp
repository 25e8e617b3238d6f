// Cholesky factorization, its ridge variant and triangular solves, plus the
// ridge least-squares front door built on them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../support.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/lstsq.hpp"

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
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(c.l(i, j), want[i * 3 + j], 1e-15);
  EXPECT_EQ(c.l(0, 2), 0.0);
  const V x = c.solve_vec(V{1, 2, 3});
  EXPECT_NEAR(x[0], 0.5638297872340424, 1e-15);
  EXPECT_NEAR(x[1], -0.11702127659574464, 1e-15);
  EXPECT_NEAR(x[2], 0.5106382978723404, 1e-15);
  // Only the lower triangle is read.
  Mat B = A;
  B(0, 1) = kNaN;
  B(1, 2) = -kInf;
  EXPECT_EQ(Cholesky::make(B).value().l.data, c.l.data);
}

TEST(Cholesky, Failures) {
  const auto error_of = [](const Mat& A) { return Cholesky::make(A).error(); };
  EXPECT_EQ(error_of(Mat(2, 3)), LinalgError::not_square(2, 3));
  EXPECT_EQ(error_of(from_rows({{1, 2}, {2, 1}})), LinalgError::not_positive_definite(1));
  EXPECT_EQ(error_of(Mat(1, 1)), LinalgError::not_positive_definite(0));
  EXPECT_EQ(error_of(from_rows({{-0.0}})), LinalgError::not_positive_definite(0));
  EXPECT_EQ(error_of(from_rows({{1, 0}, {0, kNaN}})), LinalgError::not_positive_definite(1));
  EXPECT_EQ(error_of(from_rows({{kInf, 0}, {0, 1}})), LinalgError::not_positive_definite(0));
  EXPECT_EQ(Cholesky::new_ridge(Mat(1, 1), 1.0).value().l.data, (V{1.0}));
  EXPECT_EQ(Cholesky::new_ridge(Mat(2, 3), 1.0).error(), LinalgError::not_square(2, 3));
}

TEST(Cholesky, RhsLengthAssertionAndEmpty) {
  const Cholesky c = Cholesky::make(Mat::identity(3)).value();
  EXPECT_EQ(test::panic_text([&] { c.solve_vec(V{1, 2}); }),
            "assertion `left == right` failed: rhs length 2 != system size 3\n"
            "  left: 2\n right: 3");
  EXPECT_THROW(c.solve_vec(V{1, 2, 3, 4}), Panic);
  EXPECT_TRUE(Cholesky::make(Mat(0, 0)).value().solve_vec(V{}).empty());
}

// X, y as in the QR test; (X^T X + 0.5 I)^{-1} X^T y from numpy.linalg.solve
// (NumPy 2.4.6).
TEST(Ridge, MatchesReferenceOlsAndPassesFailureOn) {
  const Mat X = from_rows({{1, 2, 0}, {0, 1, 1}, {2, 0, 1}, {1, 1, 1}, {3, -1, 2}});
  const V y{1, 2, 3, 4, 5};
  const V r = ridge(X, y, 0.5).value();
  EXPECT_NEAR(r[0], 0.6808510638297872, 1e-14);
  EXPECT_NEAR(r[1], 0.4, 1e-14);
  EXPECT_NEAR(r[2], 1.7163120567375887, 1e-14);
  const V r0 = ridge(X, y, 0.0).value(), o = ols(X, y).value();
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(r0[k], o[k], 1e-12);
  // A zero column makes its Gram pivot exactly 0 when lambda = 0; any
  // lambda > 0 rescues it, and coefficient 0 is 14 / (14 + 1) (by hand).
  const Mat Z = from_rows({{1, 0}, {2, 0}, {3, 0}});
  EXPECT_EQ(ridge(Z, V{1, 2, 3}, 0.0).error(), LinalgError::not_positive_definite(1));
  const V ok = ridge(Z, V{1, 2, 3}, 1.0).value();
  EXPECT_NEAR(ok[0], 14.0 / 15.0, 1e-15);
  EXPECT_EQ(ok[1], 0.0);
}

}  // namespace
}  // namespace quintara::linalg
