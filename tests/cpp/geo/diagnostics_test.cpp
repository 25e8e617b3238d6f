#include "core/geo/diagnostics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "../support.hpp"

namespace quintara::geo {
namespace {

using linalg::Mat;

const std::vector<std::size_t> kFirst = {0};

// Donors on a common trend with small irregular noise; the treated unit is
// the mean of donors 1 and 2, or repeats `cycle` when one is given.
Mat tracked_panel(std::size_t n_units, std::size_t n_periods, std::vector<double> cycle = {}) {
  Mat y(n_units, n_periods);
  unsigned state = 12345u;
  for (std::size_t k = n_periods; k < n_units * n_periods; ++k) {  // row-major, donors only
    state = state * 1103515245u + 12345u;
    const double noise = static_cast<double>((state >> 16) % 1000) / 1000.0 - 0.5;
    const std::size_t i = k / n_periods, t = k % n_periods;
    y(i, t) = 100.0 + 3.0 * static_cast<double>(i) + 0.5 * static_cast<double>(t) + 0.2 * noise;
  }
  for (std::size_t t = 0; t < n_periods; ++t)
    y(0, t) = cycle.empty() ? 0.5 * (y(1, t) + y(2, t)) : cycle[t % cycle.size()];
  return y;
}

bool any_mentions(const std::vector<std::string>& warnings, const std::string& part) {
  return std::ranges::any_of(warnings,
                             [&](const std::string& w) { return w.find(part) != w.npos; });
}

// The confidence that a holdout term `h` gives with the record's other terms.
double confidence_with_holdout_term(double h, const Diagnostics& d) {
  const double fit = std::clamp(1.0 - d.pre_fit_rel, 0.0, 1.0);
  const double s = 0.15 * h + 0.25 * d.stability_score + 0.4 * fit + 0.2 * d.improvement_vs_naive;
  return 100.0 * std::clamp(s, 0.0, 1.0);
}

TEST(Diagnostics, UnitAvgAndTestLenRange) {
  const Mat y = test::from_rows({{1.0, 4.0}, {1.0, 0.5}, {3.0, 2.0}, {9.0, 9.0}});
  const std::vector<std::size_t> three = {2, 0, 1};
  // 5/3 and 5*(1/3) differ in the last bit; the reciprocal form is the one.
  EXPECT_EQ(unit_avg(y, three), (std::vector<double>{5.0 * (1.0 / 3.0), 6.5 * (1.0 / 3.0)}));
  EXPECT_EQ(unit_avg(y, {}), (std::vector<double>{0.0, 0.0}));
  const Mat p = tracked_panel(6, 10);
  for (const std::size_t bad : {0u, 10u})
    EXPECT_NE(test::panic_text([&] { diagnostics(p, kFirst, bad); }), "<no panic>");
}

// One design that trips six warnings at once: the treated unit sits far
// above two flat donors and swings every period.
TEST(Diagnostics, WarningsTextsAndOrder) {
  const Mat y = test::from_rows({{10, 30, 10, 30, 10, 30, 10, 30, 10, 30, 10, 30},
                                 {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
                                 {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}});
  EXPECT_EQ(
      diagnostics(y, kFirst, 6).warnings,
      (std::vector<std::string>{
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
}

// Zeros except period 0 (totals of exactly 100, so the shares are the exact
// decimal boundaries); a non-positive total is no holdout at all.
TEST(Diagnostics, HoldoutBoundaries) {
  const struct {
    double treated, donor, holdout, h;
    const char* warning;  // nullptr: no holdout warning
  } cases[] = {
      {1.0, 99.0, 0.01, 1.0 / 3.0,
       "Treated markets are only 1.0% of volume — likely too small to detect realistic lifts."},
      {2.0, 98.0, 0.02, 0.02 / 0.03, nullptr},
      {3.0, 97.0, 0.03, 1.0, nullptr},
      {35.0, 65.0, 0.35, 1.0, nullptr},
      {45.0, 55.0, 0.45, 1.0 - 0.1 / 0.35, nullptr},
      {46.0, 54.0, 0.46, 1.0 - 0.11 / 0.35, "Treated markets are 46% of volume — a large holdout"},
      {0.0, 0.0, 0.0, 0.0, "Treated markets are only 0.0% of volume"},
      {-1.0, -1.0, 0.0, 0.0, "Treated markets are only 0.0% of volume"},  // else a 1/2 share
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.treated);
    Mat y(6, 16);
    y(0, 0) = c.treated;
    y(1, 0) = c.donor;
    const Diagnostics d = diagnostics(y, kFirst, 4);
    EXPECT_EQ(d.holdout_pct, c.holdout);
    EXPECT_EQ(any_mentions(d.warnings, c.warning ? c.warning : "% of volume"),
              c.warning != nullptr);
    EXPECT_NEAR(d.confidence, confidence_with_holdout_term(c.h, d), 1e-9);
  }
}

TEST(Diagnostics, WarningBoundaries) {
  const struct {
    const char* what;
    Mat y;
    std::size_t test_len;
    const char* text;
    bool present;
  } cases[] = {
      {"well posed", tracked_panel(8, 24), 6, "", false},
      {"four donors", tracked_panel(5, 24), 6, "Only 4 donor markets;", true},
      {"five donors", tracked_panel(6, 24), 6, "donor markets", false},
      {"8 pre, test 12", tracked_panel(8, 20), 12, "(8 periods) relative to the 12-period", true},
      {"12 pre, test 6", tracked_panel(8, 18), 6, "Short pre-period", false},
      // Alternating changes correlate at lag 2 once seasonality is looked at.
      {"alternating, 5 pre", tracked_panel(7, 10, {100, 110}), 5, "easonality", false},
      {"alternating, 6 pre", tracked_panel(7, 10, {100, 110}), 4, "(≈2-period cycle)", true},
      // 7 changes allow lags 2 and 3 only; 9 changes reach lag 4.
      {"4-cycle, 8 pre", tracked_panel(7, 12, {100, 104, 100, 96}), 4, "easonality", false},
      {"4-cycle, 10 pre", tracked_panel(7, 14, {100, 104, 100, 96}), 4, "(≈4-period cycle)", true},
      // Changes -2, -2, 2, -1, 1, -2, 2, 0, 2: lags 2 and 4 tie at 8 / 26.
      {"tie", tracked_panel(7, 14, {100, 98, 96, 98, 97, 98, 96, 98, 98, 100, 100, 100, 100, 100}),
       4, "(≈2-period cycle)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(any_mentions(diagnostics(c.y, kFirst, c.test_len).warnings, c.text), c.present);
  }
}

}  // namespace
}  // namespace quintara::geo
