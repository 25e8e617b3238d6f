// The repeated-cross-section cell of panels with missing cells, checked on
// complete panels, where it must be the panel cell up to rounding: the same
// estimate and, summed per unit, the same influence function.
#include "core/estimators/did/callaway_cells.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/estimators/did/callaway.hpp"
#include "core/linalg/rng.hpp"

namespace {

using namespace quintara::estimators;
using quintara::linalg::Mat;
using quintara::linalg::Xoshiro256pp;

// 40 units over 5 periods: cohorts 2 and 3 and never-treated units, unit
// levels, a covariate that moves the trend, an effect from adoption.
Panel trending_panel() {
  auto rng = Xoshiro256pp::make(17);
  const std::size_t N = 40, T = 5;
  Mat y(N, T), x(N, 1);
  TreatStarts start(N);
  for (std::size_t i = 0; i < N; ++i) {
    if (i % 3 != 2) start[i] = 2 + i % 3;
    x(i, 0) = rng.next_f64() * 4.0;
    const double level = 10.0 * rng.next_f64();
    for (std::size_t t = 0; t < T; ++t) {
      const bool treated = start[i] && t >= *start[i];
      y(i, t) = level + 0.3 * x(i, 0) * static_cast<double>(t) + (treated ? 1.5 : 0.0) +
                rng.next_f64() - 0.5;
    }
  }
  return Panel::make(std::move(y), std::move(start)).with_covariates(std::move(x));
}

TEST(CallawayRepeatedCells, OnACompletePanelAreThePanelCells) {
  const Panel with_x = trending_panel();
  const Panel without_x = Panel::make(with_x.y, with_x.treat_start);
  Sampling weighted;
  auto rng = Xoshiro256pp::make(3);
  for (std::size_t i = 0; i < with_x.n_units(); ++i)
    weighted.weight.push_back(0.2 + rng.next_f64());

  for (const Panel* panel : {&with_x, &without_x}) {
    for (const Sampling& s : {Sampling{}, weighted}) {
      const did::CsResult r = did::fit_with_anticipation(*panel, false, 0, false, s);
      ASSERT_EQ(r.cells.size(), 8u);
      for (const did::GroupTimeAtt& cell : r.cells) {
        std::vector<std::size_t> G, C;
        for (std::size_t i = 0; i < panel->n_units(); ++i) {
          if (panel->treat_start[i] == cell.cohort) G.push_back(i);
          if (!panel->treat_start[i]) C.push_back(i);
        }
        const std::size_t b = cell.cohort - 1;
        const auto rc = did::cells::fit_repeated(*panel, s, G, C, cell.cohort, cell.period, b);
        ASSERT_TRUE(rc.has_value());
        EXPECT_EQ(rc->event_time, cell.event_time);
        EXPECT_NEAR(rc->att, cell.att, 1e-12);
        for (std::size_t i = 0; i < panel->n_units(); ++i) {
          EXPECT_NEAR(rc->influence[i], cell.influence[i], 1e-10) << "unit " << i;
        }
      }
    }
  }
}

}  // namespace
