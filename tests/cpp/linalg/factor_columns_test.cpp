// The column-stored Cholesky factorisations the active-set solver keeps:
// the left-looking blocked factor against the right-looking panelled one
// (the oracle) on seeded positive definite matrices whose orders cross every
// block and tile boundary, from scratch and from a kept leading factor, on
// storage whose unused slots hold NaN; and the pivot that fails on a
// singular matrix.
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
        double s = 0.0;
        for (std::size_t k = 0; k <= c; ++k) s += blocked[k * ld + i] * blocked[k * ld + c];
        EXPECT_NEAR(s, A[c * ld + i], 1e-12 * A[c * ld + c]) << q << " " << i << " " << c;
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

}  // namespace
}  // namespace quintara::linalg
