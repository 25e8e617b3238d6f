// The synthetic-control family below the Python surface: the fit record's
// arithmetic, the penalty against an independent QP solution, SDID's pieces
// by hand, and the refusals and fallbacks the entries make unreachable. Fit
// behaviours visible from Python are tested through the entries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "../support.hpp"
#include "core/estimators/sc/augmented.hpp"
#include "core/estimators/sc/demeaned.hpp"
#include "core/estimators/sc/robust.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/estimators/sc/synthetic.hpp"
#include "core/linalg/kernels.hpp"

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

TEST(SyntheticFit, PlaceboFromTheSharedGramIsTheRefitBitForBit) {
  // Every donor of a 9-donor block as the treated unit: the refit on a copied
  // pool against the one reading the whole block's Gram matrix.
  const Mat y = quintara::test::market_panel(9, 30, 5);
  const std::size_t t0 = 22, J = 9;
  Mat X(30, J);
  for (std::size_t j = 0; j < J; ++j)
    for (std::size_t t = 0; t < 30; ++t) X(t, j) = y(j, t);
  const auto X_pre = X.view().row_range(0, t0), X_post = X.view().row_range(t0, 30 - t0);
  const Mat G = quintara::linalg::syrk_ata(X_pre);
  for (const sc::ScOptions& o : {sc::ScOptions{}, sc::ScOptions{0.0, 0.3, 0.5, 0.2}}) {
    for (std::size_t own = 0; own < J; ++own) {
      Mat pool(30, J - 1);
      Units ids;
      for (std::size_t j = 0; j < J; ++j) {
        if (j == own) continue;
        for (std::size_t t = 0; t < 30; ++t) pool(t, ids.size()) = X(t, j);
        ids.push_back(j);
      }
      const auto own_col = X.col(own);
      const ScFit a = sc::synthetic::fit_series(own_col.first(t0), own_col.subspan(t0),
                                                pool.view().row_range(0, t0),
                                                pool.view().row_range(t0, 30 - t0), ids, o);
      const ScFit b = sc::synthetic::fit_placebo(X_pre, X_post, G, own, ids, o);
      EXPECT_EQ(a.weights, b.weights);
      EXPECT_EQ(a.counterfactual, b.counterfactual);
      EXPECT_EQ(std::memcmp(&a.pre_rmspe, &b.pre_rmspe, sizeof(double)), 0);
      EXPECT_EQ(std::memcmp(&a.att, &b.att, sizeof(double)), 0);
    }
  }
}

TEST(ScFamily, SdidDemeanedAndAugmentedPlacebosFromTheBlockGramAreTheRefitsBitForBit) {
  // As for synthetic control: each donor's refit on a copied pool against
  // the one reading the block in place with its centred Gram matrix; the
  // bounded cases also exercise a ridge with active upper bounds.
  const Mat y = quintara::test::market_panel(9, 30, 5);
  const std::size_t t0 = 22, J = 9;
  Mat X(30, J);
  for (std::size_t j = 0; j < J; ++j)
    for (std::size_t t = 0; t < 30; ++t) X(t, j) = y(j, t);
  const auto X_pre = X.view().row_range(0, t0), X_post = X.view().row_range(t0, 30 - t0);
  const Mat G = sc::sdid::pre_period_gram(X_pre);
  const Mat G_fp = sc::demeaned::pre_period_gram(X_pre);
  const Mat G_sc = quintara::linalg::syrk_ata(X_pre);
  for (const sc::SdidOptions& o : {sc::SdidOptions{}, sc::SdidOptions{0.02, 0.3, 2.0}}) {
    for (std::size_t own = 0; own < J; ++own) {
      Mat pool(30, J - 1);
      Units ids;
      for (std::size_t j = 0; j < J; ++j) {
        if (j == own) continue;
        for (std::size_t t = 0; t < 30; ++t) pool(t, ids.size()) = X(t, j);
        ids.push_back(j);
      }
      const auto own_col = X.col(own);
      const sc::sdid::SdidFit a =
          sc::sdid::fit_series(own_col.first(t0), own_col.subspan(t0), pool.view().row_range(0, t0),
                               pool.view().row_range(t0, 30 - t0), ids, 1, o);
      const sc::sdid::SdidFit b = sc::sdid::fit_placebo(X_pre, X_post, G, own, ids, o);
      const sc::FpOptions fo{o.min_weight, o.max_weight, o.zeta_scale};
      const ScFit c = sc::demeaned::fit_series(own_col.first(t0), own_col.subspan(t0),
                                               pool.view().row_range(0, t0),
                                               pool.view().row_range(t0, 30 - t0), ids, fo);
      const ScFit d = sc::demeaned::fit_placebo(X_pre, X_post, G_fp, own, ids, fo);
      const sc::AscOptions ao{std::nullopt, o.zeta_scale, o.min_weight, o.max_weight};
      const ScFit e = sc::augmented::fit_series(own_col.first(t0), own_col.subspan(t0),
                                                pool.view().row_range(0, t0),
                                                pool.view().row_range(t0, 30 - t0), ids, ao);
      const ScFit f = sc::augmented::fit_placebo(X_pre, X_post, G_sc, own, ids, ao);
      EXPECT_EQ(a.lambda, b.lambda);
      for (const auto& [u, v] : {std::pair{&a.fit, &b.fit}, std::pair{&c, &d}, std::pair{&e, &f}}) {
        EXPECT_EQ(u->weights, v->weights);
        EXPECT_EQ(u->counterfactual, v->counterfactual);
        EXPECT_EQ(std::memcmp(&u->att, &v->att, sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(&u->pre_rmspe, &v->pre_rmspe, sizeof(double)), 0);
      }
    }
  }
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
