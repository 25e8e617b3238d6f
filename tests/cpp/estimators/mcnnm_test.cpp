// MC-NNM below the Python surface: the effect sweeps and the residual scale on
// an additive panel, the hold-out draw, the penalty grid and its fallback, and
// the chosen penalty as the only thing the final fit takes from the search.
// Fit behaviour visible from Python is tested through the entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../support.hpp"
#include "core/estimators/mcnnm/fit.hpp"
#include "core/estimators/mcnnm/penalty.hpp"

namespace {

using namespace quintara::estimators;
using namespace quintara::estimators::mcnnm;
using quintara::linalg::Mat;
using quintara::test::market_panel;
using Units = std::vector<std::size_t>;

// Y(i, t) = a_i + b_t with small integers and b summing to zero over the
// first two periods and over all four, so every mean of the sweeps is exact
// even with unit 0's last two periods missing.
Mat additive() {
  const double a[] = {3.0, -1.0, 0.0, 2.0}, b[] = {1.0, -1.0, 2.0, -2.0};
  Mat y(4, 4);
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t t = 0; t < 4; ++t) y(i, t) = a[i] + b[t];
  }
  return y;
}

TEST(McnnmFixedEffects, AdditivePanelLeavesNoResidualAndTakesTheTinyPenalty) {
  const Mat y = additive();
  const Mask mask = observed_mask(Panel::block(y, Units{0}, 2));
  EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), 2);
  EXPECT_TRUE(mask[0 + 1 * 4] && !mask[0 + 2 * 4] && !mask[0 + 3 * 4] && mask[1 + 3 * 4]);

  FitState state = FitState::zeros(4, 4);
  update_fe(y, mask, state);
  EXPECT_EQ(state.alpha, (std::vector<double>{3.0, -1.0, 0.0, 2.0}));
  EXPECT_EQ(state.beta, (std::vector<double>{1.0, -1.0, 2.0, -2.0}));
  EXPECT_EQ(sigma_max_fe_residual(y, mask), 0.0);
  EXPECT_EQ(choose_lambda(y, mask, McnnmOptions{}, 0.0), kTinyLambda);

  // A unit without observed cells keeps its effect rather than dividing by 0.
  Mask unit_3_missing = mask;
  for (std::size_t t = 0; t < 4; ++t) unit_3_missing[3 + t * 4] = 0;
  state.alpha[3] = 7.0;
  update_fe(y, unit_3_missing, state);
  EXPECT_EQ(state.alpha[3], 7.0);
  EXPECT_EQ(state.beta[3], -2.0);
}

TEST(McnnmHoldOut, OnlyObservedCellsDrawInStorageOrder) {
  Mask mask(60, 1);
  for (std::size_t p = 0; p < 60; p += 3) mask[p] = 0;
  const HoldOut h = hold_out(mask, 11);
  // The same stream over just the observed cells holds out the same ones.
  std::vector<std::size_t> observed;
  for (std::size_t p = 0; p < 60; ++p) {
    if (mask[p]) observed.push_back(p);
  }
  const HoldOut dense = hold_out(Mask(observed.size(), 1), 11);
  ASSERT_FALSE(dense.cells.empty());
  std::vector<std::size_t> mapped;
  for (const std::size_t k : dense.cells) mapped.push_back(observed[k]);
  EXPECT_EQ(h.cells, mapped);
  for (std::size_t p = 0; p < 60; ++p) {
    const bool held = std::binary_search(h.cells.begin(), h.cells.end(), p);
    EXPECT_EQ(h.train[p], mask[p] && !held);
  }
  EXPECT_NE(hold_out(mask, 12).cells, h.cells);
}

TEST(McnnmPenalty, GridIsGeometricFromHalfToAHundredth) {
  const auto grid = lambda_grid(3.0);
  EXPECT_EQ(grid[0], 1.5);
  EXPECT_DOUBLE_EQ(grid[9], 0.03);
  for (std::size_t k = 1; k < 9; ++k) EXPECT_NEAR(grid[k] / grid[k - 1], grid[9] / grid[8], 1e-12);
}

