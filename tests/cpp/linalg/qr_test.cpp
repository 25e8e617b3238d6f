// Householder reflectors and the compact QR factorization: sign conventions,
// A = Q R, least squares with the rank guard, and the short right-hand side.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/linalg/kernels.hpp"
#include "core/linalg/lstsq.hpp"
#include "core/linalg/qr.hpp"
#include "core/panic.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;

Mat rows(std::size_t r, std::size_t c, const V& rowmajor) {
  Mat m(r, c);
  for (std::size_t i = 0; i < r; ++i)
    for (std::size_t j = 0; j < c; ++j) m(i, j) = rowmajor[i * c + j];
  return m;
}

// Hand computations: H x = x - tau v (v^T x) must equal beta e_1.
TEST(Householder, SignConventions) {
  const Householder h = Householder::make(V{3, 4});
  EXPECT_EQ(h.beta, -5.0);
  EXPECT_EQ(h.v, (V{1, 0.5}));
  EXPECT_DOUBLE_EQ(h.tau, 1.6);
  EXPECT_EQ(Householder::make(V{-3, 4}).beta, 5.0);
  const Householder id = Householder::make(V{2, 0, 0});
  EXPECT_EQ(id.tau, 0.0);
  EXPECT_EQ(id.beta, 2.0);
  const Householder neg = Householder::make(V{-2, 0});
  EXPECT_EQ(neg.beta, 2.0);
  EXPECT_EQ(neg.tau, 2.0);
  // A zero leading entry counts as non-positive: beta = +1, v = [1, -1], tau = 1.
  const Householder z = Householder::make(V{0, 1});
  EXPECT_EQ(z.beta, 1.0);
  EXPECT_EQ(z.v, (V{1, -1}));
  EXPECT_EQ(z.tau, 1.0);
  EXPECT_EQ(Householder::make(V{-7}).tau, 2.0);
  EXPECT_EQ(Householder::make(V{}).beta, 0.0);
  // The tail norm is scaled: no overflow at 1e200 ([1, -3, 2] * 1e200).
  const Householder big = Householder::make(V{1e200, -3e200, 2e200});
  EXPECT_NEAR(big.beta / 1e200, -std::sqrt(14.0), 1e-14);
}

TEST(Qr, WideMatrixFails) {
  const auto f = Qr::make(Mat(2, 3));
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().to_string(), "DimMismatch { expected: 3, got: 2 }");
  EXPECT_EQ(ols(Mat(2, 3), V{1, 2}).error(), LinalgError::dim_mismatch(3, 2));
}

TEST(Qr, FactorsReproduceMatrix) {
  std::mt19937_64 gen(11);
  std::normal_distribution<double> nd;
  for (const auto& [m, n] : {std::pair<std::size_t, std::size_t>{6, 4}, {5, 5}, {7, 1}}) {
    Mat A(m, n);
    for (double& e : A.data) e = nd(gen);
    const Qr f = Qr::make(A).value();
    const Mat Q = f.q_thin();
    Mat R(n, n);
    for (std::size_t j = 0; j < n; ++j)
      for (std::size_t i = 0; i <= j; ++i) R(i, j) = f.qr(i, j);
    Mat QR(m, n);
    gemm(Q, R, QR, 1.0, 0.0);
    for (std::size_t k = 0; k < A.data.size(); ++k) EXPECT_NEAR(QR.data[k], A.data[k], 1e-13);
    const Mat QtQ = syrk_ata(Q);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(QtQ(i, j), i == j ? 1.0 : 0.0, 1e-14);
  }
}

// R and the solution from numpy.linalg.qr / numpy.linalg.lstsq (NumPy 2.4.6;
// LAPACK uses the same beta = -sign(x0)|x| rule). Exact solution
// [11/24, 3/7, 17/8]; R's diagonal [-sqrt(15), -sqrt(7), -sqrt(1.6)].
TEST(Qr, LeastSquaresMatchesReference) {
  const Mat X = rows(5, 3, {1, 2, 0, 0, 1, 1, 2, 0, 1, 1, 1, 1, 3, -1, 2});
  const V y{1, 2, 3, 4, 5};
  const Qr f = Qr::make(X).value();
  EXPECT_NEAR(f.qr(0, 0), -3.8729833462074170, 1e-14);
  EXPECT_NEAR(f.qr(1, 1), -2.6457513110645907, 1e-14);
  EXPECT_NEAR(f.qr(2, 2), -1.2649110640673513, 1e-14);
  EXPECT_NEAR(f.qr(0, 2), -2.3237900077244507, 1e-14);
  const V x = ols(X, y).value();
  EXPECT_NEAR(x[0], 11.0 / 24.0, 1e-14);
  EXPECT_NEAR(x[1], 3.0 / 7.0, 1e-14);
  EXPECT_NEAR(x[2], 2.125, 1e-14);
  // Square nonsingular system: solved exactly (by hand x = [1, -1]).
  const V s = ols(rows(2, 2, {2, 1, 1, 3}), V{1, -2}).value();
  EXPECT_NEAR(s[0], 1.0, 1e-15);
  EXPECT_NEAR(s[1], -1.0, 1e-15);
}

TEST(Qr, RankGuardZeroesDependentColumn) {
  // Columns 0 and 1 identical; y = 2*c0 + 3*c2 exactly.
  const V x = ols(rows(4, 3, {1, 1, 0, 2, 2, 1, 0, 0, 1, 3, 3, -1}), V{2, 7, 3, 3}).value();
  EXPECT_NEAR(x[0], 2.0, 1e-12);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_NEAR(x[2], 3.0, 1e-12);
  // A zero column is an identity reflector (tau 0) and gets coefficient 0.
  const V xz = ols(rows(3, 2, {0, 1, 0, 2, 0, 3}), V{2, 4, 6}).value();
  EXPECT_EQ(xz[0], 0.0);
  EXPECT_NEAR(xz[1], 2.0, 1e-14);
  EXPECT_TRUE(ols(Mat(3, 0), V{1, 2, 3}).value().empty());
}

TEST(Qr, RightHandSideLength) {
  const Qr f = Qr::make(rows(3, 2, {1, 2, 3, 4, 5, 7})).value();
  try {
    f.solve_lstsq(V{1, 2});
    FAIL() << "expected a panic";
  } catch (const Panic& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 2");
  }
  // A longer right-hand side is read only up to the row count.
  EXPECT_EQ(f.solve_lstsq(V{1, 2, 3, 99}), f.solve_lstsq(V{1, 2, 3}));
}

}  // namespace
}  // namespace quintara::linalg
