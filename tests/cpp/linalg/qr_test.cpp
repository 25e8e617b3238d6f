// Householder reflectors, compact QR and the least-squares front doors on it
// and on Cholesky, against hand values and NumPy. (The thin Q is exercised by
// the exact full-rank randomized SVD.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support.hpp"
#include "core/linalg/lstsq.hpp"
#include "core/linalg/qr.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;
using test::from_rows;

TEST(Householder, SignConventions) {
  // Hand computations: H x = x - tau v (v^T x) must equal beta e_1; a zero
  // leading entry counts as non-positive.
  struct Case {
    V x, v;
    double tau, beta;
  };
  for (const Case& c : {Case{{3, 4}, {1, 0.5}, 1.6, -5}, Case{{-3, 4}, {1, -0.5}, 1.6, 5},
                        Case{{2, 0, 0}, {1, 0, 0}, 0, 2}, Case{{-2, 0}, {1, 0}, 2, 2},
                        Case{{0, 1}, {1, -1}, 1, 1}, Case{{-7}, {1}, 2, 7}}) {
    const Householder h = Householder::make(c.x);
    EXPECT_EQ(h.v, c.v) << c.x[0];
    EXPECT_DOUBLE_EQ(h.tau, c.tau) << c.x[0];
    EXPECT_EQ(h.beta, c.beta) << c.x[0];
  }
  EXPECT_EQ(Householder::make(V{}).beta, 0.0);
  // The tail norm is scaled: no overflow at 1e200 ([1, -3, 2] * 1e200).
  EXPECT_NEAR(Householder::make(V{1e200, -3e200, 2e200}).beta / 1e200, -std::sqrt(14.0), 1e-14);
}

// R, the least-squares solution and (X^T X + 0.5 I)^{-1} X^T y from NumPy
// 2.4.6 qr / lstsq / solve (LAPACK uses the same beta = -sign(x0)|x| rule).
// Exact solution [11/24, 3/7, 17/8]; R's diagonal -sqrt([15, 7, 1.6]).
TEST(Qr, LeastSquaresAndRidgeMatchReference) {
  const Mat X = from_rows({{1, 2, 0}, {0, 1, 1}, {2, 0, 1}, {1, 1, 1}, {3, -1, 2}});
  const V y{1, 2, 3, 4, 5};
  const Qr f = Qr::make(X).value();
  EXPECT_NEAR(f.qr(0, 0), -3.8729833462074170, 1e-14);
  EXPECT_NEAR(f.qr(1, 1), -2.6457513110645907, 1e-14);
  EXPECT_NEAR(f.qr(2, 2), -1.2649110640673513, 1e-14);
  EXPECT_NEAR(f.qr(0, 2), -2.3237900077244507, 1e-14);
  const V x = ols(X, y).value(), r = ridge(X, y, 0.5).value(), r0 = ridge(X, y, 0.0).value();
  const V x_want{11.0 / 24.0, 3.0 / 7.0, 2.125};
  const V r_want{0.6808510638297872, 0.4, 1.7163120567375887};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(x[k], x_want[k], 1e-14);
    EXPECT_NEAR(r[k], r_want[k], 1e-14);
    EXPECT_NEAR(r0[k], x[k], 1e-12);
  }
  // A short right-hand side is refused, a longer one read up to the row count.
  EXPECT_THROW(f.solve_lstsq(V{1, 2, 3, 4}), Panic);
  EXPECT_EQ(f.solve_lstsq(V{1, 2, 3, 4, 5, 99}), f.solve_lstsq(y));
  EXPECT_EQ(Qr::make(Mat(2, 3)).error(), LinalgError::dim_mismatch(3, 2));
  EXPECT_EQ(ols(Mat(2, 3), V{1, 2}).error(), LinalgError::dim_mismatch(3, 2));
}

TEST(Qr, RankGuardZeroesDependentColumn) {
  // Columns 0 and 1 identical; y = 2*c0 + 3*c2 exactly.
  const V x = ols(from_rows({{1, 1, 0}, {2, 2, 1}, {0, 0, 1}, {3, 3, -1}}), V{2, 7, 3, 3}).value();
  EXPECT_NEAR(x[0], 2.0, 1e-12);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_NEAR(x[2], 3.0, 1e-12);
  // A zero column is an identity reflector (tau 0) and gets coefficient 0.
  // Its Gram pivot is exactly 0 when lambda = 0; any lambda > 0 rescues it,
  // and coefficient 0 is then 14 / (14 + 1) (by hand).
  const Mat Z = from_rows({{1, 0}, {2, 0}, {3, 0}});
  const V xz = ols(Z, V{1, 2, 3}).value(), rz = ridge(Z, V{1, 2, 3}, 1.0).value();
  EXPECT_TRUE(xz[1] == 0.0 && rz[1] == 0.0);
  EXPECT_NEAR(xz[0], 1.0, 1e-14);
  EXPECT_NEAR(rz[0], 14.0 / 15.0, 1e-15);
  EXPECT_EQ(ridge(Z, V{1, 2, 3}, 0.0).error(), LinalgError::not_positive_definite(1));
  EXPECT_TRUE(ols(Mat(3, 0), V{1, 2, 3}).value().empty());
}

}  // namespace
}  // namespace quintara::linalg
