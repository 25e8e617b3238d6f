// Small square solves: a system that needs a row exchange, a singular one,
// and seeded random systems against their residuals.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "../support.hpp"
#include "core/linalg/lu.hpp"

namespace quintara::linalg {
namespace {

TEST(Lu, PivotsSingularAndRandom) {
  // The zero in the corner forces the exchange.
  const auto x = solve_lu(test::from_rows({{0, 2}, {3, 1}}), {4, 5});
  ASSERT_TRUE(x);
  EXPECT_DOUBLE_EQ((*x)[0], 1.0);
  EXPECT_DOUBLE_EQ((*x)[1], 2.0);
  EXPECT_FALSE(solve_lu(test::from_rows({{1, 2}, {2, 4}}), {1, 2}));
  std::mt19937_64 gen(11);
  std::normal_distribution<double> nd;
  for (std::size_t n = 1; n <= 8; ++n) {
    Mat a(n, n);
    for (double& v : a.data) v = nd(gen);
    std::vector<double> b(n);
    for (double& v : b) v = nd(gen);
    const auto s = solve_lu(a, b);
    ASSERT_TRUE(s);
    for (std::size_t i = 0; i < n; ++i) {
      double r = -b[i];
      for (std::size_t j = 0; j < n; ++j) r += a(i, j) * (*s)[j];
      EXPECT_NEAR(r, 0.0, 1e-10) << n;
    }
  }
  EXPECT_NE(test::panic_text([] { solve_lu(Mat(2, 3), {1, 2}); }).find("2x3 system"),
            std::string::npos);
}

}  // namespace
}  // namespace quintara::linalg
