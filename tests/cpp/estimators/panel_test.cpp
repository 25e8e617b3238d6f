#include "core/estimators/panel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "../support.hpp"
#include "core/estimators/fit.hpp"

namespace {

using quintara::estimators::BlockSeries;
using quintara::estimators::Panel;
using quintara::linalg::Mat;
using quintara::test::eq_failure;
using quintara::test::from_rows;
using quintara::test::panic_text;
using Units = std::vector<std::size_t>;
using Vec = std::vector<double>;

Mat four_by_five() {
  return from_rows({{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, {11, 12, 13, 14, 15}, {16, 17, 18, 19, 20}});
}

TEST(Panel, UnitSetsAndCohorts) {
  const Units twice{2, 2};
  const Panel p = Panel::block(four_by_five(), twice, 3);
  EXPECT_EQ(p.treated_units(), Units{2});
  EXPECT_EQ(p.never_treated_units(), (Units{0, 1, 3}));
  EXPECT_EQ(p.cohorts(), Units{3});
  EXPECT_EQ(p.unit_mean(twice), (Vec{11, 12, 13, 14, 15}));  // (a + a) * 0.5 is exactly a

  const Panel none = Panel::block(four_by_five(), Units{}, 2);
  EXPECT_TRUE(none.cohorts().empty());
  EXPECT_EQ(none.never_treated_units(), (Units{0, 1, 2, 3}));

  const Panel staggered = Panel::make(four_by_five(), {5, 3, std::nullopt, 5});
  EXPECT_EQ(staggered.cohorts(), (Units{3, 5}));
  EXPECT_EQ(staggered.treated_units(), (Units{0, 1, 3}));
}

TEST(Panel, InvariantTexts) {
  EXPECT_EQ(panic_text([] { Panel::block(four_by_five(), Units{1, 4}, 2); }),
            "treated unit index 4 out of range");
  EXPECT_EQ(panic_text([] { Panel::make(four_by_five(), {1, std::nullopt}); }),
            eq_failure("treat_start length 2 != n_units 4", 2, 4));
  const auto attach = [](Mat x) {
    return Panel::block(four_by_five(), Units{0}, 2).with_covariates(std::move(x));
  };
  EXPECT_EQ(panic_text([&] { attach(Mat(5, 1)); }),
            "assertion `left == right` failed: covariate rows 5 != n_units 4\n"
            "  left: 5\n right: 4");
  EXPECT_EQ(attach(Mat(4, 3)).covariates->cols, 3u);
}

TEST(Panel, DonorSeriesHoldOneDonorPathPerColumn) {
  const Panel p = Panel::block(four_by_five(), Units{1}, 2);
  const auto [x, donors] = p.donor_series();
  EXPECT_EQ(donors, (Units{0, 2, 3}));
  EXPECT_EQ(x.rows, 5u);
  EXPECT_EQ(x.data, (Vec{1, 2, 3, 4, 5, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
  const auto [empty, no_donors] = Panel::block(four_by_five(), Units{0, 1, 2, 3}, 3).donor_series();
  EXPECT_TRUE(no_donors.empty());
  EXPECT_EQ(empty.rows, 5u);
  EXPECT_EQ(empty.cols, 0u);

  // The fit's pre- and post-period blocks are row ranges of that one matrix.
  const BlockSeries b = quintara::estimators::block_series(p, 2);
  EXPECT_EQ(b.X_pre().data, b.donor_x.data.data());
  EXPECT_EQ(b.X_pre().to_mat().data, (Vec{1, 2, 11, 12, 16, 17}));
  EXPECT_EQ(b.X_post().to_mat().data, (Vec{3, 4, 5, 13, 14, 15, 18, 19, 20}));
  EXPECT_EQ(b.y_post().size(), 3u);
  EXPECT_EQ(panic_text([&] { quintara::estimators::block_series(p, 6); }),
            "block series: t0 6 > n_periods 5");
}

TEST(Panel, UnitMeanMultipliesByTheReciprocalOnce) {
  // Column sums 5 and 7 over three units: 5 * (1/3) = 1.6666666666666665 but
  // 5 / 3 = 1.6666666666666667 (Python float arithmetic), so the test tells
  // the two roundings apart.
  const Panel p = Panel::block(from_rows({{2, 3}, {2, 3}, {1, 1}}), Units{}, 1);
  EXPECT_EQ(p.unit_mean(Units{0, 1, 2}), (Vec{1.6666666666666665, 2.333333333333333}));
  EXPECT_EQ(p.unit_mean(Units{}), Vec(2, 0.0));
}

}  // namespace

// Adoption periods of a large panel reuse freed blocks: a block that held
// adopters must still start every unit of the next panel never treated.
TEST(Panel, ReusedAdoptionStorageStartsNeverTreated) {
  using quintara::estimators::TreatStarts;
  const std::size_t n = quintara::linalg::kLargeBytes / sizeof(std::optional<std::size_t>) + 5;
  const void* first = nullptr;
  {
    TreatStarts adopters(n, std::optional<std::size_t>(3));
    first = adopters.data();
  }
  const TreatStarts fresh(n);
  EXPECT_EQ(static_cast<const void*>(fresh.data()), first);
  EXPECT_TRUE(
      std::none_of(fresh.begin(), fresh.end(), [](const auto& s) { return s.has_value(); }));
}
