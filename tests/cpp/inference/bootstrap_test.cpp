// Draw order of the resampling routines (independent transcriptions of the
// documented draw sequence) and the cases the Python entry cannot reach.
#include "core/inference/bootstrap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/linalg/rng.hpp"

namespace {

using namespace quintara::inference;
using quintara::linalg::Xoshiro256pp;
using Vec = std::vector<double>;

TEST(Bootstrap, DrawOrderOfIidAndStationaryReplicates) {
  const Vec s{0.3, -1.2, 2.5, 0.7, 4.1};
  const BootstrapResult iid = block_bootstrap_mean(s, 1, 40, 5, 0.95);
  EXPECT_EQ(iid.replicates, block_bootstrap_mean(s, 0, 40, 5, 0.95).replicates);
  // Mean block length 2: one float after every value, restart when 0.5 > u.
  const BootstrapResult st = stationary_bootstrap_mean(s, 2, 40, 3, 0.95);
  for (std::size_t r = 0; r < 40; ++r) {
    Xoshiro256pp g = Xoshiro256pp::substream(5, r);
    double a = 0.0;
    for (int k = 0; k < 5; ++k) a += s[g.gen_range(5)];
    EXPECT_EQ(iid.replicates[r], a / 5.0) << r;
    Xoshiro256pp h = Xoshiro256pp::substream(3, r);
    std::size_t i = h.gen_range(5);
    double b = 0.0;
    for (int t = 0; t < 5; ++t) {
      b += s[i];
      i = 0.5 > h.next_f64() ? h.gen_range(5) : (i + 1) % 5;
    }
    EXPECT_EQ(st.replicates[r], b / 5.0) << r;
  }
  for (auto* f : {&block_bootstrap_mean, &stationary_bootstrap_mean}) {
    const BootstrapResult empty = f(Vec{}, 3, 20, 1, 0.9);  // the interval of [0.0]
    EXPECT_TRUE(empty.replicates.empty());
    EXPECT_EQ(empty.interval.lower, 0.0);
    EXPECT_EQ(empty.interval.upper, 0.0);
    EXPECT_EQ(empty.interval.se, 0.0);
  }
}

TEST(MultiplierBands, MammenDrawsSupAndQuantile) {
  const std::vector<Vec> ifs{{1.0, -2.0, 0.5}, {0.3, 0.3, -0.9}};
  const EventBands b = multiplier_event_bands(ifs, Vec{0.1, -0.2}, Vec{0.4, 0.25}, 41, 8, 0.9);
  Vec sups;
  for (std::size_t r = 0; r < 41; ++r) {
    Xoshiro256pp g = Xoshiro256pp::substream(8, r);
    Vec xi(3);
    for (double& x : xi) {
      x = g.next_f64() < 0.723606797749979 ? -0.618033988749895 : 1.618033988749895;
    }
    const double s0 = 1.0 * xi[0] + -2.0 * xi[1] + 0.5 * xi[2];
    const double s1 = 0.3 * xi[0] + 0.3 * xi[1] + -0.9 * xi[2];
    sups.push_back(std::max(std::fabs(s0 / 3.0 / 0.4), std::fabs(s1 / 3.0 / 0.25)));
  }
  std::sort(sups.begin(), sups.end());
  EXPECT_EQ(b.crit, quantile_sorted(sups, 0.9));
  EXPECT_EQ(b.bands[1], std::make_pair(-0.2 - b.crit * 0.25, -0.2 + b.crit * 0.25));
}

TEST(MultiplierBands, EventTimesOutsideTheSupAndDegenerateInputs) {
  const EventBands ref = multiplier_event_bands(std::vector<Vec>{{1.0, -2.0, 0.5}}, Vec{0.1},
                                                Vec{0.4}, 50, 2, 0.95);
  // A zero SE and an empty influence vector leave the sup alone but get bands.
  const std::vector<Vec> more{{1.0, -2.0, 0.5}, {5.0, 5.0, -5.0}, {}};
  const EventBands b =
      multiplier_event_bands(more, Vec{0.1, 0.7, 0.3}, Vec{0.4, 0.0, 0.2}, 50, 2, 0.95);
  EXPECT_EQ(b.crit, ref.crit);
  EXPECT_EQ(b.bands[1], std::make_pair(0.7, 0.7));
  EXPECT_EQ(b.bands[2].first, 0.3 - b.crit * 0.2);

  EXPECT_TRUE(multiplier_event_bands({}, Vec{}, Vec{}, 10, 0, 0.9).bands.empty());
  const EventBands flat =
      multiplier_event_bands(std::vector<Vec>{{}, {}}, Vec{1.0, 2.0}, Vec{0.5, 0.5}, 10, 0, 0.9);
  EXPECT_EQ(flat.crit, 0.0);
  EXPECT_EQ(flat.bands[1], std::make_pair(2.0, 2.0));
  const EventBands none = multiplier_event_bands(std::vector<Vec>{{1.0, -1.0}}, Vec{1.0},
                                                 Vec{0.5}, 0, 0, 0.9);
  EXPECT_TRUE(std::isnan(none.crit));
  EXPECT_TRUE(std::isnan(none.bands[0].first) && std::isnan(none.bands[0].second));
}

}  // namespace
