// The placebo record below the Python surface: the statistic's +inf rule,
// ties in the p-value, the refusal text, and every refit against a fit on a
// panel of the donors alone (donor slots, for all five estimators, with
// default and with bounded, ridged options). The lone
// donor, the extreme p-value and the exclusion of treated units are checked
// through the entries in the Python tests.
#include "core/inference/placebo.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../support.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::estimators::ScFit;
using quintara::estimators::sc::ScMethod;
using quintara::inference::PlaceboResult;
using quintara::inference::sc_placebo_method;
using quintara::linalg::Mat;
using quintara::test::panic_text;
using Units = std::vector<std::size_t>;

const ScMethod kSc{quintara::estimators::sc::ScOptions{}};
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kT = 8;
constexpr std::size_t kT0 = 5;

// Row 0 is treated: the donors' mean plus a small pre-period deviation and
// a shift of 1.5 after kT0. Donor k: a common trend, a level k and a wiggle.
Mat panel_with_effect(std::size_t J) {
  Mat y(J + 1, kT);
  for (std::size_t t = 0; t < kT; ++t) {
    const double td = static_cast<double>(t);
    double s = 0.0;
    for (std::size_t k = 0; k < J; ++k) {
      const double kd = static_cast<double>(k);
      y(k + 1, t) = 10.0 + 0.5 * td + kd + 0.3 * std::sin(1.3 * td + kd);
      s += y(k + 1, t);
    }
    y(0, t) = s / static_cast<double>(J) + 0.05 * std::cos(2.0 * td) + (t >= kT0 ? 1.5 : 0.0);
  }
  return y;
}

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

TEST(Placebo, RefitsMatchFitsOnPanelsOfTheDonorsAlone) {
  // Refit j must equal, bit for bit, the fit on a panel holding donor j
  // (treated) and then the other donors in ascending order. The treated unit
  // sits mid-panel, so skipping it is checked too. A fitted mean turns the
  // -0.0 into +0.0, so donor 2's refit forms its treated mean as a fit does.
  Mat y = panel_with_effect(6);
  y(2, 1) = -0.0;
  const Panel p = Panel::block(y, Units{3}, kT0);
  const Units donors = p.never_treated_units();
  namespace sc = quintara::estimators::sc;
  const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
  // Default and bounded, ridged options: the fast paths read a pool's Gram
  // matrix in place, and bounds and ridges reach every entry of it.
  for (const ScMethod& m :
       {kSc, ScMethod{sc::AscOptions{}}, ScMethod{sc::SdidOptions{}}, ScMethod{sc::FpOptions{}},
        ScMethod{sc::RscOptions{}}, ScMethod{sc::ScOptions{0.0, 0.3, 0.5, 0.2}},
        ScMethod{sc::AscOptions{std::nullopt, 2.0, 0.02, 0.3}},
        ScMethod{sc::SdidOptions{0.02, 0.3, 2.0}}, ScMethod{sc::FpOptions{0.02, 0.3, 2.0}}}) {
    const PlaceboResult r = sc_placebo_method(p, m);
    ASSERT_EQ(r.placebo_atts.size(), donors.size());
    for (std::size_t j = 0; j < donors.size(); ++j) {
      Units order{donors[j]};
      for (std::size_t k = 0; k < donors.size(); ++k) {
        if (k != j) order.push_back(donors[k]);
      }
      Mat yj(order.size(), kT);
      for (std::size_t i = 0; i < order.size(); ++i) {
        for (std::size_t t = 0; t < kT; ++t) yj(i, t) = y(order[i], t);
      }
      const ScFit f = m.fit_at(Panel::block(yj, Units{0}, kT0), kT0);
      EXPECT_EQ(bits(r.placebo_stats[j]), bits(m.statistic(f))) << m.options.index() << " " << j;
      EXPECT_EQ(bits(r.placebo_atts[j]), bits(f.att)) << m.options.index() << " " << j;
    }
  }
}

TEST(Placebo, RequiresOneCommonTreatmentTime) {
  const std::string msg = "placebo test requires a single common treatment time";
  const Mat y(4, kT);
  const Panel staggered = Panel::make(y, {3, 4, std::nullopt, std::nullopt});
  EXPECT_EQ(panic_text([&] { sc_placebo_method(staggered, kSc); }), msg);
  EXPECT_EQ(panic_text([&] { sc_placebo_method(Panel::block(y, Units{}, kT0), kSc); }), msg);
}

}  // namespace
