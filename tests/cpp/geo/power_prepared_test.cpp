// The one-solve-per-window power curve against the refit reference: every
// field of the result bit for bit, for every method, on random panels with
// binding weight bounds, repeated and zero lifts, and a lookback.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "../support.hpp"
#include "core/geo/power.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::linalg::Mat;
using quintara::runs::Method;
using quintara::test::market_panel;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::uint64_t bits(std::optional<double> x) {
  return x ? bits(*x) : std::uint64_t{0x7ff4'dead'beef'0000};  // not any double's bits
}

void expect_same(const geo::PowerResult& fast, const geo::PowerResult& refit) {
  EXPECT_EQ(fast.method, refit.method);
  EXPECT_EQ(fast.n_windows, refit.n_windows);
  EXPECT_EQ(bits(fast.crit), bits(refit.crit));
  EXPECT_EQ(bits(fast.se_null), bits(refit.se_null));
  EXPECT_EQ(bits(fast.mde_pct), bits(refit.mde_pct));
  EXPECT_EQ(bits(fast.mde_abs_per_period), bits(refit.mde_abs_per_period));
  EXPECT_EQ(bits(fast.mde_cumulative), bits(refit.mde_cumulative));
  ASSERT_EQ(fast.points.size(), refit.points.size());
  for (std::size_t k = 0; k < fast.points.size(); ++k) {
    const geo::PowerPoint &a = fast.points[k], &b = refit.points[k];
    EXPECT_EQ(bits(a.lift), bits(b.lift)) << "point " << k;
    EXPECT_EQ(bits(a.power), bits(b.power)) << "point " << k;
    EXPECT_EQ(bits(a.est_mean), bits(b.est_mean)) << "point " << k;
    EXPECT_EQ(bits(a.est_lo), bits(b.est_lo)) << "point " << k;
    EXPECT_EQ(bits(a.est_hi), bits(b.est_hi)) << "point " << k;
  }
}

TEST(PreparedPowerCurve, EqualsTheRefitBitForBit) {
  struct Case {
    Mat y;
    std::vector<std::size_t> treated;  // unsorted on purpose
    std::size_t test_len, min_pre;
    std::optional<std::size_t> lookback;
    double min_weight, max_weight;
  };
  const std::vector<Case> cases{
      {market_panel(12, 30, 3), {7, 2}, 4, 4, std::nullopt, 0.02, 0.3},
      {market_panel(15, 20, 21), {11}, 2, 2, 1, 0.05, 0.2},
  };
  // Zero first and in the middle, a repeated lift, and a -0.0.
  const std::vector<double> lifts{0.0, 0.03, 0.1, 0.03, -0.0, 0.4, 0.0};
  for (const Case& c : cases) {
    for (const Method m : {Method::Sc, Method::Asc, Method::Sdid, Method::Fp, Method::Rsc}) {
      SCOPED_TRACE(testing::Message()
                   << "method " << static_cast<int>(m) << " panel " << c.y.rows << "x" << c.y.cols);
      const geo::PowerResult fast =
          geo::power_curve(c.y, c.treated, c.test_len, c.min_pre, lifts, m, 0.2, 0.7, c.lookback,
                           c.min_weight, c.max_weight);
      expect_same(fast, geo::power_curve_refit(c.y, c.treated, c.test_len, c.min_pre, lifts, m, 0.2,
                                               0.7, c.lookback, c.min_weight, c.max_weight));
      // The lifts move the curve, so the comparison is not between constants.
      EXPECT_NE(bits(fast.points[1].est_mean), bits(fast.points[5].est_mean));
    }
  }
}

}  // namespace
