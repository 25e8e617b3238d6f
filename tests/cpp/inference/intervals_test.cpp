#include "core/inference/intervals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "../support.hpp"

namespace {

using namespace quintara::inference;
using Vec = std::vector<double>;

TEST(PercentileCi, HandComputedFewValuesAndRefusals) {
  // a = 0.25; h = 0.75 gives 0.75*2 + 0.25*1 = 1.75, h = 2.25 gives
  // 0.25*4 + 0.75*3 = 3.25; mean 2.5, squares sum to 5. Input order is free.
  for (const Vec& v : {Vec{1, 2, 3, 4}, Vec{3, 1, 4, 2}}) {
    const Interval i = percentile_ci(v, 0.0, 0.5);
    EXPECT_EQ(i.lower, 1.75);
    EXPECT_EQ(i.upper, 3.25);
    EXPECT_EQ(i.se, std::sqrt(5.0 / 3.0));
    EXPECT_EQ(i.level, 0.5);
  }
  const Interval none = percentile_ci(Vec{}, 7.0, 0.9);
  EXPECT_TRUE(std::isnan(none.lower) && std::isnan(none.upper));
  EXPECT_TRUE(none.se == 0.0 && none.estimate == 7.0);
  const Interval one = percentile_ci(Vec{-2.5}, 0.0, 0.9);
  EXPECT_TRUE(one.lower == -2.5 && one.upper == -2.5 && one.se == 0.0);
  for (const double level : {0.0, 1.0, std::nan("")}) {
    EXPECT_EQ(quintara::test::panic_text([&] { percentile_ci(Vec{1, 2}, 0.0, level); }),
              "assertion failed: level > 0.0 && level < 1.0");
  }
  EXPECT_THROW(percentile_ci(Vec{1, std::nan(""), 2}, 0.0, 0.9), quintara::Panic);
}

TEST(QuantileSorted, ClampsAndInterpolates) {
  const Vec s{-1.0, 0.5, 2.0, 10.0};
  // {q, expected}: q is clamped to [0, 1]; h = q * 3.
  for (const auto& [q, want] : std::vector<std::pair<double, double>>{
           {-0.2, -1.0}, {1.7, 10.0}, {2.0 / 3.0, 2.0} /* h = 2 exactly */, {0.5, 1.25}})
    EXPECT_EQ(quantile_sorted(s, q), want) << q;
  EXPECT_TRUE(std::isnan(quantile_sorted(Vec{}, 0.5)));
  EXPECT_EQ(quantile_sorted(Vec{4.0}, 0.9), 4.0);
}

TEST(NormalQuantile, ReferenceValuesAndRegionBoundary) {
  EXPECT_EQ(normal_quantile(0.5), 0.0);
  // SciPy 1.17.1 norm.ppf; Acklam's relative error is below 1.2e-9.
  EXPECT_NEAR(normal_quantile(0.975), 1.959963984540054, 5e-9);
  EXPECT_NEAR(normal_quantile(0.01), -2.3263478740408408, 5e-9);
  EXPECT_NEAR(normal_quantile(0.99), 2.3263478740408408, 5e-9);
  EXPECT_NEAR(normal_quantile(1e-10), -6.361340902404056, 1e-8);
  // p = 0.02425 belongs to the central formula: Python float evaluation of
  // the central formula gives -1.9729610490848712, of the tail formula
  // -1.972961053530962.
  EXPECT_EQ(normal_quantile(0.02425), -1.9729610490848712);
  for (const double p : {0.0, 1.0, -0.5, std::nan("")})
    EXPECT_THROW(normal_quantile(p), quintara::Panic);
}

TEST(NormalCritical, KeepsTheUpperProbabilityAndSurvivesLevelsNextToOne) {
  EXPECT_EQ(normal_critical(0.95), normal_quantile(1.0 - (1.0 - 0.95) / 2.0));
  // 1 - (1 - level)/2 rounds to 1 here; the lower tail is still positive.
  const double level = std::nextafter(1.0, 0.0);
  EXPECT_EQ(normal_critical(level), -normal_quantile((1.0 - level) / 2.0));
  EXPECT_NEAR(normal_critical(level), 8.29, 0.01);
}

TEST(NormalPValue, DegenerateStandardErrors) {
  // Ordinary values are checked against SciPy through the DiD entries.
  EXPECT_EQ(normal_p_value(1.0, 0.0), 0.0);
  EXPECT_EQ(normal_p_value(0.0, 1.0), 1.0);
  EXPECT_TRUE(std::isnan(normal_p_value(0.0, 0.0)));
}

}  // namespace
