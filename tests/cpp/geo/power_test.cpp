// Power curves: the window scheme, the injected panels, the curve summary
// rules (critical value, spread, detections, estimated lifts, minimal
// detectable effect) and the curve assembled from real fits.
#include "core/geo/power.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "../support.hpp"
#include "core/runs/validate.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::linalg::Mat;
using quintara::runs::Method;
using Units = std::vector<std::size_t>;
using Windows = std::vector<std::size_t>;

// Eight units over 16 periods with distinct levels and wiggles.
Mat panel_data() {
  Mat y(8, 16);
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t t = 0; t < 16; ++t) {
      const double id = static_cast<double>(i), td = static_cast<double>(t);
      y(i, t) = 5.0 + id + std::sin(0.9 * id + 0.6 * td) + 0.3 * std::cos(2.1 * td + id);
    }
  }
  return y;
}

geo::PowerPoint point(double lift, double power) { return {lift, power, 0.0, 0.0, 0.0}; }

TEST(PowerWindows, SplitsFollowThePreWindowAndLookback) {
  const std::size_t pre = quintara::runs::validate::check_geo_window(3, 0, 10);
  EXPECT_EQ(geo::window_set(10, 3, pre, std::nullopt), (Windows{3, 4, 5, 6, 7}));
  EXPECT_EQ(geo::window_set(10, 3, pre, 2), (Windows{6, 7}));
  EXPECT_EQ(geo::window_set(10, 3, pre, 0), (Windows{7}));
  EXPECT_EQ(geo::window_set(10, 3, pre, 5), (Windows{3, 4, 5, 6, 7}));
  EXPECT_EQ(geo::window_set(10, 3, pre, 99), (Windows{3, 4, 5, 6, 7}));
  // A zero pre-window still leaves one pre-period.
  EXPECT_EQ(geo::window_set(4, 2, 0, std::nullopt), (Windows{1, 2}));
  EXPECT_TRUE(geo::window_set(10, 3, 8, std::nullopt).empty());
}

TEST(PowerWindows, InjectionScalesTreatedTestCellsOnly) {
  Mat y = panel_data();
  y(1, 2) = -0.0;
  const Units treated{1, 4};
  const auto same = geo::injected_subpanel(y, treated, 6, 9, 0.0);
  ASSERT_EQ(same.y.rows, 8u);
  ASSERT_EQ(same.y.cols, 9u);
  for (std::size_t p = 0; p < same.y.data.size(); ++p) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(same.y.data[p]),
              std::bit_cast<std::uint64_t>(y.data[p]));
  }

  const auto lifted = geo::injected_subpanel(y, treated, 6, 9, 0.25);
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 9; ++j) {
      const bool scaled = (i == 1 || i == 4) && j >= 6;
      EXPECT_EQ(lifted.y(i, j), scaled ? y(i, j) * 1.25 : y(i, j)) << i << "," << j;
    }
  }
  EXPECT_EQ(lifted.treated_units(), (Units{1, 4}));
  EXPECT_EQ(lifted.treat_start[4], std::optional<std::size_t>(6));
}

TEST(PowerCurveSummary, CriticalValueAndSpread) {
  // One window: crit is its |ATT|, the spread 0.
  const std::vector<double> one{-2.5};
  EXPECT_EQ(geo::critical_value(one, 0.1), 2.5);
  EXPECT_EQ(geo::null_se(one), 0.0);

  // |ATT| sorted: 1 2 3 4 5; q = 0.9 sits at h = 3.6 between 4 and 5.
  const std::vector<double> atts{-5.0, 1.0, 3.0, -2.0, 4.0};
  const double h = 0.9 * 4.0, f = h - 3.0;
  EXPECT_EQ(geo::critical_value(atts, 0.1), (1.0 - f) * 4.0 + f * 5.0);
  // Signed mean 0.2; squares of the deviations sum to 50.8.
  double ss = 0.0;
  for (const double a : atts) ss += (a - 0.2) * (a - 0.2);
  EXPECT_EQ(geo::null_se(atts), std::sqrt(ss / 4.0));
}

TEST(PowerCurveSummary, PointDetectsStrictlyAboveCritAndEstimatesLifts) {
  const std::vector<double> atts{1.0, -3.0, 2.0, 3.0};
  const geo::PowerPoint p = geo::curve_point(0.1, atts, 2.0, 4.0, 0.5);
  EXPECT_EQ(p.lift, 0.1);
  EXPECT_EQ(p.power, 0.5);  // |ATT| = 2 ties crit and is not a detection
  EXPECT_EQ(p.est_mean, (((0.25 + -0.75) + 0.5) + 0.75) / 4.0);
  // Estimates sorted: -0.75 0.25 0.5 0.75; q = 0.25 and 0.75 at h = 0.75, 2.25.
  EXPECT_EQ(p.est_lo, 0.25 * -0.75 + 0.75 * 0.25);
  EXPECT_EQ(p.est_hi, 0.75 * 0.5 + 0.25 * 0.75);

  // A treated level at or below the floor leaves power defined, estimates NaN.
  for (const double level : {0.0, -2.220446049250313e-13, 1e-13}) {
    const geo::PowerPoint z = geo::curve_point(0.1, atts, 2.0, level, 0.5);
    EXPECT_EQ(z.power, 0.5);
    EXPECT_TRUE(std::isnan(z.est_mean) && std::isnan(z.est_lo) && std::isnan(z.est_hi));
  }
  EXPECT_FALSE(std::isnan(geo::curve_point(0.1, atts, 2.0, 2.3e-13, 0.5).est_mean));
}

