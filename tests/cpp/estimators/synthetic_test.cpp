// Synthetic control below the Python surface: the fit record's arithmetic,
// the penalty against an independent QP solution, and the refusals the entry
// makes unreachable. Fit behaviours visible from Python (several treated
// units, one donor, bounds, an exact pre-fit) are tested through fit_sc.
#include "core/estimators/sc/synthetic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "../support.hpp"

namespace {

using quintara::estimators::mean_or_zero;
using quintara::estimators::Panel;
using quintara::estimators::rmspe;
using quintara::estimators::ScFit;
using quintara::estimators::sc::ScOptions;
using quintara::estimators::sc::synthetic::fit_at;
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
  const ScFit plain = fit_at(p, 4, ScOptions{});
  EXPECT_NEAR(plain.weights[0], 0.5, 1e-4);
  EXPECT_NEAR(plain.weights[1], 0.5, 1e-4);
  EXPECT_NEAR(plain.weights[2], 0.0, 1e-4);
  const ScFit penalised = fit_at(p, 4, ScOptions{0.0, 1.0, 0.0, 1.0});
  EXPECT_NEAR(penalised.weights[2], 1.0, 1e-9);
  EXPECT_NEAR(penalised.pre_rmspe, 0.19364916731037085, 1e-8);
}

TEST(SyntheticFit, RefusesPanelsWithoutTreatedOrDonorUnits) {
  const auto y = from_rows({{1, 2, 3, 4}, {2, 3, 4, 5}});
  EXPECT_EQ(panic_text([&] { fit_at(Panel::block(y, Units{}, 2), 2, {}); }), "no treated units");
  EXPECT_EQ(panic_text([&] { fit_at(Panel::block(y, Units{0, 1}, 2), 2, {}); }),
            "no donor (never-treated) units");
}

}  // namespace
