// Golub-Kahan SVD against the one-sided Jacobi SVD as the oracle: singular
// values, reconstruction and orthonormality over seeded shapes and the
// inputs that break careless bidiagonal codes (rank deficiency, zero,
// repeated values, extreme and mixed scales), and the thresholding built on
// it. The logged rotations replayed on the kept columns are checked against
// the full accumulation during the chase as well.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "../support.hpp"
#include "core/linalg/bidiag_svd.hpp"
#include "core/linalg/qr.hpp"
#include "core/linalg/rng.hpp"
#include "core/linalg/soft_threshold.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::linalg {
namespace {

Mat uniform(std::size_t m, std::size_t n, Xoshiro256pp& rng) {
  Mat a(m, n);
  for (double& x : a.data) x = rng.next_f64() - 0.5;
  return a;
}

// Q1 diag(values) Q2^T with random orthonormal factors: the spectrum is
// known exactly up to rounding, repeats included.
Mat with_spectrum(std::size_t m, std::size_t n, const std::vector<double>& values,
                  Xoshiro256pp& rng) {
  const std::size_t k = values.size();
  const Mat q1 = Qr::make(uniform(m, k, rng)).expect("test: QR").q_thin();
  const Mat q2 = Qr::make(uniform(n, k, rng)).expect("test: QR").q_thin();
  return reconstruct_from_factors(q1, q2, values);
}

// The cases, each with a label: shape by shape, random, rank 2, zero,
// repeated values, and a random matrix at 1e150, at 1e-150 and with its
// columns alternately at both.
std::vector<std::pair<std::string, Mat>> cases(std::uint64_t seed) {
  Xoshiro256pp rng = Xoshiro256pp::make(seed);
  const std::pair<std::size_t, std::size_t> shapes[] = {
      {1, 1}, {1, 7}, {7, 1}, {6, 4}, {4, 6}, {40, 13}, {13, 40}, {30, 30}, {61, 18}, {18, 61}};
  std::vector<std::pair<std::string, Mat>> out;
  for (const auto& [m, n] : shapes) {
    const std::string shape = std::to_string(m) + "x" + std::to_string(n);
    out.emplace_back(shape + " random", uniform(m, n, rng));
    out.emplace_back(shape + " zero", Mat(m, n));
    Mat big = uniform(m, n, rng), small = big, mixed = big;
    for (double& x : big.data) x *= 1e150;
    for (double& x : small.data) x *= 1e-150;
    for (std::size_t j = 0; j < n; j += 2) {
      for (double& x : mixed.col_mut(j)) x *= 1e150;
    }
    out.emplace_back(shape + " 1e150", std::move(big));
    out.emplace_back(shape + " 1e-150", std::move(small));
    out.emplace_back(shape + " mixed scales", std::move(mixed));
    const std::size_t k = std::min(m, n);
    if (k >= 2) out.emplace_back(shape + " rank 2", with_spectrum(m, n, {3.0, 0.5}, rng));
    if (k >= 4) {
      std::vector<double> repeated(k, 1.0);
      repeated[0] = repeated[1] = repeated[2] = 2.0;
      out.emplace_back(shape + " repeated", with_spectrum(m, n, repeated, rng));
    }
  }
  return out;
}

// max |X^T X - I| over the columns of X.
double orthonormality_error(const Mat& X) {
  double worst = 0.0;
  for (std::size_t a = 0; a < X.cols; ++a) {
    for (std::size_t b = 0; b < X.cols; ++b) {
      double s = 0.0;
      for (std::size_t i = 0; i < X.rows; ++i) s += X(i, a) * X(i, b);
      worst = std::fmax(worst, std::fabs(s - (a == b ? 1.0 : 0.0)));
    }
  }
  return worst;
}

// Both the fast path (QR first when tall, logged rotations replayed on the
// kept columns) and the accumulating reference against Jacobi.
TEST(BidiagSvd, MatchesJacobiReconstructsAndIsOrthonormal) {
  for (const std::uint64_t seed : {1u, 2u, 3u}) {
    for (const auto& [label, a] : cases(seed)) {
      const Svd j = Svd::new_tol(a, kJacobiMaxSweeps, kJacobiTol);
      const std::size_t k = std::min(a.rows, a.cols);
      const double smax = j.s.empty() ? 0.0 : j.s.front();
      for (const BandVectors mode : {BandVectors::logged, BandVectors::accumulated}) {
        SCOPED_TRACE(label + " seed " + std::to_string(seed) +
                     (mode == BandVectors::logged ? " logged" : " accumulated"));
        const Svd g = BidiagSvd::make(a, mode).full();
        ASSERT_EQ(g.s.size(), k);
        ASSERT_TRUE(g.u.rows == a.rows && g.u.cols == k && g.v.rows == a.cols && g.v.cols == k);
        for (std::size_t r = 0; r < k; ++r) {
          EXPECT_LE(std::fabs(g.s[r] - j.s[r]), 1e-13 * smax) << r;
          if (r > 0) {
            EXPECT_GE(g.s[r - 1], g.s[r]);
          }
          EXPECT_GE(g.s[r], 0.0);
        }
        const Mat back = g.reconstruct_with(g.s);
        for (std::size_t p = 0; p < a.data.size(); ++p) {
          EXPECT_LE(std::fabs(back.data[p] - a.data[p]), 1e-13 * smax) << p;
        }
        // Factors of the zero matrix are the identity's columns, still orthonormal.
        EXPECT_LE(orthonormality_error(g.u), 1e-13);
        EXPECT_LE(orthonormality_error(g.v), 1e-13);
      }
      // Dropping the rotations leaves the chase, and so the values, as they were.
      EXPECT_EQ(BidiagSvd::make(a, BandVectors::none).values(), BidiagSvd::make(a).values());
    }
  }
}

// Ties keep their diagonal order and exact inputs stay exact: the same
// factors as the Jacobi SVD's by-hand cases.
TEST(BidiagSvd, DiagonalInputsAndTiesByHand) {
  using V = std::vector<double>;
  const Svd e = BidiagSvd::make(test::from_rows({{2, 0, 0}, {0, 5, 0}, {0, 0, 2}})).full();
  EXPECT_EQ(e.s, (V{5, 2, 2}));
  EXPECT_EQ(e.u.data, (V{0, 1, 0, 1, 0, 0, 0, 0, 1}));
  EXPECT_EQ(e.v.data, e.u.data);
  const Svd n = BidiagSvd::make(test::from_rows({{-2}})).full();
  EXPECT_EQ(n.s, V{2});
  EXPECT_EQ(n.u(0, 0) * n.v(0, 0), -1.0);
  // A zero on the diagonal with a live superdiagonal beside it, both ends.
  for (const Mat& a : {test::from_rows({{0, 1}, {0, 1}}), test::from_rows({{1, 1}, {0, 0}})}) {
    const Svd z = BidiagSvd::make(a).full();
    EXPECT_NEAR(z.s[0], std::sqrt(2.0), 1e-15);
    EXPECT_EQ(z.s[1], 0.0);
    const Mat back = z.reconstruct_with(z.s);
    for (std::size_t p = 0; p < 4; ++p) EXPECT_NEAR(back.data[p], a.data[p], 1e-15);
  }
  // A non-finite entry ends in a bounded number of steps, non-finite values out.
  Mat bad(5, 3);
  for (double& x : bad.data) x = 1.0;
  bad(2, 1) = std::nan("");
  EXPECT_TRUE(std::isnan(BidiagSvd::make(bad).values().front()));
  // Values-only factors have no vectors to give.
  const BidiagSvd values = BidiagSvd::make(bad, BandVectors::none);
  EXPECT_NE(test::panic_text([&] { (void)values.left(1); }).find("values-only"), std::string::npos);
}

// The thresholded matrix forms only the surviving components; it equals the
// Jacobi path's to rounding, and a threshold above the spectrum gives +0.
TEST(BidiagSvd, ThresholdingMatchesJacobi) {
  Xoshiro256pp rng = Xoshiro256pp::make(7);
  for (const auto& shape : {std::pair<std::size_t, std::size_t>{30, 12}, {12, 30}}) {
    const Mat a = uniform(shape.first, shape.second, rng);
    const double smax = sigma_max(a, ExactSvd::jacobi);
    EXPECT_NEAR(sigma_max(a), smax, 1e-14 * smax);
    for (const double tau : {0.0, 0.3 * smax, 0.9 * smax}) {
      const SvtResult g = svt(a, tau, ExactSvd::golub_kahan);
      const SvtResult j = svt(a, tau, ExactSvd::jacobi);
      EXPECT_NEAR(g.nuclear, j.nuclear, 1e-13 * smax);
      for (std::size_t p = 0; p < a.data.size(); ++p) {
        EXPECT_NEAR(g.x.data[p], j.x.data[p], 1e-13 * smax) << tau;
      }
    }
    const SvtResult none = svt(a, 2.0 * smax);
    EXPECT_EQ(none.x.data, std::vector<double>(a.data.size(), 0.0));
    EXPECT_TRUE(none.nuclear == 0.0 && !std::signbit(none.nuclear));
  }
  EXPECT_EQ(sigma_max(Mat(0, 3)), 0.0);
}

// One decomposition refactored through every case in turn (shapes growing,
// shrinking and flipping, modes changing) and one workspace thresholding
// them all: stale storage from the previous input must not reach a bit of
// the next result.
TEST(BidiagSvd, RefactoringInPlaceMatchesFreshFactors) {
  BidiagSvd reused;
  SvtWorkspace work;
  Mat out(3, 3);
  const BandVectors modes[] = {BandVectors::logged, BandVectors::accumulated, BandVectors::none};
  std::size_t step = 0;
  for (const auto& [label, a] : cases(11)) {
    SCOPED_TRACE(label);
    const BandVectors mode = modes[step++ % 3];
    reused.refactor(a, mode);
    const BidiagSvd fresh = BidiagSvd::make(a, mode);
    EXPECT_EQ(reused.values(), fresh.values());
    if (mode != BandVectors::none) {
      const Svd r = reused.full(), f = fresh.full();
      EXPECT_EQ(r.u.data, f.u.data);
      EXPECT_EQ(r.v.data, f.v.data);
    }
    const double smax = fresh.values().empty() ? 0.0 : fresh.values().front();
    for (const double tau : {0.0, 0.05 * smax, 0.5 * smax}) {
      const SvtResult plain = svt(a, tau);
      const double nuclear = svt_into(a, tau, work, out);
      EXPECT_TRUE(out.rows == a.rows && out.cols == a.cols);
      EXPECT_EQ(out.data, plain.x.data) << tau;
      EXPECT_EQ(std::signbit(nuclear), std::signbit(plain.nuclear));
      EXPECT_EQ(nuclear, plain.nuclear);
    }
  }
}

}  // namespace
}  // namespace quintara::linalg
