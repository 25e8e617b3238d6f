// Power curves: the window scheme, the curve point rules (critical value,
// detections, NaN estimates at a zero treated level), the minimal detectable
// effect, and both curve entries' preconditions.
#include "core/geo/power.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "../support.hpp"
#include "core/geo/ensemble.hpp"
#include "core/runs/validate.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::estimators::sc::Method;
using quintara::linalg::Mat;
using Windows = std::vector<std::size_t>;

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

TEST(PowerCurveSummary, PointDetectsStrictlyAboveCritAndEstimatesLifts) {
  const std::vector<double> atts{1.0, -3.0, 2.0, 3.0};
  const geo::PowerPoint p = geo::curve_point(0.1, atts, 2.0, 4.0, 0.5);
  EXPECT_EQ(p.power, 0.5);  // |ATT| = 2 ties crit and is not a detection
  // |ATT| sorted: 1 2 3 3; q = 0.6 sits at h = 1.8.
  const double f = (1.0 - 0.4) * 3.0 - 1.0;
  EXPECT_EQ(geo::critical_value(atts, 0.4), (1.0 - f) * 2.0 + f * 3.0);
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
  // Never reached, or no lifts: all three fields absent together.
  const std::vector<geo::PowerPoint> low{point(0.1, 0.2), point(0.2, 0.79)};
  geo::PowerResult r;
  geo::set_mde(r, m);
  geo::set_mde(r, geo::minimal_detectable_effect(low, 0.8, base, 3));
  EXPECT_FALSE(r.mde_pct || r.mde_abs_per_period || r.mde_cumulative);
  EXPECT_FALSE(geo::minimal_detectable_effect({}, 0.8, base, 3).has_value());
}

TEST(PowerCurve, PreconditionsAreInvariants) {
  const Mat y = quintara::test::market_panel(4, 16, 1);
  const std::vector<std::size_t> treated{0};
  const auto single = [&](std::size_t test_len, std::size_t min_pre) {
    return quintara::test::panic_text([&] {
      geo::power_curve(y, treated, test_len, min_pre, {}, Method::Sc, 0.1, 0.8, std::nullopt, 0, 1);
    });
  };
  const auto ensemble = [&](std::size_t test_len, std::size_t min_pre, std::vector<Method> members,
                            std::optional<std::span<const double>> weights = std::nullopt) {
    return quintara::test::panic_text([&] {
      geo::power_curve_ensemble(y, treated, test_len, min_pre, {}, members, weights, 0.1, 0.8,
                                std::nullopt, 0.0, 1.0);
    });
  };
  EXPECT_EQ(single(16, 0), "test_len out of range");
  EXPECT_EQ(single(6, 11), "not enough periods for the requested pre-window + test_len");
  // The ensemble checks the window first, in the same words, then its members.
  EXPECT_EQ(ensemble(16, 0, {}), single(16, 0));
  EXPECT_EQ(ensemble(6, 11, {}), single(6, 11));
  EXPECT_EQ(ensemble(3, 3, {}), "ensemble needs at least one member");
  EXPECT_EQ(ensemble(3, 3, {Method::Sc}, std::vector<double>{1.0, 1.0}),
            "one ensemble weight per member");
}

}  // namespace