TEST(McnnmPenalty, NothingHeldOutTakesTheSixthGridValue) {
  // Five observed cells: some seed draws none of them into the hold-out.
  const Mat y = market_panel(2, 3, 5);
  const Mask mask = observed_mask(Panel::block(y, Units{0}, 2));
  McnnmOptions options;
  while (!hold_out(mask, options.seed).cells.empty()) ++options.seed;
  const double sigma = sigma_max_fe_residual(y, mask);
  ASSERT_GT(sigma, 0.0);
  EXPECT_EQ(choose_lambda(y, mask, options, sigma), lambda_grid(sigma)[5]);
}

TEST(McnnmPenalty, ChosenPenaltyIsAGridValueAndAllTheFitTakesFromTheSearch) {
  const Panel panel = Panel::block(market_panel(12, 10, 3), Units{0, 4}, 7);
  const Mask mask = observed_mask(panel);
  const double sigma = sigma_max_fe_residual(panel.y, mask);
  McnnmOptions options;
  options.seed = 5;
  const double chosen = choose_lambda(panel.y, mask, options, sigma);
  const auto grid = lambda_grid(sigma);
  EXPECT_NE(std::find(grid.begin(), grid.end(), chosen), grid.end());
  EXPECT_EQ(choose_lambda(panel.y, mask, options, sigma), chosen);

  const ScFit searched = fit_at(panel, 7, options);
  McnnmOptions given = options;
  given.lambda = chosen;
  given.seed = 99;  // unused when the penalty is given (no rank cap)
  const ScFit fixed = fit_at(panel, 7, given);
  EXPECT_EQ(searched.att_path, fixed.att_path);
  EXPECT_EQ(searched.counterfactual, fixed.counterfactual);
  EXPECT_EQ(searched.pre_rmspe, fixed.pre_rmspe);
}

// The Golub-Kahan SVD against the Jacobi SVD through the whole fit: the same
// penalty scale to rounding, the same grid point chosen, and effects that
// within the iteration tolerance (both paths run the same iteration map, so
// in practice they agree to rounding). Tall and wide panels, several seeds.
TEST(McnnmExactSvd, GolubKahanFitMatchesTheJacobiFit) {
  using quintara::linalg::ExactSvd;
  for (const std::uint64_t seed : {1u, 2u, 3u}) {
    for (const auto& [n, t] : {std::pair<std::size_t, std::size_t>{24, 14}, {10, 26}}) {
      SCOPED_TRACE(std::to_string(n) + "x" + std::to_string(t) + " seed " + std::to_string(seed));
      const std::size_t t0 = 3 * t / 4;
      const Panel panel = Panel::block(market_panel(n, t, seed), Units{0, 3}, t0);
      const Mask mask = observed_mask(panel);
      const double sg = sigma_max_fe_residual(panel.y, mask, ExactSvd::golub_kahan);
      const double sj = sigma_max_fe_residual(panel.y, mask, ExactSvd::jacobi);
      EXPECT_NEAR(sg, sj, 1e-13 * sj);
      McnnmOptions gk, jac;
      gk.seed = jac.seed = seed;
      jac.exact_svd = ExactSvd::jacobi;
      const auto index = [](double sigma, double lambda) {
        const auto grid = lambda_grid(sigma);
        return std::find(grid.begin(), grid.end(), lambda) - grid.begin();
      };
      const auto kg = index(sg, choose_lambda(panel.y, mask, gk, sg));
      EXPECT_LT(kg, 10);
      EXPECT_EQ(kg, index(sj, choose_lambda(panel.y, mask, jac, sj)));
      for (const double tol : {1e-5, 1e-11}) {
        gk.tol = jac.tol = tol;
        const ScFit a = fit_at(panel, t0, gk), b = fit_at(panel, t0, jac);
        EXPECT_NEAR(a.att, b.att, tol);
        for (std::size_t k = 0; k < a.counterfactual.size(); ++k) {
          EXPECT_NEAR(a.counterfactual[k], b.counterfactual[k], tol) << k;
        }
      }
    }
  }
}

}  // namespace
