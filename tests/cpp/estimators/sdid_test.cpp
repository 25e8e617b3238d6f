#include "core/estimators/sc/sdid.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "sc_test_support.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::estimators::sc::SdidOptions;
using quintara::linalg::Mat;
using sc_test::from_rows;
using sc_test::panic_text;
using Units = std::vector<std::size_t>;
using Vec = std::vector<double>;
namespace sdid = quintara::estimators::sc::sdid;

TEST(SimplexWithIntercept, IgnoresLevels) {
  // Centred, column 0 is [-1, 0, 1] = the centred target and column 1 its
  // negative; the levels (0, 5 and 10) play no part. One exact Frank-Wolfe
  // step from [0.5, 0.5] lands on [1, 0] (hand computation).
  const Mat A = from_rows({{0.0, 5.0}, {1.0, 4.0}, {2.0, 3.0}});
  EXPECT_EQ(sdid::simplex_with_intercept(A, Vec{10.0, 11.0, 12.0}, 0.0, 0.0, 1.0),
            (Vec{1.0, 0.0}));
  EXPECT_TRUE(sdid::simplex_with_intercept(Mat(3, 0), Vec{1, 2, 3}, 0.0, 0.0, 1.0).empty());
}

TEST(SdidEffect, GivenWeightsByHand) {
  // Rows: treated [1, 2, 6], controls [0, 4, 5] and [2, 2, 3]; t0 = 2,
  // lambda = [0.25, 0.75], omega = [0.5, 0.5]. Treated: 6 - 1.75; controls:
  // (5 - 3) and (3 - 2); effect 4.25 - 0.5 * 2 - 0.5 * 1 = 2.75 (all exact).
  const Panel p = Panel::block(from_rows({{1, 2, 6}, {0, 4, 5}, {2, 2, 3}}), Units{0}, 2);
  EXPECT_EQ(sdid::att_given_weights(p, 2, Units{0}, Units{1, 2}, Vec{0.5, 0.5}, Vec{0.25, 0.75}),
            2.75);
}

TEST(SdidFit, InternalFailures) {
  const Mat y = from_rows({{1, 2, 3}, {2, 3, 5}, {0, 1, 1}});
  const auto fit = [&](Units treated, std::size_t t0) {
    sdid::fit_at(Panel::block(y, treated, 1), t0, SdidOptions{});
  };
  EXPECT_EQ(panic_text([&] { fit({}, 1); }), "no treated units");
  EXPECT_EQ(panic_text([&] { fit({0, 1, 2}, 1); }), "no control units");
  for (const std::size_t t0 : {0, 3}) {
    EXPECT_EQ(panic_text([&] { fit({0}, t0); }),
              "SDID needs at least one pre- and one post-period (t0 in 1..n_periods)");
  }
  EXPECT_EQ(panic_text([&] { sdid::jackknife_loo_atts(Panel::block(y, Units{0}, 1), 1, {}); }),
            "the SDID jackknife needs >= 2 treated units; use placebo inference otherwise");
}

}  // namespace
