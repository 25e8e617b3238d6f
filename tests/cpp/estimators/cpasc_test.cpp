// The CP-ASC pieces the entry cannot reach or pin by value: the median, the
// permutation p-value on a hand-made path, the degenerate-weight fallbacks
// and the internal refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "../support.hpp"
#include "core/estimators/sc/cpasc.hpp"

namespace {

using namespace quintara::estimators;
using namespace quintara::estimators::sc;
using quintara::test::from_rows;
using quintara::test::panic_text;
using Vec = std::vector<double>;

std::vector<cpasc::UnitFit> units(const Vec& mspe, const Vec& level) {
  std::vector<cpasc::UnitFit> out(mspe.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i].mspe = mspe[i];
    out[i].level = level[i];
  }
  return out;
}

TEST(Cpasc, Median) {
  EXPECT_EQ(cpasc::median(Vec{3.0, 1.0, 2.0}), 2.0);
  EXPECT_EQ(cpasc::median(Vec{4.0, 1.0, 3.0, 2.0}), 2.5);
}

TEST(Cpasc, PermutationPCountsTheObservedWindow) {
  // Windows of length 2 over |q| = [1, 5, 0, 2, 2]: means 3, 2.5, 1, 2, 1.5.
  const Vec q{1.0, -5.0, 0.0, 2.0, -2.0};
  EXPECT_EQ(cpasc::block_permutation_p(q, 1, 2), 2.0 / 5.0);  // 3 and 2.5
  EXPECT_EQ(cpasc::block_permutation_p(q, 0, 2), 1.0 / 5.0);  // only itself
  EXPECT_EQ(cpasc::block_permutation_p(q, 2, 2), 5.0 / 5.0);
  // Without a block length the window is the post-period: [2, -2] from 3.
  EXPECT_EQ(cpasc::block_permutation_p(q, 3, std::nullopt), 3.0 / 5.0);
}

TEST(Cpasc, DegenerateWeightsFallBack) {
  // Every unit fitted exactly: the floored median keeps the weights equal.
  auto f = units({0.0, 0.0, 0.0}, {1.0, 2.0, 3.0});
  cpasc::assign_weights(f, CpascMode::Mspe, 3);
  for (const auto& u : f) EXPECT_EQ(u.weight, 1.0 / 3.0);
  f = units({0.0, 0.0}, {0.0, -0.0});
  cpasc::assign_weights(f, CpascMode::Cumulative, 3);
  for (const auto& u : f) EXPECT_EQ(u.weight, 0.5);
  f = units({1.0, 1.0}, {0.0, NAN});
  EXPECT_EQ(panic_text([&] { cpasc::assign_weights(f, CpascMode::Stratified, 2); }),
            "stratified CP-ASC weights: NaN unit level");
}

TEST(Cpasc, RefusesADesignWithoutTreatedOrDonors) {
  const auto y = from_rows({{1.0, 2.0, 3.0}, {2.0, 3.0, 5.0}});
  const std::vector<std::size_t> none{}, both{0, 1};
  EXPECT_EQ(panic_text([&] { cpasc::fit_at(Panel::block(y, none, 1), 1, {}); }),
            "no treated units");
  EXPECT_EQ(panic_text([&] { cpasc::fit_at(Panel::block(y, both, 1), 1, {}); }), "no donor units");
}

}  // namespace
