// A block of reflectors in one pass against the reflectors applied one at a
// time, in both orders, over block sizes, lengths around the four-row lanes,
// column counts around the four-column passes, and identity members.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/linalg/reflector_block.hpp"
#include "core/linalg/rng.hpp"

namespace quintara::linalg {
namespace {

// x <- (I - tau v v^T) x on rows r .. r + len of column c, plainly.
void reflect_one(Mat& X, const double* v, std::size_t len, double tau, std::size_t r,
                 std::size_t c) {
  double d = 0.0;
  for (std::size_t i = 0; i < len; ++i) d += v[i] * X(r + i, c);
  for (std::size_t i = 0; i < len; ++i) X(r + i, c) -= tau * d * v[i];
}

TEST(ReflectorBlock, MatchesReflectorsOneAtATime) {
  auto rng = Xoshiro256pp::make(77);
  for (const std::size_t b : {1u, 2u, 3u, 4u}) {
    for (const std::size_t n : {4u, 5u, 7u, 8u, 13u, 31u}) {
      if (n < b) continue;
      for (const std::size_t cols : {1u, 4u, 6u}) {
        for (const bool first_last : {false, true}) {
          const std::size_t r0 = 2, rows = r0 + n + 1;
          // Unit-norm-ish reflectors with tau = 2 / |v|^2 (orthogonal H),
          // one member the identity when b > 2.
          std::vector<std::vector<double>> vs(b);
          std::vector<double> tau(b);
          std::vector<const double*> ptr(b);
          for (std::size_t q = 0; q < b; ++q) {
            vs[q].resize(n - q);
            vs[q][0] = 1.0;
            double sq = 1.0;
            for (std::size_t i = 1; i < n - q; ++i) {
              vs[q][i] = rng.next_f64() - 0.5;
              sq += vs[q][i] * vs[q][i];
            }
            tau[q] = b > 2 && q == 1 ? 0.0 : 2.0 / sq;
            ptr[q] = vs[q].data();
          }
          Mat X(rows, cols + 1);
          for (double& x : X.data) x = rng.next_f64() * 2.0 - 1.0;
          Mat ref = X;
          for (std::size_t step = 0; step < b; ++step) {
            const std::size_t q = first_last ? b - 1 - step : step;
            for (std::size_t c = 1; c <= cols; ++c) {
              reflect_one(ref, ptr[q], n - q, tau[q], r0 + q, c);
            }
          }
          reflect_block(X, {ptr.data(), tau.data(), b, n, first_last}, r0, 1, cols + 1);
          for (std::size_t p = 0; p < X.data.size(); ++p) {
            const bool untouched = p < rows || p % rows < r0 || p % rows >= r0 + n;
            if (untouched) {
              ASSERT_EQ(X.data[p], ref.data[p]) << "outside the block, at " << p;
            } else {
              ASSERT_NEAR(X.data[p], ref.data[p], 1e-14)
                  << "b " << b << " n " << n << " cols " << cols << " at " << p;
            }
          }
        }
      }
    }
  }
}

TEST(ReflectorBlock, IdentityMembersIgnoreNonFiniteColumns) {
  // Every member H = I: an infinite or NaN entry leaves its column as it is.
  const std::vector<double> v0{1.0, 0.5, -0.25}, v1{1.0, 2.0};
  const double* ptr[] = {v0.data(), v1.data()};
  const double tau[] = {0.0, 0.0};
  Mat X(3, 2);
  X.data = {1.0, INFINITY, 3.0, NAN, 5.0, 6.0};
  const Mat before = X;
  reflect_block(X, {ptr, tau, 2, 3, false}, 0, 0, 2);
  EXPECT_EQ(X(0, 0), 1.0);
  EXPECT_EQ(X(1, 0), INFINITY);
  EXPECT_EQ(X(2, 0), 3.0);
  EXPECT_TRUE(std::isnan(X(0, 1)));
  EXPECT_EQ(X(1, 1), 5.0);
  EXPECT_EQ(X(2, 1), 6.0);
}

}  // namespace
}  // namespace quintara::linalg
