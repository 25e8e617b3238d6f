#include "core/inference/placebo.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/panic.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::estimators::ScFit;
using quintara::estimators::sc::ScOptions;
using quintara::inference::PlaceboResult;
using quintara::inference::ScMethod;
using quintara::inference::sc_placebo_method;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;

template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const quintara::Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

const ScMethod kSc{ScOptions{}};
constexpr std::size_t kT = 8;
constexpr std::size_t kT0 = 5;

// Donor k: a common trend, a level k and a small unit-specific wiggle.
double donor_value(std::size_t k, std::size_t t) {
  const double kd = static_cast<double>(k), td = static_cast<double>(t);
  return 10.0 + 0.5 * td + kd + 0.3 * std::sin(1.3 * td + kd);
}

// Row 0 is treated: the donors' mean plus a small pre-period deviation and
// `post_shift` after kT0. Rows 1..J are donors.
Mat panel_with_effect(std::size_t J, double post_shift) {
  Mat y(J + 1, kT);
  for (std::size_t t = 0; t < kT; ++t) {
    double s = 0.0;
    for (std::size_t k = 0; k < J; ++k) {
      y(k + 1, t) = donor_value(k, t);
      s += y(k + 1, t);
    }
    y(0, t) = s / static_cast<double>(J) + 0.05 * std::cos(2.0 * static_cast<double>(t)) +
              (t >= kT0 ? post_shift : 0.0);
  }
  return y;
}

TEST(PlaceboStatistic, RmspeRatioIsInfiniteWithoutPositivePreError) {
  ScFit f;
  f.post_rmspe = 3.0;
  f.pre_rmspe = 2.0;
  EXPECT_EQ(kSc.statistic(f), 1.5);
  f.pre_rmspe = 0.0;
  EXPECT_EQ(kSc.statistic(f), std::numeric_limits<double>::infinity());
  f.pre_rmspe = std::nan("");
  EXPECT_EQ(kSc.statistic(f), std::numeric_limits<double>::infinity());
}

TEST(Placebo, OneDonorGivesNoDistribution) {
  const Panel p = Panel::block(panel_with_effect(1, 3.0), Units{0}, kT0);
  const PlaceboResult r = sc_placebo_method(p, kSc);
  EXPECT_TRUE(r.placebo_stats.empty());
  EXPECT_TRUE(r.placebo_atts.empty());
  EXPECT_EQ(r.p_value, 1.0);
  const ScFit f = kSc.fit_at(p, kT0);
  EXPECT_EQ(r.att, f.att);
  EXPECT_EQ(r.att_path, f.att_path);
  EXPECT_EQ(r.stat, kSc.statistic(f));
}

TEST(Placebo, LargestStatisticGivesOneOverJPlusOne) {
  const std::size_t J = 6;
  const Panel p = Panel::block(panel_with_effect(J, 20.0), Units{0}, kT0);
  const PlaceboResult r = sc_placebo_method(p, kSc);
  ASSERT_EQ(r.placebo_stats.size(), J);
  for (const double s : r.placebo_stats) {
    ASSERT_TRUE(std::isfinite(s));
    ASSERT_LT(s, r.stat);
  }
  EXPECT_EQ(r.p_value, 1.0 / 7.0);
}

TEST(Placebo, SmallestStatisticGivesOne) {
  // Treated far above every donor before and after: pre and post gaps are
  // alike, a ratio near 1. Donor post-periods alternate by +-5, so every
  // placebo ratio is far larger.
  const std::size_t J = 5;
  Mat y(J + 1, kT);
  for (std::size_t t = 0; t < kT; ++t) {
    y(0, t) = 100.0;
    for (std::size_t k = 0; k < J; ++k) {
      const double sign = (k + t) % 2 == 0 ? 1.0 : -1.0;
      y(k + 1, t) = donor_value(k, t) + (t >= kT0 ? 5.0 * sign : 0.0);
    }
  }
  const PlaceboResult r = sc_placebo_method(Panel::block(y, Units{0}, kT0), kSc);
  ASSERT_EQ(r.placebo_stats.size(), J);
  for (const double s : r.placebo_stats) ASSERT_GT(s, r.stat);
  EXPECT_EQ(r.p_value, 1.0);
}

