// Pieces of the sensitivity analysis: the truncated and folded normal
// quantiles against their distribution functions, the relative-magnitude
// constraints against the definition of Delta^RM on seeded random trends,
// and the work budget. (The intervals themselves are checked against
// moderndid in Python.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/inference/arp_test.hpp"
#include "core/inference/flci.hpp"
#include "core/inference/intervals.hpp"
#include "core/inference/relative_magnitudes.hpp"

namespace quintara::inference {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Sensitivity, TruncatedAndFoldedNormalQuantiles) {
  EXPECT_DOUBLE_EQ(truncated_normal_quantile(0.975, -kInf, kInf), normal_quantile(0.975));
  // The upper half of the normal: its median is the 0.75 quantile.
  EXPECT_NEAR(truncated_normal_quantile(0.5, 0.0, kInf), normal_quantile(0.75), 1e-12);
  for (const auto& [p, lo, up] :
       {std::tuple{0.9, -1.0, 2.0}, std::tuple{0.3, 0.5, 1.5}, std::tuple{0.95, -kInf, -1.0}}) {
    const double q = truncated_normal_quantile(p, lo, up);
    const double plo = std::isinf(lo) ? 0.0 : normal_cdf(lo);
    EXPECT_NEAR((normal_cdf(q) - plo) / (normal_cdf(up) - plo), p, 1e-8);
  }
  EXPECT_EQ(truncated_normal_quantile(0.0, -1.0, 1.0), -1.0);
  EXPECT_EQ(truncated_normal_quantile(1.0, -1.0, 1.0), 1.0);
  // Far in the tail the interval carries no mass in double precision.
  EXPECT_EQ(truncated_normal_quantile(0.5, 40.0, 41.0), 40.0);

  EXPECT_NEAR(folded_normal_quantile(0.95, 0.0), 1.959963984540054, 1e-8);
  for (const double mu : {0.3, -1.0, 2.5, 10.0}) {
    const double x = folded_normal_quantile(0.95, mu);
    EXPECT_NEAR(normal_cdf(x - std::abs(mu)) - normal_cdf(-x - std::abs(mu)), 0.95, 1e-12) << mu;
  }
}

// delta (pre, reference 0, post) lies in the piece (s, sign) of
// Delta^RM(mbar) when the difference into period s is the largest pre-period
// one in absolute value, of that sign, and bounds every post difference by
// mbar times itself.
bool in_piece(const std::vector<double>& full, std::size_t k, double mbar, long s, bool positive) {
  const auto at = static_cast<std::size_t>(static_cast<long>(k) + s);
  const double top = (positive ? 1.0 : -1.0) * (full[at] - full[at - 1]);
  for (std::size_t r = 1; r < full.size(); ++r) {
    const double bound = r <= k ? top : mbar * top;
    if (std::abs(full[r] - full[r - 1]) > bound + 1e-12) return false;
  }
  return true;
}

TEST(Sensitivity, RelativeMagnitudeConstraintsMatchTheDefinition) {
  std::mt19937_64 gen(7);
  std::normal_distribution<double> nd;
  int inside = 0;
  for (int rep = 0; rep < 400; ++rep) {
    const std::size_t k = 1 + rep % 3;
    const std::size_t t = 1 + rep % 4;
    const double mbar = 0.5 * static_cast<double>(rep % 5);
    // A trend near a piece's boundary often enough to exercise both sides.
    std::vector<double> full(k + t + 1, 0.0);
    for (std::size_t i = 1; i < full.size(); ++i) full[i] = full[i - 1] + nd(gen);
    const double ref = full[k];
    for (double& v : full) v -= ref;
    std::vector<double> delta;
    for (std::size_t i = 0; i < full.size(); ++i) {
      if (i != k) delta.push_back(full[i]);
    }
    for (long s = -static_cast<long>(k) + 1; s <= 0; ++s) {
      for (const bool positive : {true, false}) {
        const linalg::Mat a = rm_constraints(k, t, mbar, s, positive);
        bool ok = true;
        for (std::size_t r = 0; r < a.rows; ++r) {
          double v = 0.0;
          for (std::size_t j = 0; j < a.cols; ++j) v += a(r, j) * delta[j];
          ok = ok && v <= 1e-12;
        }
        EXPECT_EQ(ok, in_piece(full, k, mbar, s, positive)) << rep << " " << s;
        inside += ok ? 1 : 0;
      }
    }
  }
  EXPECT_GT(inside, 20);
}

TEST(Sensitivity, BudgetCountsEveryProgram) {
  LpBudget budget{3, 0};
  for (int i = 0; i < 3; ++i) budget.take();
  EXPECT_THROW(budget.take(), WorkBudgetExceeded);
  EXPECT_EQ(budget.used, 3u);
}

}  // namespace
}  // namespace quintara::inference
