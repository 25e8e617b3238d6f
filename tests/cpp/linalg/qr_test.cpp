// Householder reflectors and the compact QR factorization: sign conventions,
// R and least squares against NumPy, the rank guard and the short right-hand
// side. (The thin Q is exercised by the exact full-rank randomized SVD.)
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

TEST(Qr, WideMatrixFails) {
  EXPECT_EQ(Qr::make(Mat(2, 3)).error().to_string(), "DimMismatch { expected: 3, got: 2 }");
  EXPECT_EQ(ols(Mat(2, 3), V{1, 2}).error(), LinalgError::dim_mismatch(3, 2));
}

// R and the solution from numpy.linalg.qr / numpy.linalg.lstsq (NumPy 2.4.6;
// LAPACK uses the same beta = -sign(x0)|x| rule). Exact solution
// [11/24, 3/7, 17/8]; R's diagonal [-sqrt(15), -sqrt(7), -sqrt(1.6)].
TEST(Qr, LeastSquaresMatchesReference) {
  const Mat X = from_rows({{1, 2, 0}, {0, 1, 1}, {2, 0, 1}, {1, 1, 1}, {3, -1, 2}});
  const Qr f = Qr::make(X).value();
  EXPECT_NEAR(f.qr(0, 0), -3.8729833462074170, 1e-14);
  EXPECT_NEAR(f.qr(1, 1), -2.6457513110645907, 1e-14);
  EXPECT_NEAR(f.qr(2, 2), -1.2649110640673513, 1e-14);
  EXPECT_NEAR(f.qr(0, 2), -2.3237900077244507, 1e-14);
  const V x = ols(X, V{1, 2, 3, 4, 5}).value();
  EXPECT_NEAR(x[0], 11.0 / 24.0, 1e-14);
  EXPECT_NEAR(x[1], 3.0 / 7.0, 1e-14);
  EXPECT_NEAR(x[2], 2.125, 1e-14);
}

TEST(Qr, RankGuardZeroesDependentColumn) {
  // Columns 0 and 1 identical; y = 2*c0 + 3*c2 exactly.
  const V x = ols(from_rows({{1, 1, 0}, {2, 2, 1}, {0, 0, 1}, {3, 3, -1}}), V{2, 7, 3, 3}).value();
  EXPECT_NEAR(x[0], 2.0, 1e-12);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_NEAR(x[2], 3.0, 1e-12);
  // A zero column is an identity reflector (tau 0) and gets coefficient 0.
  const V xz = ols(from_rows({{0, 1}, {0, 2}, {0, 3}}), V{2, 4, 6}).value();
  EXPECT_EQ(xz[0], 0.0);
  EXPECT_NEAR(xz[1], 2.0, 1e-14);
  EXPECT_TRUE(ols(Mat(3, 0), V{1, 2, 3}).value().empty());
}

TEST(Qr, RightHandSideLength) {
  const Qr f = Qr::make(from_rows({{1, 2}, {3, 4}, {5, 7}})).value();
  EXPECT_EQ(test::panic_text([&] { f.solve_lstsq(V{1, 2}); }),
            "index out of bounds: the len is 2 but the index is 2");
  // A longer right-hand side is read only up to the row count.
  EXPECT_EQ(f.solve_lstsq(V{1, 2, 3, 99}), f.solve_lstsq(V{1, 2, 3}));
}

}  // namespace
}  // namespace quintara::linalg
