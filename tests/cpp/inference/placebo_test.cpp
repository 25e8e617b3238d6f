// The placebo record below the Python surface: the statistic's +inf rule,
// ties in the p-value and the refusal text. Donor slots, the lone donor, the
// extreme p-value and the exclusion of treated units are checked through the
// entries in the Python tests.
#include "core/inference/placebo.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "../support.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::estimators::ScFit;
using quintara::inference::PlaceboResult;
using quintara::inference::ScMethod;
using quintara::inference::sc_placebo_method;
using quintara::linalg::Mat;
using quintara::test::panic_text;
using Units = std::vector<std::size_t>;

const ScMethod kSc{quintara::estimators::sc::ScOptions{}};
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kT = 8;
constexpr std::size_t kT0 = 5;

TEST(Placebo, RmspeRatioIsInfiniteWithoutPositivePreError) {
  ScFit f;
  f.post_rmspe = 3.0;
  f.pre_rmspe = 2.0;
  EXPECT_EQ(kSc.statistic(f), 1.5);
  for (const double pre : {0.0, std::nan("")}) {
    f.pre_rmspe = pre;
    EXPECT_EQ(kSc.statistic(f), kInf);
  }
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
  EXPECT_EQ(r.stat, kInf);
  EXPECT_EQ(r.placebo_stats, std::vector<double>(J, kInf));
  EXPECT_EQ(r.p_value, 1.0);
}

TEST(Placebo, RequiresOneCommonTreatmentTime) {
  const std::string msg = "placebo test requires a single common treatment time";
  const Mat y(4, kT);
  const Panel staggered = Panel::make(y, {3, 4, std::nullopt, std::nullopt});
  EXPECT_EQ(panic_text([&] { sc_placebo_method(staggered, kSc); }), msg);
  EXPECT_EQ(panic_text([&] { sc_placebo_method(Panel::block(y, Units{}, kT0), kSc); }), msg);
}

}  // namespace
