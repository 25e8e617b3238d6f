// Dense matrix kernels: shape assertions, the zero-skipping rules that keep
// non-finite entries out of products, Gram shapes, the scaled norm and the
// LinalgError text forms. Expected values are hand computations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "../support.hpp"
#include "core/linalg/error.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/rng.hpp"

namespace quintara::linalg {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using V = std::vector<double>;
using test::eq_failure;
using test::panic_text;

Mat cols(std::size_t r, std::size_t c, V data) {
  Mat m(r, c);
  m.data.assign(data.begin(), data.end());
  return m;
}

TEST(Kernels, ShapeAssertions) {
  Mat A(2, 3), B4(4, 2), B3(3, 2), C57(5, 7), C27(2, 7);
  V x2(2), x3(3), y2(2), y3(3), y4(4);
  // With several shapes wrong the inner dimension is reported first.
  EXPECT_EQ(panic_text([&] { gemm(A, B4, C57, 1, 0); }),
            eq_failure("gemm: A.cols != B.rows", 3, 4));
  EXPECT_EQ(panic_text([&] { dot(V{1, 2}, V{3}); }),
            "index out of bounds: the len is 1 but the index is 1");
  const std::function<void()> also_wrong[] = {[&] { gemm(A, B3, C57, 1, 0); },
                                              [&] { gemm(A, B3, C27, 1, 0); },
                                              [&] { gemv(A, x2, y4, 1, 0); },
                                              [&] { gemv(A, x3, y3, 1, 0); },
                                              [&] { gemv_t(A, x3, y4, 1, 0); },
                                              [&] { gemv_t(A, x2, y2, 1, 0); },
                                              [&] { (void)A(0, 3); }};
  for (const auto& call : also_wrong) EXPECT_NE(panic_text(call), "<no panic>");
  EXPECT_EQ(dot(V{1, 2}, V{3, 4, 100}), 11.0);  // a longer b's tail is ignored
}

TEST(Kernels, ScalingAndZeroSkipping) {
  // A = [[1,2,3],[4,5,6]], B = [[1,0],[0,1],[1,1]]: 2*A*B + 3*1 = [[11,13],[23,25]].
  Mat C = cols(2, 2, {1, 1, 1, 1});
  gemm(cols(2, 3, {1, 4, 2, 5, 3, 6}), cols(3, 2, {1, 0, 1, 0, 1, 1}), C, 2, 3);
  EXPECT_EQ(C.data, (V{11, 23, 13, 25}));

  const Mat A = cols(2, 2, {1, 2, kInf, -kInf});  // column 1 non-finite
  const Mat ones = cols(2, 2, {1, 1, 1, 1});
  Mat D = cols(2, 2, {kNaN, kNaN, 7, 7});
  gemm(A, ones, D, 0, 0);  // beta 0 discards even NaN
  EXPECT_EQ(D.data, (V{0, 0, 0, 0}));
  Mat E = cols(2, 2, {1, 2, 3, 4});
  gemm(A, ones, E, 0, 1);
  EXPECT_EQ(E.data, (V{1, 2, 3, 4}));
  gemm(A, cols(2, 2, {3, 0, 1, 1}), E, 1, 0);  // B(1, 0) = 0: column 0 never sees inf
  EXPECT_EQ(E(0, 0), 3.0);
  EXPECT_EQ(E(1, 0), 6.0);
  V y(2);
  gemv(A, V{1.0, -0.0}, y, 1, 0);  // -0.0 * alpha is still exactly zero
  EXPECT_EQ(y, (V{1, 2}));

  V z{kNaN, kNaN};
  gemv_t(cols(2, 2, {1, 2, 3, 4}), V{1, 1}, z, 1, 0);  // beta 0: old NaN not read
  EXPECT_EQ(z, (V{3, 7}));
  gemv_t(cols(2, 2, {1, 2, 3, 4}), V{1, 1}, z, 2, 0.5);
  EXPECT_EQ(z, (V{7.5, 17.5}));
  V w{5};
  gemv_t(cols(2, 1, {kNaN, 1}), V{1, 1}, w, 0, 1);  // no alpha = 0 shortcut
  EXPECT_TRUE(std::isnan(w[0]));
}

TEST(Kernels, GramTransposeAndNorm) {
  EXPECT_EQ(syrk_ata(Mat(0, 3)).data, V(9, 0.0));
  EXPECT_EQ(syrk_ata(Mat(3, 0)).rows, 0u);
  // [[1,2],[3,4],[5,6]]^T [[1,2],[3,4],[5,6]] = [[35,44],[44,56]].
  EXPECT_EQ(syrk_ata(cols(3, 2, {1, 3, 5, 2, 4, 6})).data, (V{35, 44, 44, 56}));
  // The blocked columns sum each element as the plain loop does, bit for bit;
  // 39 columns reach the blocks of 32 and tails of every width.
  Mat A(7, 39);
  for (std::size_t k = 0; k < A.data.size(); ++k) A.data[k] = std::sin(1.7 * k) * (1 + k % 5);
  const Mat G = syrk_ata(A);
  for (std::size_t i = 0; i < 39; ++i) {
    for (std::size_t j = 0; j < 39; ++j) {
      double g = 0.0;
      for (std::size_t k = 0; k < 7; ++k) g += A(k, std::min(i, j)) * A(k, std::max(i, j));
      EXPECT_EQ(G(i, j), g) << i << "," << j;
    }
  }
  const Mat T = cols(2, 3, {1, 2, 3, 4, 5, 6}).transpose();
  EXPECT_EQ(T.rows, 3u);
  EXPECT_EQ(T.data, (V{1, 3, 5, 2, 4, 6}));

  EXPECT_EQ(norm2(V{3, 4}), 5.0);
  EXPECT_NEAR(norm2(V{1e200, 1e200}) / 1e200, std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(norm2(V{1e-200, -1e-200}) / 1e-200, std::sqrt(2.0), 1e-15);
  EXPECT_EQ(norm2(V{0, 0}), 0.0);
  EXPECT_TRUE(std::isnan(norm2(V{1, kNaN, 2})));
}

TEST(Kernels, BlockedGemmMatchesColumnLoopBitForBit) {
  // Row counts either side of the 8-row tiles, column counts either side of
  // the 4-column panels, views with a leading dimension past their rows,
  // and zero, signed-zero and non-finite multipliers (skipped terms keep
  // inf and NaN of A out of those columns).
  auto rng = Xoshiro256pp::make(20261208);
  const double specials[] = {0.0, -0.0, kInf, kNaN, 1e-300, -3.0};
  for (const std::size_t m : {1u, 7u, 8u, 9u, 23u, 64u}) {
    for (const std::size_t n : {1u, 3u, 4u, 5u, 11u}) {
      for (const std::size_t p : {0u, 1u, 6u, 17u}) {
        Mat big(m + 3, p);
        for (double& x : big.data) x = rng.next_f64() * 4.0 - 2.0;
        Mat B(p, n);
        for (double& x : B.data) x = rng.next_f64() - 0.5;
        // Every other shape without specials: whole panels free of zero
        // multipliers take the path without the tests.
        if ((m + n + p) % 2 == 0) {
          for (std::size_t q = 0; q < B.data.size(); q += 5) {
            B.data[q] = specials[(q / 5) % std::size(specials)];
          }
        }
        if (p > 0) big.data[rng.next_u64() % big.data.size()] = kInf;
        const MatView A{big.data.data(), m, p, big.rows};
        for (const double beta : {0.0, 1.0, -0.5}) {
          Mat C(m, n), Ref(m, n);
          for (std::size_t q = 0; q < C.data.size(); ++q) C.data[q] = Ref.data[q] = std::cos(q);
          gemm(A, B, C, 1.5, beta);
          gemm_columns(A, B, Ref, 1.5, beta);
          for (std::size_t q = 0; q < C.data.size(); ++q) {
            // Bits agree, signed zeros included; NaN payloads are not pinned.
            const bool both_nan = std::isnan(C.data[q]) && std::isnan(Ref.data[q]);
            ASSERT_TRUE(both_nan || std::memcmp(&C.data[q], &Ref.data[q], sizeof(double)) == 0)
                << m << "x" << p << "x" << n << " beta " << beta << " at " << q << ": " << C.data[q]
                << " vs " << Ref.data[q];
          }
        }
      }
    }
  }
}

TEST(LinalgErrorText, FieldsAndBareForms) {
  EXPECT_EQ(LinalgError::empty().to_string(), "Empty");
  Expected<int> bad = LinalgError::dim_mismatch(4, 3);
  EXPECT_EQ(panic_text([&] { std::move(bad).expect("randomized_svd: QR of sample matrix"); }),
            "randomized_svd: QR of sample matrix: DimMismatch { expected: 4, got: 3 }");
}

}  // namespace
}  // namespace quintara::linalg
