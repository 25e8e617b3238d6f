// MC-NNM below the Python surface: the effect sweeps and the residual scale on
// an additive panel, the hold-out draw, the penalty grid and its fallback, and
// the chosen penalty as the only thing the final fit takes from the search.
// Fit behaviour visible from Python is tested through the entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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

// The sweeps one cell at a time, with a branch on the mask: the plain form
// update_fe must reproduce bit for bit.
void plain_sweeps(const Mat& y, const Mask& mask, FitState& s) {
  const std::size_t N = y.rows, T = y.cols;
  for (int sweep = 0; sweep < 3; ++sweep) {
    for (std::size_t i = 0; i < N; ++i) {
      double sum = 0.0;
      std::size_t count = 0;
      for (std::size_t t = 0; t < T; ++t) {
        const std::size_t p = i + t * N;
        if (!mask[p]) continue;
        sum += (y.data[p] - s.L.data[p]) - s.beta[t];
        ++count;
      }
      if (count > 0) s.alpha[i] = sum / static_cast<double>(count);
    }
    for (std::size_t t = 0; t < T; ++t) {
      double sum = 0.0;
      std::size_t count = 0;
      for (std::size_t i = 0; i < N; ++i) {
        const std::size_t p = i + t * N;
        if (!mask[p]) continue;
        sum += (y.data[p] - s.L.data[p]) - s.alpha[i];
        ++count;
      }
      if (count > 0) s.beta[t] = sum / static_cast<double>(count);
    }
  }
}

TEST(McnnmFixedEffects, SweepsMatchThePlainLoopsBitForBit) {
  // Scattered missing cells holding NaN and infinities, a unit and a period
  // with nothing observed, a period count off the four-period blocks, and
  // effects and L starting away from zero.
  for (const std::size_t T : {1u, 4u, 11u}) {
    const std::size_t N = 9;
    Mat y(N, T);
    FitState a = FitState::zeros(N, T);
    Mask mask(N * T, 1);
    for (std::size_t p = 0; p < N * T; ++p) {
      y.data[p] = std::sin(1.3 * static_cast<double>(p)) * 4.0 + static_cast<double>(p % 7);
      a.L.data[p] = std::cos(0.7 * static_cast<double>(p));
      if (p % 5 == 2) {
        mask[p] = 0;
        y.data[p] = p % 2 ? std::numeric_limits<double>::quiet_NaN()
                          : std::numeric_limits<double>::infinity();
      }
    }
    for (std::size_t t = 0; t < T; ++t) mask[4 + t * N] = 0;
    if (T > 2) {
      for (std::size_t i = 0; i < N; ++i) mask[i + 2 * N] = 0;
    }
    for (std::size_t i = 0; i < N; ++i) a.alpha[i] = 0.25 * static_cast<double>(i);
    for (std::size_t t = 0; t < T; ++t) a.beta[t] = -0.5 * static_cast<double>(t);
    FitState b = a;
    update_fe(y, mask, a);
    plain_sweeps(y, mask, b);
    EXPECT_EQ(a.alpha, b.alpha) << T;
    EXPECT_EQ(a.beta, b.beta) << T;
  }
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
