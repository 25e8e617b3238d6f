// Internals of the difference-in-differences estimators that the Python
// entries cannot reach: the within transformation on its own, the cells'
// influence vectors and the preconditions the entries make unreachable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "../support.hpp"
#include "core/estimators/did/callaway.hpp"
#include "core/estimators/did/sunab.hpp"
#include "core/estimators/did/sunab_dense.hpp"
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

TEST(SunAbraham, StructuredSolveMatchesDenseDesign) {
  // Cohorts as (period, units); -1 never treated. Always-treated units, a
  // single cohort, cohorts at the first and last periods, one never-treated
  // unit and one-unit cohorts, with unit, period and effect heterogeneity.
  struct Case {
    std::size_t t;
    std::vector<std::pair<int, std::size_t>> groups;
  };
  const std::vector<Case> cases{
      {4, {{2, 3}, {-1, 2}}},
      {7, {{0, 2}, {2, 4}, {4, 1}, {5, 3}, {6, 1}, {-1, 4}}},
      {12, {{1, 9}, {3, 20}, {8, 14}, {11, 6}, {-1, 1}}},
      {30, {{2, 40}, {9, 55}, {15, 30}, {22, 45}, {28, 20}, {-1, 60}}},
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    std::vector<std::optional<std::size_t>> start;
    for (const auto& [g, units] : cases[c].groups) {
      for (std::size_t u = 0; u < units; ++u) {
        start.push_back(g < 0 ? std::nullopt : std::optional<std::size_t>(g));
      }
    }
    auto rng = quintara::linalg::Xoshiro256pp::make(40 + c);
    rng.shuffle(start);
    Mat y(start.size(), cases[c].t);
    for (std::size_t i = 0; i < y.rows; ++i) {
      const double level = 10.0 * rng.normal();
      for (std::size_t t = 0; t < y.cols; ++t) {
        const double on = start[i] && t >= *start[i] ? 0.5 * double(t - *start[i] + 1) : 0.0;
        y(i, t) = level + 0.3 * double(t) + on + rng.normal();
      }
    }
    const Panel panel = Panel::make(y, TreatStarts(start.begin(), start.end()));
    const did::SaResult got = did::sunab::fit(panel), want = did::sunab::fit_dense(panel);
    SCOPED_TRACE(c);
    ASSERT_EQ(got.event.size(), want.event.size());
    const auto close = [](double a, double b) {
      EXPECT_LE(std::fabs(a - b), 1e-10 * std::max(std::fabs(b), 1e-3)) << a << " vs " << b;
    };
    for (std::size_t e = 0; e < got.event.size(); ++e) {
      EXPECT_EQ(got.event[e].key, want.event[e].key);
      close(got.event[e].estimate, want.event[e].estimate);
      close(got.event[e].se, want.event[e].se);
    }
    close(got.att, want.att);
    close(got.se, want.se);
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
