// Validator messages, character for character: callers match on them (those
// the Python tests pin in full through an entry are left to them).
#include "core/runs/validate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "../support.hpp"
#include "core/linalg/matrix.hpp"

namespace v = quintara::runs::validate;
using quintara::linalg::Mat;
using quintara::test::message_of;

namespace {

// A Mat read through the same dim/at interface as an array view.
struct MatView {
  const Mat& m;
  std::size_t dim(int k) const { return k == 0 ? m.rows : m.cols; }
  double at(std::size_t i, std::size_t j) const { return m(i, j); }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Idx = std::vector<std::size_t>;
const std::string kNonFinite = "y contains NaN or inf; quintara requires a complete, finite panel";

}  // namespace

TEST(Validate, Messages) {
  Mat nan_y(3, 4), inf_y(3, 4), minus_inf_y(3, 4);
  nan_y(2, 3) = kNaN;
  inf_y(2, 3) = kInf;
  minus_inf_y(0, 0) = -kInf;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { v::check_panel(MatView{nan_y}); }, kNonFinite},
      {[&] { v::check_panel(MatView{inf_y}); }, kNonFinite},
      {[&] { v::check_panel(MatView{minus_inf_y}); }, kNonFinite},
      {[] { v::check_nonneg("ridge", -1e-5); }, "ridge must be finite and >= 0; got -0.00001"},
      {[] { v::check_nonneg("ridge", kInf); }, "ridge must be finite and >= 0; got inf"},
      {[] { v::check_nonneg("penalty", kNaN); }, "penalty must be finite and >= 0; got NaN"},
      {[] { v::check_multiplier("zeta_scale", 1.5e12); },
       "zeta_scale must be <= 1000000000000; got 1500000000000"},
      {[] { v::check_pos("aug_lambda", -kInf); }, "aug_lambda must be finite and > 0; got -inf"},
      {[] { v::check_unit_interval("energy", kNaN); }, "energy must be in (0, 1); got NaN"},
      {[] { v::check_indices("include", Idx{0, 7, 9}, 5); }, "include index 7 out of range [0, 5)"},
      // The range test of an item comes before its duplicate test.
      {[] { v::check_treated(Idx{5, 5}, 3); }, "treated unit index 5 out of range [0, 3)"},
      {[] { v::check_treated(Idx{0, 0}, 3); }, "treated unit index 0 listed more than once"},
      {[] { v::check_treated(Idx{1, 1, 9}, 3); }, "treated unit index 1 listed more than once"},
      {[] { v::check_treated(Idx{0, 1, 2}, 3); },
       "every unit is treated; need at least one never-treated unit as a donor/control"},
      {[] { v::check_geo_window(6, 0, 10); },
       "test_len=6 with a 6-period pre-window needs at least 12 periods, but the panel has "
       "10. Reduce test_len (max usable here: 5) or pass a smaller min_pre."},
      {[] { v::check_geo_window(3, 8, 10); },
       "test_len=3 with a 8-period pre-window needs at least 11 periods, but the panel has "
       "10. Reduce test_len (max usable here: 2) or pass a smaller min_pre."},
      // No usable test length at all, with or without min_pre.
      {[] { v::check_geo_window(1, 0, 2); },
       "test_len=1 with a 2-period pre-window needs at least 3 periods, but the panel has "
       "2. Reduce test_len (max usable here: 0) or pass a smaller min_pre."},
      {[] { v::check_geo_window(1, 12, 10); },
       "test_len=1 with a 12-period pre-window needs at least 13 periods, but the panel "
       "has 10. Reduce test_len (max usable here: 0) or pass a smaller min_pre."},
      {[] { v::check_geo_window(10, 0, 10); },
       "test_len must be in [1, 10) (panel has 10 periods); got 10"},
      {[] { v::check_geo_window(0, 0, 10); },
       "test_len must be in [1, 10) (panel has 10 periods); got 0"},
      {[] { v::check_weight_bounds(3, -0.1, 1.0); }, "min_weight must be in [0, 1]; got -0.1"},
      {[] { v::check_weight_bounds(3, kNaN, kNaN); }, "min_weight must be in [0, 1]; got NaN"},
      {[] { v::check_weight_bounds(3, 0.0, 0.0); }, "max_weight must be in (0, 1]; got 0"},
      {[] { v::check_weight_bounds(3, 0.0, 1.5); }, "max_weight must be in (0, 1]; got 1.5"},
      // Ordering is reported before any feasibility test.
      {[] { v::check_weight_bounds(100, 0.4, 0.3); },
       "min_weight (0.4) must not exceed max_weight (0.3)"},
      {[] { v::check_weight_bounds(4, 0.0, 0.2); },
       "max_weight=0.2 is infeasible with 4 donors: capping every donor there allows total "
       "weight 0.8000 < 1. Use max_weight >= 0.2500 (= 1/4)."},
  };
  for (const auto& [call, text] : cases) EXPECT_EQ(message_of(call), text);
}

