#include "core/geo/diagnostics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "../support.hpp"

namespace quintara::geo {
namespace {

using linalg::Mat;
using Texts = std::vector<std::string>;

const std::vector<std::size_t> kFirst = {0};

// A smooth, well-tracked design: donors on a common trend with small
// irregular noise, the treated unit the mean of two donors.
Mat tracked_panel(std::size_t n_units, std::size_t n_periods) {
  Mat y(n_units, n_periods);
  unsigned state = 12345u;
  for (std::size_t i = 1; i < n_units; ++i) {
    for (std::size_t t = 0; t < n_periods; ++t) {
      state = state * 1103515245u + 12345u;
      const double noise = static_cast<double>((state >> 16) % 1000) / 1000.0 - 0.5;
      y(i, t) = 100.0 + 3.0 * static_cast<double>(i) + 0.5 * static_cast<double>(t) + 0.2 * noise;
    }
  }
  for (std::size_t t = 0; t < n_periods; ++t) y(0, t) = 0.5 * (y(1, t) + y(2, t));
  return y;
}

// Zeros except the given period-0 values: exact totals whatever the layout.
Mat zeros_with_first_column(std::vector<double> values, std::size_t n_periods) {
  Mat y(values.size(), n_periods);
  for (std::size_t i = 0; i < values.size(); ++i) y(i, 0) = values[i];
  return y;
}

bool any_mentions(const std::vector<std::string>& warnings, const std::string& part) {
  return std::any_of(warnings.begin(), warnings.end(),
                     [&](const std::string& w) { return w.find(part) != std::string::npos; });
}

// The confidence that a holdout term `h` gives together with the record's
// other three terms.
double confidence_with_holdout_term(double h, const Diagnostics& d) {
  const double fit = std::clamp(1.0 - d.pre_fit_rel, 0.0, 1.0);
  const double s =
      0.15 * h + 0.25 * d.stability_score + 0.4 * fit + 0.2 * d.improvement_vs_naive;
  return 100.0 * std::clamp(s, 0.0, 1.0);
}

TEST(UnitAvg, SumsThenMultipliesByTheReciprocalAndIsZeroForNoUnits) {
  const Mat y = test::from_rows({{1.0, 4.0}, {1.0, 0.5}, {3.0, 2.0}, {9.0, 9.0}});
  const std::vector<std::size_t> three = {2, 0, 1};
  const std::vector<double> avg = unit_avg(y, three);
  // 5/3 and 5*(1/3) differ in the last bit; the reciprocal form is the one.
  ASSERT_NE(5.0 / 3.0, 5.0 * (1.0 / 3.0));
  EXPECT_EQ(avg, (std::vector<double>{5.0 * (1.0 / 3.0), 6.5 * (1.0 / 3.0)}));
  EXPECT_EQ(unit_avg(y, {}), (std::vector<double>{0.0, 0.0}));
}

TEST(Diagnostics, TestLenOutsideThePanelIsAnInvariantViolation) {
  const Mat y = tracked_panel(6, 10);
  const std::string expected = "test_len must be in [1, n_periods); got 10 with 10 periods";
  EXPECT_EQ(test::panic_text([&] { diagnostics(y, kFirst, 10); }), expected);
  EXPECT_NE(test::panic_text([&] { diagnostics(y, kFirst, 0); }), "<no panic>");
  EXPECT_EQ(test::panic_text([&] { diagnostics(y, kFirst, 9); }), "<no panic>");
}

TEST(Diagnostics, WellPosedDesignHasNoWarnings) {
  const Mat y = tracked_panel(8, 24);
  const Diagnostics d = diagnostics(y, kFirst, 6);
  EXPECT_EQ(d.warnings, Texts{});
  EXPECT_GT(d.confidence, 50.0);
}

// One design that trips six warnings at once, pinned in full and in order:
// the treated unit sits far above two flat donors and swings every period.
TEST(Diagnostics, WarningsTextsAndOrder) {
  Mat y(3, 12);
  for (std::size_t t = 0; t < 12; ++t) {
    y(0, t) = t % 2 == 0 ? 10.0 : 30.0;
    y(1, t) = 1.0;
    y(2, t) = 2.0;
  }
  const Diagnostics d = diagnostics(y, kFirst, 6);
  // Fit 1 on the upper donor: gaps 8 and 28, sd of the treated series sqrt(120).
  EXPECT_NEAR(d.pre_fit_rel, std::sqrt(424.0) / std::sqrt(120.0), 1e-9);
  EXPECT_EQ(
      d.warnings,
      (Texts{
          "Weak pre-period fit (relative RMSPE 1.88); the synthetic control tracks the treated "
          "markets poorly — treat results with caution.",
          "Treated markets are volatile pre-period (period-to-period swings ≈110% of level); "
          "power may be unstable.",
          "Seasonality detected (≈2-period cycle); ensure the test window spans comparable "
          "seasonal conditions.",
          "Treated markets are 87% of volume — a large holdout leaves a thin, possibly "
          "poor-matching donor pool.",
          "Only 2 donor markets; synthetic control needs a richer donor pool for a stable "
          "counterfactual.",
          "Short pre-period (6 periods) relative to the 6-period test; more history improves "
          "the fit."}));
  // Changes 20, -20, ... (mean 4): lag 2 correlates 1088 / 1920.
  EXPECT_NEAR(d.seasonality_strength, 1088.0 / 1920.0, 1e-12);
  EXPECT_NEAR(d.stability_score, 1.0 / (1.0 + 8.0 * std::sqrt(480.0) / 20.0), 1e-12);
  EXPECT_EQ(d.improvement_vs_naive, 0.0);  // worse than the shifted donor average
  // H = 0 above 70 %, F = 0 for a fit this weak: only stability counts.
  EXPECT_NEAR(d.confidence, 25.0 * d.stability_score, 1e-12);
}

TEST(Diagnostics, HoldoutBoundaries) {
  struct Case {
    double treated_volume;
    double holdout;
    const char* warning;  // nullptr: no holdout warning
    double h;             // holdout term of the confidence score
  };
  const Case cases[] = {
      {1.0, 0.01, "Treated markets are only 1.0% of volume — likely too small to detect "
                  "realistic lifts.", 1.0 / 3.0},
      {2.0, 0.02, nullptr, 0.02 / 0.03},
      {3.0, 0.03, nullptr, 1.0},
      {35.0, 0.35, nullptr, 1.0},
      {45.0, 0.45, nullptr, 1.0 - 0.1 / 0.35},
      {46.0, 0.46, "Treated markets are 46% of volume — a large holdout leaves a thin, "
                   "possibly poor-matching donor pool.", 1.0 - 0.11 / 0.35},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.treated_volume);
    // Totals of exactly 100: the shares are the exact decimal boundaries.
    const Mat y = zeros_with_first_column(
        {c.treated_volume, 100.0 - c.treated_volume, 0.0, 0.0, 0.0, 0.0}, 16);
    const Diagnostics d = diagnostics(y, kFirst, 4);
    EXPECT_EQ(d.holdout_pct, c.holdout);
    const bool small = any_mentions(d.warnings, "% of volume — likely too small");
    const bool large = any_mentions(d.warnings, "% of volume — a large holdout");
    if (c.warning == nullptr) {
      EXPECT_FALSE(small || large);
    } else {
      EXPECT_TRUE(any_mentions(d.warnings, c.warning));
    }
    EXPECT_NEAR(d.confidence, confidence_with_holdout_term(c.h, d), 1e-9);
  }
}

TEST(Diagnostics, NonPositiveTotalGivesNoHoldout) {
  for (const double level : {0.0, -1.0}) {
    SCOPED_TRACE(level);
    Mat y(6, 16);
    for (double& v : y.data) v = level;
    const Diagnostics d = diagnostics(y, kFirst, 4);
    // -1 everywhere would otherwise be a 1/6 share.
    EXPECT_EQ(d.holdout_pct, 0.0);
    EXPECT_EQ(d.warnings, Texts{"Treated markets are only 0.0% of volume — likely too small to "
                                "detect realistic lifts."});
    EXPECT_NEAR(d.confidence, confidence_with_holdout_term(0.0, d), 1e-9);
    EXPECT_LT(d.confidence, 100.0 * (1.0 - 0.15) + 1e-9);
  }
}

// The tracked panel with the treated unit repeating `cycle`.
Mat with_treated_cycle(std::size_t n_periods, std::vector<double> cycle) {
  Mat y = tracked_panel(7, n_periods);
  for (std::size_t t = 0; t < n_periods; ++t) y(0, t) = cycle[t % cycle.size()];
  return y;
}

TEST(Diagnostics, WarningBoundaries) {
  struct Case {
    const char* what;
    Mat y;
    std::size_t test_len;
    const char* text;
    bool present;
  };
  const std::vector<double> alternating = {100.0, 110.0}, four_cycle = {100.0, 104.0, 100.0, 96.0};
  const Case cases[] = {
      {"four donors", tracked_panel(5, 24), 6, "Only 4 donor markets;", true},
      {"five donors", tracked_panel(6, 24), 6, "donor markets", false},
      {"8 pre-periods, test 12", tracked_panel(8, 20), 12,
       "Short pre-period (8 periods) relative to the 12-period test;", true},
      {"16 pre-periods, test 4", tracked_panel(8, 20), 4, "Short pre-period", false},
      {"12 pre-periods, test 6", tracked_panel(8, 18), 6, "Short pre-period", false},
      // Changes alternating in sign correlate at lag 2, once lag 2 is looked at.
      {"alternating, 5 pre-periods", with_treated_cycle(10, alternating), 5, "easonality", false},
      {"alternating, 6 pre-periods", with_treated_cycle(10, alternating), 4,
       "Seasonality detected (≈2-period cycle)", true},
      // 8 pre-periods give 7 changes, so lags 2 and 3 only: the 4-cycle is not found.
      {"4-cycle, 8 pre-periods", with_treated_cycle(12, four_cycle), 4, "easonality", false},
      {"4-cycle, 10 pre-periods", with_treated_cycle(14, four_cycle), 4,
       "Seasonality detected (≈4-period cycle)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(any_mentions(diagnostics(c.y, kFirst, c.test_len).warnings, c.text), c.present);
  }
  EXPECT_EQ(diagnostics(with_treated_cycle(10, alternating), kFirst, 5).seasonality_strength, 0.0);
}

TEST(Diagnostics, TiesGoToTheShorterLag) {
  // Changes -2, -2, 2, -1, 1, -2, 2, 0, 2 (mean 0) over 10 pre-periods:
  // lags 2 and 4 both correlate exactly 8 / 26.
  Mat y = tracked_panel(7, 14);
  const double changes[] = {-2.0, -2.0, 2.0, -1.0, 1.0, -2.0, 2.0, 0.0, 2.0};
  y(0, 0) = 100.0;
  for (std::size_t t = 1; t < 14; ++t) y(0, t) = y(0, t - 1) + (t <= 9 ? changes[t - 1] : 0.0);
  const Diagnostics d = diagnostics(y, kFirst, 4);
  EXPECT_EQ(d.seasonality_strength, 8.0 / 26.0);
  EXPECT_TRUE(any_mentions(d.warnings, "(≈2-period cycle)"));
}

}  // namespace
}  // namespace quintara::geo
