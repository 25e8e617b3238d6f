// Solve once, assemble per lift: the att re-assembled from a prepared fit and
// the injected treated post-period series must be the refit's att bit for
// bit, for every estimator of the family, on the sub-panel layout of a
// placebo window (the first t0 + width periods, treated rows scaled from t0).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "../support.hpp"
#include "core/estimators/prepared.hpp"
#include "core/inference/placebo.hpp"

namespace {

using namespace quintara::estimators;
using quintara::estimators::sc::ScMethod;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;

// The window's panel as a refit sees it, built from the injected matrix.
Panel injected_panel(const Mat& y, const Units& treated, std::size_t t0, std::size_t width,
                     double lift) {
  Mat sub(y.rows, t0 + width);
  std::vector<bool> is_treated(y.rows, false);
  for (const std::size_t u : treated) is_treated[u] = true;
  for (std::size_t i = 0; i < y.rows; ++i) {
    for (std::size_t t = 0; t < t0 + width; ++t) {
      sub(i, t) = is_treated[i] && t >= t0 ? y(i, t) * (1.0 + lift) : y(i, t);
    }
  }
  return Panel::block(std::move(sub), treated, t0);
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(PreparedFit, AssembledAttIsTheRefitsForEveryEstimatorAndLift) {
  const std::vector<ScMethod> methods{
      {sc::ScOptions{}},   {sc::ScOptions{0.05, 0.6, 0.0, 0.0}},
      {sc::AscOptions{}},  {sc::AscOptions{std::nullopt, 0.0, 0.05, 0.6}},
      {sc::SdidOptions{}}, {sc::SdidOptions{0.05, 0.6, 1.0}},
      {sc::FpOptions{}},   {sc::FpOptions{0.05, 0.6, 0.0}},
      {sc::RscOptions{}},  {sc::RscOptions{2, 0.999, 0.1}},
  };
  struct Window {
    Units treated;  // unsorted, one repeated: the panel marks each row once
    std::size_t t0, width;
  };
  const std::vector<Window> windows{{{3, 1, 3}, 9, 4}, {{5, 1}, 6, 3}, {{0, 3, 1}, 8, 5}};
  // A negative entry and zeros in treated rows, both sides of t0.
  Mat y = quintara::test::market_panel(9, 14, 17);
  y(1, 2) = -4.25;
  y(1, 6) = y(3, 5) = 0.0;
  y(3, 7) = -1.5;
  for (const Window& w : windows) {
    const Panel observed = injected_panel(y, w.treated, w.t0, w.width, 0.0);
    for (const double lift : {0.0, 0.1, 1.7}) {
      const std::vector<double> post = injected_treated_post(y, w.treated, w.t0, w.width, lift);
      const Panel panel = injected_panel(y, w.treated, w.t0, w.width, lift);
      const BlockSeries refit_series = block_series(panel, w.t0);
      ASSERT_EQ(post.size(), w.width);
      for (std::size_t p = 0; p < w.width; ++p) {
        EXPECT_EQ(bits(post[p]), bits(refit_series.y_post()[p])) << "lift " << lift;
      }
      for (std::size_t m = 0; m < methods.size(); ++m) {
        const PreparedFit prepared = methods[m].prepare_at(observed, w.t0);
        const double refit = methods[m].fit_at(panel, w.t0).att;
        EXPECT_EQ(bits(att_with_post(prepared, post)), bits(refit))
            << "method " << m << " t0 " << w.t0 << " lift " << lift;
      }
    }
  }
}

}  // namespace
