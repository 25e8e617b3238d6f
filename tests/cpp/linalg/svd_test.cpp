// Jacobi SVD, randomized SVD and singular value soft-thresholding.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support.hpp"
#include "core/linalg/randomized_svd.hpp"
#include "core/linalg/soft_threshold.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;

// Full-rank 6x4 integer matrix; kSampleS from numpy.linalg.svd (NumPy 2.4.6).
Mat sample() {
  Mat a(6, 4);
  for (std::size_t i = 0; i < 6; ++i)
    for (std::size_t j = 0; j < 4; ++j)
      a(i, j) = static_cast<double>(static_cast<int>((i * 7 + j * j * 3 + i * j * 5 + 2) % 11) - 5);
  return a;
}
const V kSampleS{8.917382946574367, 8.20762715670751, 6.998686761777744, 2.2657275765499656};

void expect_near(const Mat& a, const Mat& b, double tol) {
  ASSERT_TRUE(a.rows == b.rows && a.cols == b.cols);
  for (std::size_t p = 0; p < a.data.size(); ++p) EXPECT_NEAR(a.data[p], b.data[p], tol) << p;
}

TEST(Svd, SmallCasesByHand) {
  const Svd d = Svd::new_tol(test::from_rows({{1, 0}, {0, 3}}), 60, 1e-15);
  EXPECT_EQ(d.s, (V{3, 1}));
  EXPECT_EQ(d.u.data, (V{0, 1, 1, 0}));
  EXPECT_EQ(d.v.data, (V{0, 1, 1, 0}));
  const Svd n = Svd::new_tol(test::from_rows({{-2}}), 60, 1e-15);
  EXPECT_EQ(n.s, V{2});
  EXPECT_EQ(n.u(0, 0) * n.v(0, 0), -1.0);
  // Equal values keep ascending column order: 5 (col 1), then 2 (col 0), 2 (col 2).
  const Svd e = Svd::new_tol(test::from_rows({{2, 0, 0}, {0, 5, 0}, {0, 0, 2}}), 60, 1e-15);
  EXPECT_EQ(e.s, (V{5, 2, 2}));
  EXPECT_EQ(e.u.data, (V{0, 1, 0, 1, 0, 0, 0, 0, 1}));
  // Equal column norms give zeta = (beta - alpha)/(2 gamma) = +-0, and the
  // sign of that zero picks the rotation: by hand, [[2,1],[1,2]] (zeta = +0,
  // t = 1) has leading left vector [1,1]/sqrt2, [[2,-1],[1,-2]] (zeta = -0,
  // t = -1) has [-1,-1]/sqrt2.
  for (const double sign : {1.0, -1.0}) {
    const Svd f = Svd::new_tol(test::from_rows({{2, sign}, {1, 2 * sign}}), 60, 1e-15);
    EXPECT_NEAR(f.u(0, 0), sign / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(f.u(1, 0), sign / std::sqrt(2.0), 1e-15);
  }
}

// Tall and wide, and scaled to 1e+-200 where, without the power-of-two
// guard, the column sums of squares overflow (or underflow and no rotation
// happens). Soft-thresholding at 0 is the identity, above the spectrum zero.
TEST(Svd, MatchesNumpyTallWideAndAtExtremeScalesAndThresholds) {
  for (const double scale : {1.0, 1e200, 1e-200}) {
    for (const bool wide : {false, true}) {
      Mat a = wide ? sample().transpose() : sample();
      for (double& x : a.data) x *= scale;
      const Svd f = Svd::new_tol(a, 60, 1e-15);
      ASSERT_EQ(f.s.size(), 4u);
      for (std::size_t r = 0; r < 4; ++r) EXPECT_NEAR(f.s[r] / scale, kSampleS[r], 1e-13);
      if (scale == 1.0) expect_near(f.reconstruct_with(f.s), a, 1e-13);
    }
  }
  const SvtResult z = svt(sample(), 9.0);
  EXPECT_EQ(z.x.data, V(24, 0.0));
  EXPECT_TRUE(z.nuclear == 0.0 && !std::signbit(z.nuclear));
  const SvtResult id = svt(sample(), 0.0);
  expect_near(id.x, sample(), 1e-13);
  EXPECT_NEAR(id.nuclear, 26.389424441609588, 1e-13);  // sum of the NumPy values
}

// Rank 2, oversample 1, one power iteration, seed 5 on sample(): the leading
// values of the code as first released, printed with %.17g. The three-column
// sample misses part of the range, so every draw of the test matrix shows.
TEST(RandomizedSvd, StabilityAndExactnessAtFullRank) {
  const RandomizedSvd r = randomized_svd(sample(), 2, 1, 1, 5);
  EXPECT_EQ(r.s, (V{8.9128202305860924, 8.1966385535111268}));
  EXPECT_EQ(r.u(0, 0), -0.32101005049333858);
  EXPECT_EQ(randomized_svd(sample(), 0, 2, 1, 3).s.size(), 1u);
  const RandomizedSvd full = randomized_svd(sample(), 9, 2, 1, 3);
  ASSERT_EQ(full.s.size(), 4u);
  // A full-rank sample spans the whole range, so the factors are exact.
  for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(full.s[k], kSampleS[k], 1e-12);
  expect_near(full.reconstruct_with(full.s), sample(), 1e-12);
}

TEST(ReconstructFromFactors, SumsEachElementOverComponentsInOrder) {
  // Every element is u(i, 0) t(j, 0) + u(i, 1) t(j, 1) + ... from 0.0, with
  // t = v s; a zero value drops its component even where v is NaN.
  const std::size_t m = 13, n = 9, k = 6;
  Mat u(m, k), v(n, k);
  for (std::size_t p = 0; p < u.data.size(); ++p) u.data[p] = std::sin(0.37 * p + 1.0);
  for (std::size_t p = 0; p < v.data.size(); ++p) v.data[p] = std::cos(0.91 * p) * 1e-3;
  v(4, 2) = std::nan("");
  const V s{3.0, 2.5, 0.0, 1.0, -0.0, 0.25, 99.0};  // a longer list's tail is unused
  const Mat x = reconstruct_from_factors(u, v, s);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double e = 0.0;
      for (std::size_t r = 0; r < k; ++r) {
        if (s[r] != 0.0) e = e + u(i, r) * (v(j, r) * s[r]);
      }
      EXPECT_EQ(x(i, j), e) << i << "," << j;
    }
  }
  EXPECT_EQ(test::panic_text([&] { (void)reconstruct_from_factors(u, v, V(4, 1.0)); }),
            "index out of bounds: the len is 4 but the index is 4");
}

}  // namespace
}  // namespace quintara::linalg
