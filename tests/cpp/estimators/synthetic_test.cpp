#include "core/estimators/sc/synthetic.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/panic.hpp"

namespace {

using quintara::estimators::mean_or_zero;
using quintara::estimators::Panel;
using quintara::estimators::rmspe;
using quintara::estimators::ScFit;
using quintara::estimators::sc::ScOptions;
using quintara::estimators::sc::synthetic::fit_at;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;
using Vec = std::vector<double>;

Mat from_rows(std::initializer_list<std::initializer_list<double>> rows) {
  Mat m(rows.size(), rows.begin()->size());
  std::size_t i = 0;
  for (const auto& r : rows) {
    std::size_t j = 0;
    for (const double v : r) m(i, j++) = v;
    ++i;
  }
  return m;
}

template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const quintara::Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

// Two treated rows (0, 1) and three donors, six periods.
Mat two_treated_panel() {
  return from_rows({{3.0, 3.4, 2.9, 3.8, 4.6, 5.1},
                    {2.2, 2.5, 2.6, 3.1, 3.9, 4.0},
                    {1.0, 1.5, 1.2, 1.7, 1.9, 2.2},
                    {4.1, 3.8, 4.4, 4.0, 4.3, 4.6},
                    {2.0, 2.9, 2.1, 3.0, 2.6, 3.3}});
}

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

TEST(SyntheticFit, TwoTreatedUnitsFitAsTheirMean) {
  Mat y = two_treated_panel();
  const ScFit both = fit_at(Panel::block(y, Units{0, 1}, 4), 4, ScOptions{});

  Mat averaged(4, 6);
  for (std::size_t t = 0; t < 6; ++t) {
    averaged(0, t) = (y(0, t) + y(1, t)) * 0.5;
    for (std::size_t r = 1; r < 4; ++r) averaged(r, t) = y(r + 1, t);
  }
  const ScFit one = fit_at(Panel::block(averaged, Units{0}, 4), 4, ScOptions{});

  EXPECT_EQ(both.donor_ids, (Units{2, 3, 4}));
  EXPECT_EQ(both.weights, one.weights);
  EXPECT_EQ(both.counterfactual, one.counterfactual);
  EXPECT_EQ(both.treated_post, one.treated_post);
  EXPECT_EQ(both.att_path, one.att_path);
  EXPECT_EQ(both.att, one.att);
  EXPECT_EQ(both.pre_rmspe, one.pre_rmspe);
  EXPECT_EQ(both.post_rmspe, one.post_rmspe);
}

TEST(SyntheticFit, OneDonorTakesAllTheWeight) {
  // Hand computation: gap_pre = [0, 1, 2], att_path = [10 - 4, 12 - 5].
  const Mat y = from_rows({{1, 2, 3, 10, 12}, {1, 1, 1, 4, 5}});
  const ScFit f = fit_at(Panel::block(y, Units{0}, 3), 3, ScOptions{0.0, 1.0, 0.5, 2.0});
  EXPECT_EQ(f.weights, Vec{1.0});
  EXPECT_EQ(f.donor_ids, Units{1});
  EXPECT_EQ(f.counterfactual, (Vec{4, 5}));
  EXPECT_EQ(f.treated_post, (Vec{10, 12}));
  EXPECT_EQ(f.att_path, (Vec{6, 7}));
  EXPECT_EQ(f.att, 6.5);
  EXPECT_DOUBLE_EQ(f.pre_rmspe, std::sqrt(5.0 / 3.0));
  EXPECT_DOUBLE_EQ(f.post_rmspe, std::sqrt(85.0 / 2.0));
}

TEST(SyntheticFit, LastPeriodTreatedGivesOnePostPeriod) {
  const ScFit f = fit_at(Panel::block(two_treated_panel(), Units{0}, 5), 5, ScOptions{});
  ASSERT_EQ(f.att_path.size(), 1u);
  EXPECT_EQ(f.att, f.att_path[0]);
  EXPECT_EQ(f.post_rmspe, std::fabs(f.att));
}

TEST(SyntheticFit, ExactPreFitPutsTheWeightOnTheMatchingDonor) {
  // Treated pre-period path equals donor row 2; the others are far from it.
  const Mat y = from_rows({{2.0, 2.5, 1.5, 3.0, 9.0},
                           {5.0, 6.0, 5.5, 7.0, 6.0},
                           {2.0, 2.5, 1.5, 3.0, 3.0},
                           {-1.0, 0.5, -2.0, 0.0, 1.0}});
  const ScFit f = fit_at(Panel::block(y, Units{0}, 4), 4, ScOptions{});
  ASSERT_EQ(f.weights.size(), 3u);
  EXPECT_GT(f.weights[1], 1.0 - 1e-6);
  EXPECT_LT(f.pre_rmspe, 1e-6);
  EXPECT_NEAR(f.att, 6.0, 1e-5);
}

TEST(SyntheticFit, BoundsAtOneOverJForceEqualWeights) {
  const Mat y = from_rows({{1.0, 2.0, 4.0, 3.0},
                           {0.0, 5.0, 1.0, 2.0},
                           {3.0, 1.0, 2.0, 0.5},
                           {1.0, 1.0, 7.0, 2.5},
                           {2.0, 0.0, 3.0, 1.5}});
  const Panel p = Panel::block(y, Units{0}, 3);
  for (const ScOptions& o : {ScOptions{0.25, 1.0, 0.0, 0.0}, ScOptions{0.0, 0.25, 0.0, 0.0}}) {
    const ScFit f = fit_at(p, 3, o);
    ASSERT_EQ(f.weights.size(), 4u);
    for (const double w : f.weights) EXPECT_NEAR(w, 0.25, 1e-12);
  }
}

TEST(SyntheticFit, PenaltyShiftsWeightToTheClosestDonor) {
  // Treated pre-path [1, 1, 1, 1] is exactly the midpoint of donors 1 and 2,
  // each at squared distance 16 from it; donor 3 is at squared distance 0.15.
  // SciPy 1.17.1 SLSQP on the stated objective: penalty 0 gives weights
  // (0.5, 0.5, 0), penalty 1 gives (0, 0, 1) with pre-RMSPE
  // sqrt(0.15 / 4) = 0.19364916731037085.
  const Mat y = from_rows({{1.0, 1.0, 1.0, 1.0, 2.0},
                           {3.0, -1.0, 3.0, -1.0, 1.0},
                           {-1.0, 3.0, -1.0, 3.0, 1.0},
                           {1.2, 0.9, 1.1, 0.7, 1.0}});
  const Panel p = Panel::block(y, Units{0}, 4);
  const ScFit plain = fit_at(p, 4, ScOptions{});
  EXPECT_NEAR(plain.weights[0], 0.5, 1e-4);
  EXPECT_NEAR(plain.weights[1], 0.5, 1e-4);
  EXPECT_NEAR(plain.weights[2], 0.0, 1e-4);

  const ScFit penalised = fit_at(p, 4, ScOptions{0.0, 1.0, 0.0, 1.0});
  EXPECT_NEAR(penalised.weights[2], 1.0, 1e-9);
  EXPECT_NEAR(penalised.pre_rmspe, 0.19364916731037085, 1e-8);
}

TEST(SyntheticFit, RefusesPanelsWithoutTreatedOrDonorUnits) {
  EXPECT_EQ(panic_text([] { fit_at(Panel::block(two_treated_panel(), Units{}, 3), 3, {}); }),
            "no treated units");
  EXPECT_EQ(panic_text([] {
              fit_at(Panel::block(two_treated_panel(), Units{0, 1, 2, 3, 4}, 3), 3, {});
            }),
            "no donor (never-treated) units");
}

}  // namespace
