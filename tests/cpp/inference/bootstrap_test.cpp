#include "core/inference/bootstrap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/inference/intervals.hpp"
#include "core/linalg/rng.hpp"

namespace {

using namespace quintara::inference;
using quintara::linalg::Xoshiro256pp;
using Vec = std::vector<double>;

TEST(BlockBootstrap, BlockAtLeastSeriesLengthIsARotation) {
  // Integers with an integral mean: every rotation sums exactly, so every
  // replicate is the mean and their spread is exactly 0.
  const Vec s{3, 1, 4, 1, 5, 10};
  for (const std::size_t b : {6, 50}) {
    const BootstrapResult r = block_bootstrap_mean(s, b, 200, 11, 0.9);
    EXPECT_EQ(r.interval.se, 0.0);
    EXPECT_EQ(r.interval.estimate, 4.0);
    EXPECT_EQ(r.interval.lower, 4.0);
    EXPECT_EQ(r.interval.upper, 4.0);
  }
}

TEST(BlockBootstrap, UnitBlocksAreTheIidBootstrap) {
  const Vec s{0.3, -1.2, 2.5, 0.7, 4.1, -0.6, 1.9};
  const BootstrapResult one = block_bootstrap_mean(s, 1, 64, 5, 0.95);
  const BootstrapResult zero = block_bootstrap_mean(s, 0, 64, 5, 0.95);
  ASSERT_EQ(one.replicates.size(), 64u);
  EXPECT_EQ(one.replicates, zero.replicates);
  for (std::size_t r = 0; r < 64; ++r) {
    Xoshiro256pp g = Xoshiro256pp::substream(5, r);
    double total = 0.0;
    for (std::size_t k = 0; k < s.size(); ++k) total += s[g.gen_range(s.size())];
    EXPECT_EQ(one.replicates[r], total / 7.0) << r;
  }
}

TEST(Bootstrap, DegenerateSeriesAndReproducibility) {
  for (auto* f : {&block_bootstrap_mean, &stationary_bootstrap_mean}) {
    const BootstrapResult one = f(Vec{2.5}, 3, 20, 1, 0.9);
    EXPECT_TRUE(std::all_of(one.replicates.begin(), one.replicates.end(),
                            [](double v) { return v == 2.5; }));
    const BootstrapResult empty = f(Vec{}, 3, 20, 1, 0.9);
    EXPECT_TRUE(empty.replicates.empty());
    EXPECT_EQ(empty.interval.lower, 0.0);
    EXPECT_EQ(empty.interval.upper, 0.0);
    EXPECT_EQ(empty.interval.se, 0.0);

    const Vec s{1.0, 4.0, -2.0, 0.5, 3.0, 2.0, -1.0, 0.25};
    EXPECT_EQ(f(s, 3, 100, 9, 0.9).replicates, f(s, 3, 100, 9, 0.9).replicates);
    EXPECT_NE(f(s, 3, 100, 9, 0.9).replicates, f(s, 3, 100, 10, 0.9).replicates);
  }
}

TEST(StationaryBootstrap, DrawOrder) {
  // Independent transcription: start index, then one float after every value
  // (the last included), restarting when p > u. Mean block length 2.
  const Vec s{1.5, -0.5, 2.0, 3.25, 0.0};
  const BootstrapResult r = stationary_bootstrap_mean(s, 2, 30, 3, 0.9);
  for (std::size_t rep = 0; rep < 30; ++rep) {
    Xoshiro256pp g = Xoshiro256pp::substream(3, rep);
    std::size_t i = g.gen_range(5);
    double total = 0.0;
    for (int t = 0; t < 5; ++t) {
      total += s[i];
      i = 0.5 > g.next_f64() ? g.gen_range(5) : (i + 1) % 5;
    }
    EXPECT_EQ(r.replicates[rep], total / 5.0) << rep;
  }
}

TEST(MultiplierBands, SupOverEventTimesAndQuantile) {
  const std::vector<Vec> ifs{{1.0, -2.0, 0.5}, {0.3, 0.3, -0.9}};
  const Vec coef{0.1, -0.2}, se{0.4, 0.25};
  const EventBands b = multiplier_event_bands(ifs, coef, se, 41, 8, 0.9);
  Vec sups;
  for (std::size_t r = 0; r < 41; ++r) {
    Xoshiro256pp g = Xoshiro256pp::substream(8, r);
    Vec xi(3);
    for (double& x : xi) x = g.next_f64() < 0.723606797749979 ? -0.618033988749895
                                                               : 1.618033988749895;
    double sup = 0.0;
    for (std::size_t k = 0; k < 2; ++k) {
      const double s = ifs[k][0] * xi[0] + ifs[k][1] * xi[1] + ifs[k][2] * xi[2];
      sup = std::max(sup, std::fabs(s / 3.0 / se[k]));
    }
    sups.push_back(sup);
  }
  std::sort(sups.begin(), sups.end());
  EXPECT_EQ(b.crit, quantile_sorted(sups, 0.9));
  ASSERT_EQ(b.bands.size(), 2u);
  EXPECT_EQ(b.bands[1].first, -0.2 - b.crit * 0.25);
  EXPECT_EQ(b.bands[1].second, -0.2 + b.crit * 0.25);
}

TEST(MultiplierBands, ZeroSeAndEmptyInfluenceStayOutOfTheSup) {
  const std::vector<Vec> base{{1.0, -2.0, 0.5}};
  const EventBands ref = multiplier_event_bands(base, Vec{0.1}, Vec{0.4}, 50, 2, 0.95);
  const std::vector<Vec> more{{1.0, -2.0, 0.5}, {5.0, 5.0, -5.0}, {}};
  const EventBands b = multiplier_event_bands(more, Vec{0.1, 0.7, 0.3}, Vec{0.4, 0.0, 0.2}, 50,
                                              2, 0.95);
  EXPECT_EQ(b.crit, ref.crit);
  EXPECT_EQ(b.bands[1].first, 0.7);
  EXPECT_EQ(b.bands[1].second, 0.7);
  EXPECT_EQ(b.bands[2].first, 0.3 - b.crit * 0.2);
}

TEST(MultiplierBands, DegenerateInputs) {
  const EventBands none = multiplier_event_bands({}, Vec{}, Vec{}, 10, 0, 0.9);
  EXPECT_TRUE(none.bands.empty());
  EXPECT_EQ(none.crit, 0.0);

  const std::vector<Vec> empties{{}, {}};
  const EventBands flat = multiplier_event_bands(empties, Vec{1.0, 2.0}, Vec{0.5, 0.5}, 10, 0, 0.9);
  EXPECT_EQ(flat.crit, 0.0);
  EXPECT_EQ(flat.bands[1], std::make_pair(2.0, 2.0));

  const std::vector<Vec> one{{1.0, -1.0}};
  const EventBands zero_reps = multiplier_event_bands(one, Vec{1.0}, Vec{0.5}, 0, 0, 0.9);
  EXPECT_TRUE(std::isnan(zero_reps.crit));
  EXPECT_TRUE(std::isnan(zero_reps.bands[0].first) && std::isnan(zero_reps.bands[0].second));
}

}  // namespace