TEST(Placebo, TiesCountAsAtLeastAsExtreme) {
  // All pre-periods are zero, so every fit (real and placebo) has pre-RMSPE
  // exactly 0 and statistic +inf: all J ties count, p = (J + 1) / (J + 1).
  const std::size_t J = 4;
  Mat y(J + 1, kT);
  for (std::size_t i = 0; i <= J; ++i) {
    for (std::size_t t = kT0; t < kT; ++t) y(i, t) = static_cast<double>(i * t) + 1.0;
  }
  const PlaceboResult r = sc_placebo_method(Panel::block(y, Units{0}, kT0), kSc);
  EXPECT_EQ(r.stat, std::numeric_limits<double>::infinity());
  ASSERT_EQ(r.placebo_stats.size(), J);
  for (const double s : r.placebo_stats) EXPECT_EQ(s, std::numeric_limits<double>::infinity());
  EXPECT_EQ(r.p_value, 1.0);
}

TEST(Placebo, PlaceboPanelsHoldTheDonorFirstThenTheOthersAscending) {
  const std::size_t J = 4;
  const Mat y = panel_with_effect(J, 2.0);
  const PlaceboResult r = sc_placebo_method(Panel::block(y, Units{0}, kT0), kSc);
  ASSERT_EQ(r.placebo_atts.size(), J);
  for (std::size_t j = 0; j < J; ++j) {
    Units order{j};
    for (std::size_t k = 0; k < J; ++k) {
      if (k != j) order.push_back(k);
    }
    Mat py(J, kT);
    for (std::size_t row = 0; row < J; ++row) {
      for (std::size_t t = 0; t < kT; ++t) py(row, t) = y(order[row] + 1, t);
    }
    const ScFit f = kSc.fit_at(Panel::block(py, Units{0}, kT0), kT0);
    EXPECT_EQ(r.placebo_atts[j], f.att) << "donor position " << j;
    EXPECT_EQ(r.placebo_stats[j], kSc.statistic(f)) << "donor position " << j;
  }
}

TEST(Placebo, TreatedUnitsNeverEnterPlaceboPanels) {
  const std::size_t J = 4;
  const Mat y = panel_with_effect(J, 2.0);
  Mat y2(J + 2, kT);
  for (std::size_t t = 0; t < kT; ++t) {
    for (std::size_t i = 0; i <= J; ++i) y2(i, t) = y(i, t);
    y2(J + 1, t) = 50.0 + static_cast<double>(t * t);
  }
  const PlaceboResult one = sc_placebo_method(Panel::block(y, Units{0}, kT0), kSc);
  const PlaceboResult two = sc_placebo_method(Panel::block(y2, Units{0, J + 1}, kT0), kSc);
  EXPECT_NE(one.att, two.att);
  EXPECT_EQ(one.placebo_stats, two.placebo_stats);
  EXPECT_EQ(one.placebo_atts, two.placebo_atts);
}

TEST(Placebo, RepeatedRunsAreBitIdentical) {
  const Panel p = Panel::block(panel_with_effect(12, 1.5), Units{0}, kT0);
  const PlaceboResult first = sc_placebo_method(p, kSc);
  for (int run = 0; run < 5; ++run) {
    const PlaceboResult again = sc_placebo_method(p, kSc);
    EXPECT_EQ(again.placebo_stats, first.placebo_stats);
    EXPECT_EQ(again.placebo_atts, first.placebo_atts);
    EXPECT_EQ(again.att_path, first.att_path);
    EXPECT_EQ(again.stat, first.stat);
    EXPECT_EQ(again.p_value, first.p_value);
  }
}

TEST(Placebo, RequiresOneCommonTreatmentTime) {
  const std::string msg = "placebo test requires a single common treatment time";
  const Mat y = panel_with_effect(3, 0.0);
  const Panel staggered = Panel::make(y, {3, 4, std::nullopt, std::nullopt});
  EXPECT_EQ(panic_text([&] { sc_placebo_method(staggered, kSc); }), msg);
  EXPECT_EQ(panic_text([&] { sc_placebo_method(Panel::block(y, Units{}, kT0), kSc); }), msg);
}

}  // namespace
