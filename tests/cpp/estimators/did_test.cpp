// Internals of the difference-in-differences estimators that the Python
// entries cannot reach: the within transformation on its own and the
// Sun-Abraham precondition.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "core/estimators/did/sunab.hpp"
#include "core/estimators/within.hpp"
#include "core/panic.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::linalg::Mat;

TEST(TwoWayWithin, AdditiveMatrixVanishes) {
  // x(i, t) = a_i + b_t with non-dyadic values, so the means carry rounding.
  const std::vector<double> a{0.1, -2.7, 3.3, 1e3}, b{0.7, 1.9, -0.3, 5.1, 2.2};
  Mat x(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t t = 0; t < b.size(); ++t) x(i, t) = a[i] + b[t];
  }
  for (const double z : quintara::estimators::two_way_within(x).data) {
    EXPECT_LE(std::fabs(z), 1e-12);
  }
}

TEST(SunAbraham, NeedsNeverTreatedAfterDroppingAlwaysTreated) {
  // Cohorts 0 and 2 only: once unit 0 is dropped nothing serves as reference.
  Mat y(2, 4);
  const Panel p = Panel::make(y, {std::optional<std::size_t>(0), std::optional<std::size_t>(2)});
  try {
    quintara::estimators::did::sunab::fit(p);
    FAIL() << "no panic";
  } catch (const quintara::Panic& e) {
    EXPECT_STREQ(e.what(), "Sun\xE2\x80\x93"
                           "Abraham (this variant) uses never-treated units as the reference");
  }
}

}  // namespace
