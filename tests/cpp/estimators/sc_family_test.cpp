// The synthetic-control family below the Python surface: the fit record's
// arithmetic, the penalty against an independent QP solution, SDID's pieces
// by hand, and the refusals and fallbacks the entries make unreachable. Fit
// behaviours visible from Python are tested through the entries.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "../support.hpp"
#include "core/estimators/sc/augmented.hpp"
#include "core/estimators/sc/demeaned.hpp"
#include "core/estimators/sc/robust.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/estimators/sc/synthetic.hpp"

namespace {

using namespace quintara::estimators;
using quintara::Panic;
using quintara::linalg::Mat;
using quintara::test::from_rows;
using quintara::test::panic_text;
using Units = std::vector<std::size_t>;
using Vec = std::vector<double>;

TEST(FitRecord, RmspeAndMean) {
  EXPECT_EQ(rmspe(Vec{}), 0.0);
  // norm2([3, 4]) is exactly 5 under the scaled sum of squares.
  EXPECT_EQ(rmspe(Vec{3.0, 4.0}), 5.0 / std::sqrt(2.0));
  EXPECT_DOUBLE_EQ(rmspe(Vec{1e200, -1e200}), 1e200);  // no overflow
  EXPECT_EQ(mean_or_zero(Vec{}), 0.0);
  // Left to right: (0.1 + 0.2) + 0.3 = 0.6000000000000001, / 3 gives
  // 0.20000000000000004 (the other association gives 0.19999999999999998).
  EXPECT_EQ(mean_or_zero(Vec{0.1, 0.2, 0.3}), 0.20000000000000004);
}

TEST(SyntheticFit, PenaltyShiftsWeightToTheClosestDonor) {
  // Treated pre-path [1, 1, 1, 1] is exactly the midpoint of donors 1 and 2,
  // each at squared distance 16 from it; donor 3 is at squared distance 0.15.
  // SciPy 1.17.1 SLSQP on the stated objective: penalty 0 gives weights
  // (0.5, 0.5, 0), penalty 1 gives (0, 0, 1) with pre-RMSPE
  // sqrt(0.15 / 4) = 0.19364916731037085.
  const Panel p = Panel::block(from_rows({{1.0, 1.0, 1.0, 1.0, 2.0},
                                          {3.0, -1.0, 3.0, -1.0, 1.0},
                                          {-1.0, 3.0, -1.0, 3.0, 1.0},
                                          {1.2, 0.9, 1.1, 0.7, 1.0}}),
                               Units{0}, 4);
  const ScFit plain = sc::synthetic::fit_at(p, 4, sc::ScOptions{});
  for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(plain.weights[j], j < 2 ? 0.5 : 0.0, 1e-12);
  const ScFit penalised = sc::synthetic::fit_at(p, 4, sc::ScOptions{0.0, 1.0, 0.0, 1.0});
  EXPECT_NEAR(penalised.weights[2], 1.0, 1e-9);
  EXPECT_NEAR(penalised.pre_rmspe, 0.19364916731037085, 1e-8);
}

// One message stands for the family's refusals; none is reachable from Python.
TEST(ScFamily, RefusesPanelsWithoutTreatedOrDonorUnits) {
  const Mat y = from_rows({{1, 2, 3}, {2, 3, 5}, {0, 1, 1}});
  const std::vector<std::function<void(const Panel&, std::size_t)>> fits{
      [](const Panel& p, std::size_t t0) { sc::synthetic::fit_at(p, t0, {}); },
      [](const Panel& p, std::size_t t0) { sc::demeaned::fit_at(p, t0, {}); },
      [](const Panel& p, std::size_t t0) { sc::augmented::fit_at(p, t0, {}); },
      [](const Panel& p, std::size_t t0) { sc::sdid::fit_at(p, t0, {}); }};
  for (const auto& fit : fits) {
    EXPECT_EQ(panic_text([&] { fit(Panel::block(y, Units{}, 1), 1); }), "no treated units");
    EXPECT_THROW(fit(Panel::block(y, Units{0, 1, 2}, 1), 1), Panic);
  }
  const Panel one = Panel::block(y, Units{0}, 1);
  for (const std::size_t t0 : {0, 3}) EXPECT_THROW(sc::sdid::fit_at(one, t0, {}), Panic);
  EXPECT_THROW(sc::sdid::jackknife_loo_atts(one, 1, {}), Panic);
}

TEST(Sdid, InterceptWeightsAndEffectByHand) {
  // Centred, column 0 is [-1, 0, 1] = the centred target and column 1 its
  // negative; the levels (0, 5 and 10) play no part. The minimiser is
  // [1, 0], the start vertex of the exact solver, which stops there at once.
  const Mat A = from_rows({{0.0, 5.0}, {1.0, 4.0}, {2.0, 3.0}});
  EXPECT_EQ(sc::sdid::simplex_with_intercept(A, Vec{10.0, 11.0, 12.0}, 0.0, 0.0, 1.0),
            (Vec{1.0, 0.0}));
  EXPECT_TRUE(sc::sdid::simplex_with_intercept(Mat(3, 0), Vec{1, 2, 3}, 0.0, 0.0, 1.0).empty());
  // Rows: treated [1, 2, 6], controls [0, 4, 5] and [2, 2, 3]; t0 = 2,
  // lambda = [0.25, 0.75], omega = [0.5, 0.5]. Treated: 6 - 1.75; controls:
  // (5 - 3) and (3 - 2); effect 4.25 - 0.5 * 2 - 0.5 * 1 = 2.75 (all exact).
  const Panel p = Panel::block(from_rows({{1, 2, 6}, {0, 4, 5}, {2, 2, 3}}), Units{0}, 2);
  EXPECT_EQ(
      sc::sdid::att_given_weights(p, 2, Units{0}, Units{1, 2}, Vec{0.5, 0.5}, Vec{0.25, 0.75}),
      2.75);
}

// With no pre-period the robust fit's least-squares problem is wide (0 x 1),
// QR refuses it, and the fit proceeds with zero coefficients: att is the
// post mean.
TEST(RobustFit, FailedRegressionFallsBackToZeroCoefficients) {
  const Vec y_post{5, 2, 8};
  const ScFit f = sc::robust::fit_series({}, y_post, Mat(0, 2), from_rows({{1, 3}, {4, 0}, {2, 7}}),
                                         {0, 1}, sc::RscOptions{});
  EXPECT_EQ(f.weights, Vec(2, 0.0));
  EXPECT_EQ(f.att_path, y_post);
  EXPECT_EQ(f.att, 5.0);
}

}  // namespace
