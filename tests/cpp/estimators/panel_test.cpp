#include "core/estimators/panel.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "core/panic.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::linalg::Mat;

// Rows given row by row, stored column-major.
Mat from_rows(std::initializer_list<std::initializer_list<double>> rows) {
  Mat m(rows.size(), rows.begin()->size());
  std::size_t i = 0;
  for (const auto& r : rows) {
    std::size_t j = 0;
    for (const double v : r) m(i, j++) = v;
    ++i;
  }
  return m;
}

template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const quintara::Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

Mat four_by_five() {
  return from_rows({{1, 2, 3, 4, 5},
                    {6, 7, 8, 9, 10},
                    {11, 12, 13, 14, 15},
                    {16, 17, 18, 19, 20}});
}

using Units = std::vector<std::size_t>;

TEST(PanelBlock, RepeatedIndexIsOneTreatedUnit) {
  const Units treated{2, 2};
  const Panel p = Panel::block(four_by_five(), treated, 3);
  EXPECT_EQ(p.treated_units(), Units{2});
  EXPECT_EQ(p.never_treated_units(), (Units{0, 1, 3}));
  EXPECT_EQ(p.cohorts(), Units{3});
  // (a + a) * 0.5 is exactly a.
  EXPECT_EQ(p.unit_mean(treated), (std::vector<double>{11, 12, 13, 14, 15}));
}

TEST(PanelBlock, EmptyTreatedListLeavesEveryRowADonor) {
  const Panel p = Panel::block(four_by_five(), Units{}, 2);
  EXPECT_TRUE(p.treated_units().empty());
  EXPECT_TRUE(p.cohorts().empty());
  EXPECT_EQ(p.never_treated_units(), (Units{0, 1, 2, 3}));
}

TEST(PanelBlock, OutOfRangeIndexFails) {
  EXPECT_EQ(panic_text([] { Panel::block(four_by_five(), Units{1, 4}, 2); }),
            "treated unit index 4 out of range");
}

TEST(PanelMake, StaggeredCohortsAreSortedWithoutRepeats) {
  const Panel p = Panel::make(four_by_five(), {5, 3, std::nullopt, 5});
  EXPECT_EQ(p.cohorts(), (Units{3, 5}));
  EXPECT_EQ(p.treated_units(), (Units{0, 1, 3}));
  EXPECT_EQ(p.never_treated_units(), Units{2});
}

TEST(PanelMake, LengthMismatchIsAnEqualityAssertion) {
  EXPECT_EQ(panic_text([] { Panel::make(four_by_five(), {1, std::nullopt}); }),
            "assertion `left == right` failed: treat_start length 2 != n_units 4\n"
            "  left: 2\n right: 4");
}

TEST(PanelCovariates, AttachReplacesAndChecksRows) {
  const Panel p = Panel::block(four_by_five(), Units{0}, 2)
                      .with_covariates(Mat(4, 2))
                      .with_covariates(Mat(4, 3));
  ASSERT_TRUE(p.covariates.has_value());
  EXPECT_EQ(p.covariates->cols, 3u);
  EXPECT_EQ(panic_text([] {
              Panel::block(four_by_five(), Units{0}, 2).with_covariates(Mat(5, 1));
            }),
            "assertion `left == right` failed: covariate rows 5 != n_units 4\n"
            "  left: 5\n right: 4");
}

TEST(PanelDonors, BlocksHoldOneDonorPathPerColumn) {
  const Panel p = Panel::block(four_by_five(), Units{1}, 2);
  const auto [pre, donors] = p.donor_pre(2);
  EXPECT_EQ(donors, (Units{0, 2, 3}));
  ASSERT_EQ(pre.rows, 2u);
  ASSERT_EQ(pre.cols, 3u);
  EXPECT_EQ(pre.data, (std::vector<double>{1, 2, 11, 12, 16, 17}));
  const auto [post, post_donors] = p.donor_post(2);
  EXPECT_EQ(post_donors, donors);
  ASSERT_EQ(post.rows, 3u);
  EXPECT_EQ(post.data, (std::vector<double>{3, 4, 5, 13, 14, 15, 18, 19, 20}));

  const auto [none, no_donors] = Panel::block(four_by_five(), Units{0, 1, 2, 3}, 3).donor_pre(3);
  EXPECT_TRUE(no_donors.empty());
  EXPECT_EQ(none.rows, 3u);
  EXPECT_EQ(none.cols, 0u);
}

TEST(PanelUnitMean, MultipliesByTheReciprocalOnce) {
  // Column sums 5 and 7 over three units: 5 * (1/3) = 1.6666666666666665 but
  // 5 / 3 = 1.6666666666666667 (Python float arithmetic), so the test tells
  // the two roundings apart.
  const Panel p = Panel::block(from_rows({{2, 3}, {2, 3}, {1, 1}}), Units{}, 1);
  const std::vector<double> m = p.unit_mean(Units{0, 1, 2});
  EXPECT_EQ(m[0], 1.6666666666666665);
  EXPECT_EQ(m[1], 2.333333333333333);
  EXPECT_NE(m[0], 5.0 / 3.0);
  EXPECT_EQ(p.unit_mean(Units{}), std::vector<double>(2, 0.0));
}

}  // namespace
