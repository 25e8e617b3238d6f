#include "core/estimators/did/callaway.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "core/panic.hpp"

namespace {

using namespace quintara::estimators;
using quintara::linalg::Mat;

TEST(CallawaySantAnna, AlwaysTreatedUnitsStayOutOfEveryCell) {
  Mat y(6, 5);
  for (std::size_t i = 0; i < 6; ++i) {
    for (std::size_t t = 0; t < 5; ++t) y(i, t) = 0.1 * (i + 1) * t + double((i * 7 + t * 3) % 5);
  }
  const Panel p = Panel::make(y, {0, 2, 2, 3, std::nullopt, std::nullopt});
  for (const bool not_yet : {false, true}) {
    const did::CsResult r = did::fit_with_anticipation(p, not_yet, 0);
    EXPECT_EQ(r.cells.size(), 8u);  // cohorts 2 and 3, four non-base periods each
    for (const did::GroupTimeAtt& c : r.cells) {
      ASSERT_EQ(c.influence.size(), 6u);  // the cohort-0 unit still counts in N
      EXPECT_EQ(c.influence[0], 0.0);
    }
  }
  try {
    did::fit_with_anticipation(Panel::make(Mat(2, 3), {1, 2}), false, 0);
    FAIL() << "no panic";
  } catch (const quintara::Panic& e) {
    EXPECT_STREQ(e.what(),
                 "Callaway\xE2\x80\x93Sant'Anna (never-treated variant) needs never-treated units");
  }
}

}  // namespace