TEST(PowerCurveSummary, MinimalDetectableEffect) {
  const geo::TreatedBaseline base{6.0, 2.0};
  // Reached at the third point, interpolated from the second.
  const std::vector<geo::PowerPoint> rising{point(0.0, 0.1), point(0.1, 0.5), point(0.2, 0.9)};
  const auto m = geo::minimal_detectable_effect(rising, 0.8, base, 3);
  ASSERT_TRUE(m.has_value());
  const double pct = 0.1 + (0.2 - 0.1) * (0.8 - 0.5) / (0.9 - 0.5);
  EXPECT_EQ(m->pct, pct);
  EXPECT_EQ(m->abs_per_period, 2.0 * pct);
  EXPECT_EQ(m->cumulative, 3.0 * 6.0 * pct);

  // The first point already reaching the target gives exactly its lift.
  const std::vector<geo::PowerPoint> first{point(0.07, 0.85), point(0.01, 0.9)};
  EXPECT_EQ(geo::minimal_detectable_effect(first, 0.8, base, 3).value().pct, 0.07);
  // Lifts are scanned as given, never sorted.
  const std::vector<geo::PowerPoint> unsorted{point(0.3, 0.4), point(0.2, 0.9), point(0.1, 0.95)};
  EXPECT_EQ(geo::minimal_detectable_effect(unsorted, 0.8, base, 3).value().pct,
            0.3 + (0.2 - 0.3) * (0.8 - 0.4) / (0.9 - 0.4));
  // Never reached, or no lifts: all three fields absent together.
  const std::vector<geo::PowerPoint> low{point(0.1, 0.2), point(0.2, 0.79)};
  geo::PowerResult r;
  geo::set_mde(r, geo::minimal_detectable_effect(rising, 0.8, base, 3));
  ASSERT_TRUE(r.mde_pct && r.mde_abs_per_period && r.mde_cumulative);
  geo::set_mde(r, geo::minimal_detectable_effect(low, 0.8, base, 3));
  EXPECT_FALSE(r.mde_pct || r.mde_abs_per_period || r.mde_cumulative);
  EXPECT_FALSE(geo::minimal_detectable_effect({}, 0.8, base, 3).has_value());
}

TEST(PowerCurve, OneWindowAndAZeroTreatedLevel) {
  Mat y = panel_data();
  const Units treated{0, 2};
  // With lookback 1 the only window splits at T - test_len = 12.
  const std::vector<double> lifts{0.0, 0.3};
  const geo::PowerResult r =
      geo::power_curve(y, treated, 4, 4, lifts, Method::Sc, 0.1, 0.8, 1, 0.0, 1.0);
  const double att0 =
      quintara::runs::fit_method(geo::injected_subpanel(y, treated, 12, 16, 0.0), 12, Method::Sc,
                                 0.0, 1.0)
          .att;
  EXPECT_EQ(r.n_windows, 1u);
  EXPECT_EQ(r.crit, std::fabs(att0));
  EXPECT_EQ(r.se_null, 0.0);
  EXPECT_EQ(r.points[0].power, 0.0);  // its own |ATT| is not above itself
  EXPECT_EQ(r.points[0].est_lo, r.points[0].est_hi);
  EXPECT_EQ(r.method, Method::Sc);

  // Treated rows that average to exactly 0: estimates NaN, power defined.
  for (std::size_t t = 0; t < 16; ++t) {
    y(0, t) = t % 2 == 0 ? 1.5 : -1.5;
    y(2, t) = t % 4 < 2 ? 0.25 : -0.25;
  }
  EXPECT_EQ(geo::treated_baseline(y, treated).level, 0.0);
  const geo::PowerResult z =
      geo::power_curve(y, treated, 3, 3, lifts, Method::Sdid, 0.1, 0.8, std::nullopt, 0.0, 1.0);
  EXPECT_EQ(z.n_windows, 11u);
  for (const geo::PowerPoint& p : z.points) {
    EXPECT_TRUE(p.power >= 0.0 && p.power <= 1.0);
    EXPECT_TRUE(std::isnan(p.est_mean) && std::isnan(p.est_lo) && std::isnan(p.est_hi));
  }
}

TEST(PowerCurve, PreconditionsAreInvariants) {
  const Mat y = panel_data();
  const Units treated{0};
  EXPECT_EQ(quintara::test::panic_text([&] {
              geo::power_curve(y, treated, 16, 0, {}, Method::Sc, 0.1, 0.8, std::nullopt, 0, 1);
            }),
            "test_len out of range");
  EXPECT_EQ(quintara::test::panic_text([&] {
              geo::power_curve(y, treated, 6, 11, {}, Method::Sc, 0.1, 0.8, std::nullopt, 0, 1);
            }),
            "not enough periods for the requested pre-window + test_len");
}

}  // namespace
