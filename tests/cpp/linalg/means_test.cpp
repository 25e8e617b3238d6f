// The two mean forms: each keeps its own rounding and the index-order sum,
// and the QR sweep keeps the signed zero of its sums started from 0.0.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/qr.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;

TEST(Means, DivisionAndReciprocalFormsRoundApart) {
  // 5 / 3 and 5 * (1/3) differ in the last bit.
  EXPECT_EQ(mean_div(V{2.0, 3.0, 0.0}), 1.6666666666666667);
  EXPECT_EQ(mean_recip(V{2.0, 3.0, 0.0}), 1.6666666666666665);
  EXPECT_EQ(mean_div(3, [](std::size_t k) { return k == 0 ? 5.0 : 0.0; }), 1.6666666666666667);
  EXPECT_EQ(mean_recip(3, [](std::size_t k) { return k == 0 ? 5.0 : 0.0; }), 1.6666666666666665);
  // Left to right, 1 is absorbed by 1e16 before -1e16 cancels it; any other
  // order keeps it.
  EXPECT_EQ(mean_div(V{1.0, 1e16, -1e16}), 0.0);
  EXPECT_EQ(mean_recip(V{1.0, 1e16, -1e16}), 0.0);
  EXPECT_TRUE(std::isnan(mean_div(V{})));
  EXPECT_TRUE(std::isnan(mean_recip(V{})));
}

TEST(Qr, UpdateSumsStartFromZero) {
  // Column 1 is all -0: the sweep's sum 0.0 + (-0) + v1 * (-0) is +0, so
  // R(0, 1) = -0 - tau * (+0) stays -0 (a sum started from -0 would give +0).
  const Qr f = Qr::make(test::from_rows({{1.0, -0.0}, {1.0, -0.0}})).value();
  EXPECT_EQ(f.qr(0, 1), 0.0);
  EXPECT_TRUE(std::signbit(f.qr(0, 1)));
}

}  // namespace
}  // namespace quintara::linalg