TEST(Validate, AcceptedValuesAndReturns) {
  EXPECT_EQ(v::check_panel(MatView{Mat(3, 4)}), (std::pair<std::size_t, std::size_t>{3, 4}));
  EXPECT_NO_THROW(v::check_nonneg("ridge", -0.0));
  EXPECT_NO_THROW(v::check_pos("x", 5e-324));
  EXPECT_NO_THROW(v::check_multiplier("penalty", 1e12));
  EXPECT_NO_THROW(v::check_unit_interval("level", 0.95));
  EXPECT_NO_THROW(v::check_min_count("n_reps", 1));
  EXPECT_NO_THROW(v::check_treat_time(1, 10));
  EXPECT_NO_THROW(v::check_treat_time(9, 10));
  EXPECT_NO_THROW(v::check_indices("eligible", Idx{0, 2}, 3));
  EXPECT_NO_THROW(v::check_indices("eligible", {}, 0));
  // The effective pre-window: at least test_len, at least 2, or min_pre.
  EXPECT_EQ(v::check_geo_window(4, 0, 10), 4u);
  EXPECT_EQ(v::check_geo_window(1, 0, 10), 2u);
  EXPECT_EQ(v::check_geo_window(3, 7, 10), 7u);
  // Exact boundaries pass despite rounding of 1/n; without donors only the
  // range rules apply.
  for (std::size_t n : {3u, 7u, 49u}) {
    const double u = 1.0 / static_cast<double>(n);
    EXPECT_EQ(v::check_weight_bounds(n, u, 1.0), (std::pair<double, double>{u, 1.0}));
    EXPECT_NO_THROW(v::check_weight_bounds(n, 0.0, u));
  }
  EXPECT_NO_THROW(v::check_weight_bounds(0, 1.0, 1.0));
}

// NaN is a missing cell; inf still fails, and so does a unit or a period
// left with no observation (units checked first).
TEST(Validate, ObservedPanel) {
  Mat y(3, 4);
  y(0, 1) = kNaN;
  y(2, 3) = kNaN;
  EXPECT_EQ(v::check_observed_panel(MatView{y}),
            (std::tuple<std::size_t, std::size_t, std::size_t>{3, 4, 2}));
  EXPECT_EQ(std::get<2>(v::check_observed_panel(MatView{Mat(2, 2)})), 0u);

  Mat inf_y = y, empty_unit = y, empty_period = y;
  inf_y(1, 2) = -kInf;
  for (std::size_t j = 0; j < 4; ++j) empty_unit(1, j) = kNaN;
  for (std::size_t i = 0; i < 3; ++i) empty_period(i, 2) = kNaN;
  for (std::size_t i = 0; i < 3; ++i) empty_unit(i, 0) = kNaN;  // and period 0 empty too
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { v::check_observed_panel(MatView{inf_y}); },
       "y contains inf; a missing cell must be NaN"},
      {[&] { v::check_observed_panel(MatView{empty_unit}); }, "unit 1 has no observed period"},
      {[&] { v::check_observed_panel(MatView{empty_period}); }, "period 2 has no observed unit"},
  };
  for (const auto& [call, text] : cases) EXPECT_EQ(message_of(call), text);
}

namespace {

// A C-ordered block read as an array view reads it: items in place, the
// rows one stride apart.
struct FlatView {
  const std::vector<double>& v;
  std::size_t n, t;
  std::size_t dim(int k) const { return k == 0 ? n : t; }
  double at(std::size_t i, std::size_t j) const { return v[i * t + j]; }
  const void* buf() const { return v.data(); }
  std::ptrdiff_t stride(int k) const {
    return static_cast<std::ptrdiff_t>(k == 0 ? t * sizeof(double) : sizeof(double));
  }
};

}  // namespace

TEST(Validate, ContiguousPanelsGiveTheRowByRowMaximumAndFaults) {
  // Sizes around the eight lanes and their tail; the largest |y| and each
  // non-finite value at the first, a middle and the last item.
  for (const std::size_t cells : {1u, 7u, 8u, 9u, 63u, 64u, 70u}) {
    std::vector<double> y(cells);
    for (std::size_t i = 0; i < cells; ++i) y[i] = std::sin(0.7 * static_cast<double>(i)) * 3.0;
    for (const std::size_t at : {std::size_t{0}, cells / 2, cells - 1}) {
      std::vector<double> big = y;
      big[at] = -9.5;
      const auto [n, t, m] = v::check_panel_max(FlatView{big, 1, cells});
      EXPECT_EQ(m, 9.5);
      EXPECT_EQ(std::get<2>(v::check_panel_max(MatView{[&] {
                  Mat copy(1, cells);
                  for (std::size_t j = 0; j < cells; ++j) copy(0, j) = big[j];
                  return copy;
                }()})),
                m);
      for (const double bad : {kNaN, kInf, -kInf}) {
        std::vector<double> faulty = y;
        faulty[at] = bad;
        EXPECT_EQ(message_of([&] { v::check_panel_max(FlatView{faulty, 1, cells}); }), kNonFinite);
      }
    }
  }
}
