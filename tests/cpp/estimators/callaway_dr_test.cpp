// The inverse-probability-weighted and doubly robust cells: without
// covariates both are the unadjusted cell, and a cell whose propensity score
// cannot be fitted throws CellFitError naming it.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "core/estimators/did/callaway.hpp"
#include "core/linalg/rng.hpp"

namespace {

using namespace quintara::estimators;
using quintara::linalg::Mat;
using quintara::linalg::Xoshiro256pp;

// 30 units over 4 periods: cohorts 2 and 3 and never-treated units.
Panel small_panel() {
  auto rng = Xoshiro256pp::make(5);
  const std::size_t N = 30, T = 4;
  Mat y(N, T);
  std::vector<std::optional<std::size_t>> start(N);
  for (std::size_t i = 0; i < N; ++i) {
    if (i % 3 != 0) start[i] = 1 + i % 3;
    for (std::size_t t = 0; t < T; ++t) {
      const bool treated = start[i] && t >= *start[i];
      y(i, t) = 0.2 * static_cast<double>(t * (i % 4)) + (treated ? 1.0 : 0.0) + rng.next_f64();
    }
  }
  return Panel::make(std::move(y), std::move(start));
}

TEST(CallawayPropensityCells, WithoutCovariatesAreTheUnadjustedCells) {
  const Panel panel = small_panel();
  Sampling weighted;
  for (std::size_t i = 0; i < panel.n_units(); ++i) weighted.weight.push_back(0.5 + 0.1 * i);
  for (const Sampling& s : {Sampling{}, weighted}) {
    for (const bool not_yet : {false, true}) {
      const auto reg = did::fit_with_anticipation(panel, not_yet, 0, true, s);
      for (const auto method : {did::EstMethod::Ipw, did::EstMethod::Dr}) {
        const auto r = did::fit_with_anticipation(panel, not_yet, 0, true, s, method);
        ASSERT_EQ(r.cells.size(), reg.cells.size());
        for (std::size_t c = 0; c < r.cells.size(); ++c) {
          EXPECT_NEAR(r.cells[c].att, reg.cells[c].att, 1e-13);
          EXPECT_NEAR(r.cells[c].se, reg.cells[c].se, 1e-13);
          for (std::size_t i = 0; i < panel.n_units(); ++i) {
            EXPECT_NEAR(r.cells[c].influence[i], reg.cells[c].influence[i], 1e-12);
          }
        }
        EXPECT_NEAR(r.overall_se, reg.overall_se, 1e-13);
      }
    }
  }
}

TEST(CallawayPropensityCells, ASeparatingCovariateNamesItsCell) {
  const Panel base = small_panel();
  Mat x(base.n_units(), 1);
  for (std::size_t i = 0; i < base.n_units(); ++i) x(i, 0) = base.treat_start[i] ? 1.0 : 0.0;
  const Panel panel = Panel::make(base.y, base.treat_start).with_covariates(std::move(x));
  try {
    did::fit_with_anticipation(panel, false, 0, false, {}, did::EstMethod::Dr);
    FAIL() << "no CellFitError";
  } catch (const did::CellFitError& e) {
    EXPECT_EQ(e.cohort, 2u);  // the first cell: cohort 2, period 0 against base 1
    EXPECT_EQ(e.period, 0u);
    EXPECT_EQ(e.base, 1u);
    EXPECT_NE(std::string(e.what()).find("separate"), std::string::npos) << e.what();
  }
  // reg adjusts by the same covariate without a propensity score.
  EXPECT_EQ(did::fit_with_anticipation(panel, false, 0, false).cells.size(), 6u);
}

}  // namespace
