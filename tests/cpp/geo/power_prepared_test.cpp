// The one-solve-per-window power curve against the refit reference: every
// field of the result bit for bit, for every method, on random panels with
// binding weight bounds, repeated and zero lifts, and a lookback.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/geo/power.hpp"
#include "core/linalg/rng.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::linalg::Mat;
using quintara::runs::Method;
using Units = std::vector<std::size_t>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::uint64_t bits(std::optional<double> x) {
  return x ? bits(*x) : std::uint64_t{0x7ff4'dead'beef'0000};  // not any double's bits
}

// Markets at their own level with a shared weekly cycle, a drift and noise.
Mat market_panel(std::size_t n, std::size_t t, std::uint64_t seed) {
  auto rng = quintara::linalg::Xoshiro256pp::make(seed);
  Mat y(n, t);
  for (std::size_t i = 0; i < n; ++i) {
    const double level = 20.0 + 30.0 * rng.next_f64(), cycle = 1.0 + 3.0 * rng.next_f64();
    const double drift = 0.2 * (rng.next_f64() - 0.5);
    for (std::size_t j = 0; j < t; ++j) {
      const double phase = static_cast<double>(j % 7) / 7.0;
      y(i, j) = level + cycle * (phase - 0.5) + drift * static_cast<double>(j) +
                2.0 * (rng.next_f64() - 0.5);
    }
  }
  return y;
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
    Units treated;  // unsorted on purpose
    std::size_t test_len, min_pre;
    std::optional<std::size_t> lookback;
    double min_weight, max_weight;
  };
  const std::vector<Case> cases{
      {market_panel(12, 30, 3), {7, 2}, 4, 4, std::nullopt, 0.02, 0.3},
      {market_panel(9, 24, 8), {0, 5, 3}, 3, 5, 6, 0.0, 0.25},
      {market_panel(15, 20, 21), {11}, 2, 2, 1, 0.05, 0.2},
  };
  // Zero first and in the middle, a repeated lift, and a -0.0.
  const std::vector<double> lifts{0.0, 0.03, 0.1, 0.03, -0.0, 0.4, 0.0};
  for (const Case& c : cases) {
    for (const Method m : {Method::Sc, Method::Asc, Method::Sdid, Method::Fp, Method::Rsc}) {
      SCOPED_TRACE(testing::Message() << "method " << static_cast<int>(m) << " panel "
                                      << c.y.rows << "x" << c.y.cols);
      const geo::PowerResult fast =
          geo::power_curve(c.y, c.treated, c.test_len, c.min_pre, lifts, m, 0.2, 0.7,
                           c.lookback, c.min_weight, c.max_weight);
      const geo::PowerResult refit =
          geo::power_curve_refit(c.y, c.treated, c.test_len, c.min_pre, lifts, m, 0.2, 0.7,
                                 c.lookback, c.min_weight, c.max_weight);
      expect_same(fast, refit);
      // The lifts move the curve, so the comparison is not between constants.
      EXPECT_NE(bits(fast.points[1].est_mean), bits(fast.points[5].est_mean));
    }
  }
}

TEST(PreparedPowerCurve, MembersShareOneWindowPanel) {
  const Mat y = market_panel(10, 22, 5);
  const Units treated{4, 1};
  const std::vector<std::size_t> windows{8, 12, 15};
  const std::vector<Method> members{Method::Sdid, Method::Sc, Method::Sdid};
  const geo::PreparedWindows prepared =
      geo::prepare_windows(y, treated, windows, 5, members, 0.0, 0.4);
  ASSERT_EQ(prepared.fits.size(), 9u);
  for (const double lift : {0.0, 0.15}) {
    const auto atts = geo::assembled_atts(prepared, y, treated, lift);
    ASSERT_EQ(atts.size(), 3u);
    for (std::size_t m = 0; m < members.size(); ++m) {
      const std::vector<double> refit =
          geo::window_atts(y, treated, windows, 5, lift, members[m], 0.0, 0.4);
      ASSERT_EQ(atts[m].size(), windows.size());
      for (std::size_t w = 0; w < windows.size(); ++w) {
        EXPECT_EQ(bits(atts[m][w]), bits(refit[w])) << "member " << m << " window " << w;
      }
    }
  }
}

}  // namespace
