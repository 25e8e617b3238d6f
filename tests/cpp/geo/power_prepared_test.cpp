// The one-solve-per-window power curve against the refit reference: every
// field of the result bit for bit, for every method, on random panels with
// binding weight bounds, repeated and zero lifts, and a lookback.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "../support.hpp"
#include "power_bits.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::estimators::sc::Method;
using quintara::linalg::Mat;
using quintara::test::bits;
using quintara::test::market_panel;
using quintara::test::power_bits;

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
      EXPECT_EQ(power_bits(fast), power_bits(geo::power_curve_refit(
                                      c.y, c.treated, c.test_len, c.min_pre, lifts, m, 0.2, 0.7,
                                      c.lookback, c.min_weight, c.max_weight)));
      // The lifts move the curve, so the comparison is not between constants.
      EXPECT_NE(bits(fast.points[1].est_mean), bits(fast.points[5].est_mean));
    }
  }
}

}  // namespace
