#include "core/estimators/did/callaway.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/panic.hpp"

namespace {

using namespace quintara::estimators;
using quintara::linalg::Mat;

// 6 units x 5 periods with a unit-specific trend; cohorts 0, 2, 2, 3, none, none.
Panel staggered() {
  Mat y(6, 5);
  for (std::size_t i = 0; i < 6; ++i) {
    for (std::size_t t = 0; t < 5; ++t) {
      y(i, t) = 0.5 * i + 0.1 * (i + 1) * t + static_cast<double>((i * 7 + t * 3) % 5);
    }
  }
  return Panel::make(y, {0, 2, 2, 3, std::nullopt, std::nullopt});
}

TEST(CallawaySantAnna, NeverTreatedVariantNeedsNeverTreatedUnits) {
  Mat y(2, 3);
  const Panel p = Panel::make(y, {1, 2});
  try {
    did::fit_with_anticipation(p, false, 0);
    FAIL() << "no panic";
  } catch (const quintara::Panic& e) {
    EXPECT_STREQ(e.what(),
                 "Callaway\xE2\x80\x93Sant'Anna (never-treated variant) needs never-treated units");
  }
}

TEST(CallawaySantAnna, CellsSkipBaseAndAlwaysTreatedUnits) {
  const Panel p = staggered();
  for (const bool not_yet : {false, true}) {
    const did::CsResult r = did::fit_with_anticipation(p, not_yet, 0);
    std::size_t n_cells = 0;
    for (const did::GroupTimeAtt& c : r.cells) {
      EXPECT_NE(c.period, c.cohort - 1);  // the base period has no cell
      EXPECT_EQ(c.influence.size(), 6u);
      EXPECT_EQ(c.influence[0], 0.0);  // cohort 0: never treated nor comparison
      double ss = 0.0;
      for (const double v : c.influence) ss += v * v;
      EXPECT_DOUBLE_EQ(c.se, std::sqrt(ss) / 6.0);
      ++n_cells;
    }
    // Never-treated: 4 periods per cohort. Not-yet adds no cell (the two
    // never-treated units already give every cell comparisons).
    EXPECT_EQ(n_cells, 8u);
    // The group entries average their post cells with equal weights: the
    // share-estimation terms cancel up to rounding.
    const did::AggEffect& g2 = r.groups[0];
    ASSERT_EQ(g2.key, 2);
    double mean_att = 0.0;
    int post = 0;
    for (const did::GroupTimeAtt& c : r.cells) {
      if (c.cohort == 2 && c.event_time >= 0) mean_att += c.att, ++post;
    }
    EXPECT_NEAR(g2.estimate, mean_att / post, 1e-12);
  }
}

}  // namespace
