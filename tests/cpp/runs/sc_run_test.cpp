// A synthetic-control run computes its real fit once and hands it to the
// inference: the record must equal what the stand-alone routines, which fit
// again, produce.
#include "core/runs/sc_run.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/inference/intervals.hpp"

namespace {

namespace est = quintara::estimators;
namespace inf = quintara::inference;
using namespace quintara::runs;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;

constexpr std::size_t kT0 = 9;

// Ten units over 12 periods with distinct levels, trends and wiggles; units
// 0 and 1 gain 1.0 after kT0.
Mat panel_data() {
  Mat y(10, 12);
  for (std::size_t i = 0; i < 10; ++i) {
    for (std::size_t t = 0; t < 12; ++t) {
      const double id = static_cast<double>(i), td = static_cast<double>(t);
      y(i, t) =
          id + 0.1 * id * td + std::sin(1.3 * id + 0.7 * td) + (i < 2 && t >= kT0 ? 1.0 : 0.0);
    }
  }
  return y;
}

TEST(ScRun, PlaceboRunEqualsTheStandaloneTest) {
  for (const est::sc::ScMethod& method :
       {est::sc::ScMethod{est::sc::ScOptions{}}, est::sc::ScMethod{est::sc::SdidOptions{}},
        est::sc::ScMethod{est::sc::FpOptions{}}}) {
    const PyScResult r = run_sc({panel_data(), Units{0}, kT0, method, ScInference::Placebo, 0.9});
    const est::Panel panel = est::Panel::block(panel_data(), Units{0}, kT0);
    const est::ScFit fit = method.fit_at(panel, kT0);
    const inf::PlaceboResult p = inf::sc_placebo_method(panel, method);
    const inf::Interval i = inf::percentile_ci(p.placebo_atts, 0.0, 0.9);
    EXPECT_EQ(r.weights, fit.weights);
    ASSERT_TRUE(r.p_value && r.placebo_atts && r.ci_lower);
    EXPECT_EQ(*r.p_value, p.p_value);
    EXPECT_EQ(*r.inference_distribution, p.placebo_stats);
    EXPECT_EQ(*r.placebo_atts, p.placebo_atts);
    EXPECT_EQ(*r.ci_lower, i.lower + fit.att);
    EXPECT_EQ(*r.ci_upper, fit.att + i.upper);
  }
  // Without inference every inference attribute stays absent.
  const PyScResult none =
      run_sc({panel_data(), Units{0}, kT0, {est::sc::ScOptions{}}, ScInference::None, 0.9});
  EXPECT_FALSE(none.p_value || none.se || none.placebo_atts || none.inference_distribution);
}

TEST(ScRun, JackknifeReusesBothWeightVectors) {
  const est::sc::SdidOptions options;
  const PyScResult r =
      run_sc({panel_data(), Units{0, 1}, kT0, {options}, ScInference::Jackknife, 0.95});
  const est::Panel panel = est::Panel::block(panel_data(), Units{0, 1}, kT0);
  const std::vector<double> loo = est::sc::sdid::jackknife_loo_atts(panel, kT0, options);
  const double se = est::sc::sdid::jackknife_se(loo);
  const double z = inf::normal_quantile(0.975);
  EXPECT_EQ(*r.inference_distribution, loo);
  EXPECT_EQ(*r.se, se);
  EXPECT_EQ(*r.ci_lower, r.att - z * se);
  EXPECT_EQ(*r.ci_upper, r.att + z * se);
  EXPECT_FALSE(r.p_value.has_value());
  EXPECT_EQ(
      quintara::test::panic_text([] {
        run_sc(
            {panel_data(), Units{0, 1}, kT0, {est::sc::ScOptions{}}, ScInference::Jackknife, 0.95});
      }),
      "the jackknife is defined for SDID only");
}

}  // namespace
