// The column-stored Cholesky factorisations the active-set solver keeps:
// the left-looking blocked factor against the right-looking panelled one
// (the oracle) on seeded positive definite matrices whose orders cross every
// block and tile boundary, from scratch and from a kept leading factor, on
// storage whose unused slots hold NaN; and the pivot that fails on a
// singular matrix; the rank-one update and downdate against the factor of
// the changed matrix; the two-sided solves and the four-column dots against
// their one-at-a-time forms, bit for bit.
#include "core/linalg/factor_columns.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/linalg/rng.hpp"

namespace quintara::linalg {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kFloor = 1e-300;

// Column-stored storage of order q in ld rows per column: the lower
// triangle of X^T X + q I (X with `rank` rows: singular when below q), NaN
// in every other slot, as the solver never writes them.
std::vector<double> spd(std::size_t q, std::size_t ld, std::size_t rank, Xoshiro256pp& rng) {
  std::vector<double> X(rank * q);
  for (double& e : X) e = rng.normal();
  std::vector<double> L(ld * ld, kNaN);
  const double shift = rank >= q ? static_cast<double>(q) : 0.0;
  for (std::size_t c = 0; c < q; ++c) {
    for (std::size_t i = c; i < q; ++i) {
      double s = i == c ? shift : 0.0;
      for (std::size_t t = 0; t < rank; ++t) s += X[t * q + i] * X[t * q + c];
      L[c * ld + i] = s;
    }
  }
  return L;
}

// Whether the factors of order q agree bit for bit on the lower triangle.
bool same_lower(const std::vector<double>& a, const std::vector<double>& b, std::size_t q,
                std::size_t ld) {
  for (std::size_t c = 0; c < q; ++c) {
    if (std::memcmp(&a[c * ld + c], &b[c * ld + c], (q - c) * sizeof(double)) != 0) return false;
  }
  return true;
}

// L L^T of order q (column-stored in ld rows) at (i, c), i >= c.
double product(const std::vector<double>& L, std::size_t ld, std::size_t i, std::size_t c) {
  double s = 0.0;
  for (std::size_t k = 0; k <= c; ++k) s += L[k * ld + i] * L[k * ld + c];
  return s;
}

TEST(FactorColumns, BlockedFactorHasThePanelledBitsFromAnyKeptRow) {
  Xoshiro256pp rng = Xoshiro256pp::make(808);
  for (const std::size_t q :
       {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 20, 23, 24, 25, 29, 33, 41, 64, 71}) {
    const std::size_t ld = q + 3;
    const std::vector<double> A = spd(q, ld, q + 4, rng);
    std::vector<double> panels = A, blocked = A, division = A;
    ASSERT_EQ(factor_panels(panels.data(), ld, q, 0, kFloor, true), 0u) << q;
    ASSERT_EQ(factor_blocked(blocked.data(), ld, q, 0, kFloor), 0u) << q;
    ASSERT_EQ(factor_panels(division.data(), ld, q, 0, kFloor, false), 0u) << q;
    EXPECT_TRUE(same_lower(blocked, panels, q, ld)) << q;
    // The reciprocal's products stay within rounding of the quotients, and
    // the factor reproduces the matrix.
    for (std::size_t c = 0; c < q; ++c) {
      for (std::size_t i = c; i < q; ++i) {
        const double f = blocked[c * ld + i], d = division[c * ld + i];
        EXPECT_NEAR(f, d, 1e-13 * (1.0 + std::fabs(d))) << q << " " << i << " " << c;
        EXPECT_NEAR(product(blocked, ld, i, c), A[c * ld + i], 1e-12 * A[c * ld + c])
            << q << " " << i << " " << c;
      }
    }
    // Rows before r0 kept (the leading factor), the later rows re-factored:
    // the bits of the factor from scratch.
    for (const std::size_t r0 : {std::size_t{1}, q / 3, q / 2 + 1, q - 1}) {
      if (r0 == 0 || r0 >= q) continue;
      std::vector<double> kept = A;
      for (std::size_t c = 0; c < r0; ++c) {
        std::memcpy(&kept[c * ld + c], &blocked[c * ld + c], (r0 - c) * sizeof(double));
      }
      std::vector<double> again = kept;
      ASSERT_EQ(factor_blocked(again.data(), ld, q, r0, kFloor), 0u);
      EXPECT_TRUE(same_lower(again, blocked, q, ld)) << q << " from row " << r0;
      ASSERT_EQ(factor_panels(kept.data(), ld, q, r0, kFloor, true), 0u);
      EXPECT_TRUE(same_lower(kept, panels, q, ld)) << q << " from row " << r0;
    }
  }
}

TEST(FactorColumns, BothFactorsStopAtTheSamePivotWithTheSameRow) {
  Xoshiro256pp rng = Xoshiro256pp::make(919);
  for (const std::size_t q : {6, 19, 37}) {
    const std::size_t ld = q + 1, rank = q / 2;
    const std::vector<double> A = spd(q, ld, rank, rng);
    std::vector<double> panels = A, blocked = A;
    // Rank `rank`: the pivot after it carries only rounding.
    const double floor = 1e-8 * A[0];
    const std::size_t bad = factor_panels(panels.data(), ld, q, 0, floor, true);
    ASSERT_EQ(bad, rank + 1) << q;
    ASSERT_EQ(factor_blocked(blocked.data(), ld, q, 0, floor), bad) << q;
    // The rows before it are factored, and its own row forward-solved.
    EXPECT_TRUE(same_lower(blocked, panels, rank, ld)) << q;
    for (std::size_t j = 0; j < rank; ++j) {
      EXPECT_EQ(blocked[j * ld + rank], panels[j * ld + rank]) << q << " " << j;
    }
  }
}

TEST(FactorColumns, RankOneUpdatesAndDowndatesFactorTheChangedMatrix) {
  Xoshiro256pp rng = Xoshiro256pp::make(313);
  for (const std::size_t q : {1, 2, 5, 9, 16, 31, 50}) {
    const std::size_t ld = q + 2;
    const std::vector<double> A = spd(q, ld, q + 3, rng);
    std::vector<double> L = A;
    ASSERT_EQ(factor_blocked(L.data(), ld, q, 0, kFloor), 0u);
    std::vector<double> x(q);
    for (double& v : x) v = 3.0 * rng.normal();
    std::vector<double> scratch = x;
    ASSERT_TRUE(rank_one_update(L.data(), ld, q, scratch.data(), 1.0, kFloor)) << q;
    for (std::size_t c = 0; c < q; ++c) {
      for (std::size_t i = c; i < q; ++i) {
        const double want = A[c * ld + i] + x[i] * x[c];
        EXPECT_NEAR(product(L, ld, i, c), want, 1e-12 * (A[c * ld + c] + x[c] * x[c]))
            << q << " " << i << " " << c;
      }
    }
    // Taking the same column out again returns the first matrix.
    scratch = x;
    ASSERT_TRUE(rank_one_update(L.data(), ld, q, scratch.data(), -1.0, kFloor)) << q;
    for (std::size_t c = 0; c < q; ++c) {
      for (std::size_t i = c; i < q; ++i) {
        EXPECT_NEAR(product(L, ld, i, c), A[c * ld + i], 1e-11 * A[c * ld + c]) << q;
      }
    }
    // A downdate past the matrix's curvature along x is refused.
    std::vector<double> big(q);
    const double scale = 2.0 * std::sqrt(A[0]);
    for (std::size_t i = 0; i < q; ++i) big[i] = i == 0 ? scale : 0.0;
    EXPECT_FALSE(rank_one_update(L.data(), ld, q, big.data(), -1.0, kFloor)) << q;
  }
}

TEST(FactorColumns, PairedSolvesAndGroupedDotsKeepTheSingleBits) {
  Xoshiro256pp rng = Xoshiro256pp::make(424);
  for (const std::size_t q : {1, 3, 8, 9, 13, 24, 37}) {
    const std::size_t ld = q + 1;
    std::vector<double> L = spd(q, ld, q + 2, rng);
    ASSERT_EQ(factor_blocked(L.data(), ld, q, 0, kFloor), 0u);
    std::vector<double> a(q), b(q);
    for (double& v : a) v = rng.normal();
    for (double& v : b) v = rng.normal();
    // The column-at-a-time recurrence, with its sum of squares.
    std::vector<double> one = a;
    double one_sq = 1.0;
    for (std::size_t k = 0; k < q; ++k) {
      one[k] = one[k] / L[k * ld + k];
      one_sq -= one[k] * one[k];
      for (std::size_t i = k + 1; i < q; ++i) one[i] = one[i] + L[k * ld + i] * -one[k];
    }
    std::vector<double> a2 = a, b2 = b;
    double sq = 1.0;
    forward_solve(L.data(), ld, q, a.data(), &sq);
    forward_solve(L.data(), ld, q, b.data());
    forward_solve2(L.data(), ld, q, a2.data(), b2.data());
    EXPECT_EQ(std::memcmp(a.data(), one.data(), q * sizeof(double)), 0) << q;
    EXPECT_EQ(std::memcmp(&sq, &one_sq, sizeof sq), 0) << q;
    EXPECT_EQ(std::memcmp(a.data(), a2.data(), q * sizeof(double)), 0) << q;
    EXPECT_EQ(std::memcmp(b.data(), b2.data(), q * sizeof(double)), 0) << q;
    // The back solve undoes L^T: L^T z = a.
    std::vector<double> z = a;
    back_solve(L.data(), ld, q, z.data());
    for (std::size_t s = 0; s < q; ++s) {
      double v = 0.0;
      for (std::size_t k = s; k < q; ++k) v += L[s * ld + k] * z[k];
      EXPECT_NEAR(v, a[s], 1e-12 * (1.0 + std::fabs(a[s]))) << q << " " << s;
    }
  }
  // Every count of columns around the groups of four, every length around
  // the lanes of eight, columns taken out of order.
  const std::size_t ld = 30;
  std::vector<double> A(ld * 12), x(ld);
  for (double& v : A) v = rng.normal();
  for (double& v : x) v = rng.normal();
  const std::size_t order[] = {7, 2, 11, 0, 5, 9, 1, 10, 3, 6, 8, 4};
  for (std::size_t m = 0; m <= 12; ++m) {
    for (const std::size_t n : {0, 1, 7, 8, 9, 16, 23, 30}) {
      std::vector<double> out(m, kNaN);
      lane_dots(A.data(), ld, order, m, x.data(), n, out.data());
      for (std::size_t k = 0; k < m; ++k) {
        const double one = lane_dot(A.data() + order[k] * ld, x.data(), n);
        EXPECT_EQ(std::memcmp(&out[k], &one, sizeof one), 0) << m << " " << n << " " << k;
      }
    }
  }
}

}  // namespace
}  // namespace quintara::linalg
