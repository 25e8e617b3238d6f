// Internals of the difference-in-differences estimators that the Python
// entries cannot reach: the within transformation on its own, the cells'
// influence vectors and the preconditions the entries make unreachable.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "../support.hpp"
#include "core/estimators/did/callaway.hpp"
#include "core/estimators/did/sunab.hpp"
#include "core/estimators/within.hpp"

namespace {

using namespace quintara::estimators;
using quintara::linalg::Mat;
using quintara::test::panic_text;

TEST(TwoWayWithin, AdditiveMatrixVanishes) {
  // x(i, t) = a_i + b_t with non-dyadic values, so the means carry rounding.
  const std::vector<double> a{0.1, -2.7, 3.3, 1e3}, b{0.7, 1.9, -0.3, 5.1, 2.2};
  Mat x(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t t = 0; t < b.size(); ++t) x(i, t) = a[i] + b[t];
  }
  for (const double z : two_way_within(x).data) EXPECT_LE(std::fabs(z), 1e-12);
}

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
}

TEST(Did, NeverTreatedPreconditions) {
  EXPECT_EQ(
      panic_text([] { did::fit_with_anticipation(Panel::make(Mat(2, 3), {1, 2}), false, 0); }),
      "Callaway\xE2\x80\x93Sant'Anna (never-treated variant) needs never-treated units");
  // Cohorts 0 and 2 only: once unit 0 is dropped nothing serves as reference.
  EXPECT_EQ(panic_text([] { did::sunab::fit(Panel::make(Mat(2, 4), {0, 2})); }),
            "Sun\xE2\x80\x93"
            "Abraham (this variant) uses never-treated units as the reference");
}

}  // namespace
