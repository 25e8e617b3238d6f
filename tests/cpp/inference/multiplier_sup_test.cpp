// The blocked multiplier product against the one-replicate-at-a-time loop it
// replaced, kept here as the oracle: equal bits for every replicate, every
// grouping, clustered or not, over seeded inputs that cross the chunk, block
// and tile boundaries.
#include "core/inference/multiplier_sup.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/inference/bootstrap.hpp"
#include "core/inference/intervals.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/rng.hpp"
#include "core/linalg/rng_lanes.hpp"

namespace {

using namespace quintara::inference;
using quintara::linalg::Xoshiro256pp;
using quintara::linalg::XoshiroLanes;
using Vec = std::vector<double>;
using Codes = std::vector<std::size_t>;

// The replicate statistics exactly as the first release formed them.
Vec oracle_stats(const std::vector<Vec>& ifs, const Vec& se, std::size_t n_reps, std::uint64_t seed,
                 const Codes& cluster = {}, std::size_t n_clusters = 0) {
  std::size_t m = 0;
  for (const auto& v : ifs) m = std::max(m, v.size());
  const bool clustered = !cluster.empty();
  Vec stats(n_reps);
  for (std::size_t r = 0; r < n_reps; ++r) {
    Xoshiro256pp rng = Xoshiro256pp::substream(seed, r);
    Vec xi(clustered ? n_clusters : m);
    for (double& x : xi)
      x = rng.next_f64() < 0.723606797749979 ? -0.618033988749895 : 1.618033988749895;
    const auto draw = [&](std::size_t i) { return clustered ? xi[cluster[i]] : xi[i]; };
    double sup = 0.0;
    for (std::size_t k = 0; k < ifs.size(); ++k) {
      const Vec& psi = ifs[k];
      if (psi.empty() || !(se[k] > 0.0)) continue;
      const double mean =
          quintara::linalg::mean_div(psi.size(), [&](std::size_t i) { return psi[i] * draw(i); });
      const double t = std::fabs(mean / se[k]);
      if (t > sup) sup = t;
    }
    stats[r] = sup;
  }
  return stats;
}

EventBands oracle_bands(const std::vector<Vec>& ifs, const Vec& coef, const Vec& se,
                        std::size_t n_reps, std::uint64_t seed, double level,
                        const Codes& cluster = {}, std::size_t n_clusters = 0) {
  Vec stats = oracle_stats(ifs, se, n_reps, seed, cluster, n_clusters);
  std::sort(stats.begin(), stats.end(),
            [](double a, double b) { return std::is_lt(std::strong_order(a, b)); });
  EventBands out;
  out.crit = quantile_sorted(stats, level);
  for (std::size_t k = 0; k < ifs.size(); ++k) {
    out.bands.emplace_back(coef[k] - out.crit * se[k], coef[k] + out.crit * se[k]);
  }
  return out;
}

bool same_bits(const Vec& a, const Vec& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
  }
  return true;
}

// K influence vectors of `units` values (heavy-tailed, so the sums are not
// all alike), standard errors near their scale.
struct Inputs {
  std::vector<Vec> ifs;
  Vec coef, se;
};

Inputs make_inputs(std::size_t K, std::size_t units, std::uint64_t seed) {
  Xoshiro256pp g = Xoshiro256pp::make(seed);
  Inputs in;
  for (std::size_t k = 0; k < K; ++k) {
    Vec& psi = in.ifs.emplace_back(units);
    for (double& p : psi) p = g.normal() * (1.0 + 4.0 * g.next_f64() * g.next_f64());
    in.coef.push_back(g.normal());
    in.se.push_back(0.5 + g.next_f64());
  }
  return in;
}

// 1 to 13 event times run every tile width (1 .. 6, split evenly); 700 units
// end inside the third chunk; 83 replicates end inside the eleventh block;
// groups of 1, 3 and 16 blocks and the pool's own choice.
TEST(MultiplierSup, EqualsTheOracleForEveryWidthAndGrouping) {
  for (std::size_t K = 1; K <= 13; ++K) {
    const Inputs in = make_inputs(K, 700, 100 + K);
    const Vec want = oracle_stats(in.ifs, in.se, 83, K);
    for (const std::size_t group : {0, 1, 3, 16}) {
      EXPECT_TRUE(same_bits(multiplier_sup_t(in.ifs, in.se, 83, K, {}, 0, group), want))
          << "K=" << K << " group=" << group;
    }
  }
}

// Vectors of different lengths (one ending inside a chunk, one at a chunk's
// end, one short of every draw), event times left out (empty, zero, negative
// and NaN standard errors), special values (a NaN and an infinity in one
// vector each, signed zeros), and fewer replicates than one block.
TEST(MultiplierSup, EqualsTheOracleOnRaggedAndDegenerateInputs) {
  Inputs in = make_inputs(8, 600, 5);
  in.ifs[1].resize(300);
  in.ifs[2].resize(256);
  in.ifs[3].resize(1);
  in.ifs[4].clear();
  in.se[5] = 0.0;
  in.se[6] = -1.0;
  in.ifs[7][17] = std::numeric_limits<double>::quiet_NaN();
  in.ifs[0][40] = -0.0;
  in.ifs[0][41] = 0.0;
  for (const std::size_t reps : {1, 5, 8, 9, 100}) {
    EXPECT_TRUE(
        same_bits(multiplier_sup_t(in.ifs, in.se, reps, 3), oracle_stats(in.ifs, in.se, reps, 3)))
        << reps;
  }
  in.ifs[2][10] = std::numeric_limits<double>::infinity();
  in.se[7] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(
      same_bits(multiplier_sup_t(in.ifs, in.se, 40, 4), oracle_stats(in.ifs, in.se, 40, 4)));

  // Only left-out event times: 0.0 for every replicate, as the oracle.
  const std::vector<Vec> out{{}, {1.0, 2.0}};
  const Vec se{1.0, 0.0};
  EXPECT_TRUE(same_bits(multiplier_sup_t(out, se, 12, 1), Vec(12, 0.0)));
  EXPECT_TRUE(same_bits(oracle_stats(out, se, 12, 1), Vec(12, 0.0)));
  EXPECT_TRUE(multiplier_sup_t(out, se, 0, 1).empty());
}

// One multiplier per cluster, the clusters' draws in code order: codes that
// scatter the units, unused codes, one cluster for all; and every unit its
// own cluster is the unclustered statistic.
TEST(MultiplierSup, ClusteredEqualsTheOracle) {
  const Inputs in = make_inputs(7, 650, 9);
  Xoshiro256pp g = Xoshiro256pp::make(77);
  Codes scattered(650), own(650);
  for (std::size_t i = 0; i < 650; ++i) {
    scattered[i] = static_cast<std::size_t>(g.gen_range(37)) * 2;  // odd codes unused
    own[i] = i;
  }
  for (const std::size_t group : {0, 1, 5}) {
    EXPECT_TRUE(same_bits(multiplier_sup_t(in.ifs, in.se, 77, 6, scattered, 74, group),
                          oracle_stats(in.ifs, in.se, 77, 6, scattered, 74)))
        << group;
  }
  const Codes one(650, 0);
  EXPECT_TRUE(same_bits(multiplier_sup_t(in.ifs, in.se, 30, 6, one, 1),
                        oracle_stats(in.ifs, in.se, 30, 6, one, 1)));
  EXPECT_TRUE(same_bits(multiplier_sup_t(in.ifs, in.se, 50, 6, own, 650),
                        multiplier_sup_t(in.ifs, in.se, 50, 6)));
}

// The bands and critical value through the public entry, clustered and not;
// an event time with an empty influence vector, and one with a zero SE, keep
// a band (the latter its point) while staying out of the sup.
TEST(MultiplierSup, EventBandsEqualTheOracle) {
  Inputs in = make_inputs(5, 900, 21);
  in.ifs[3].clear();
  in.se[1] = 0.0;
  Codes cl(900);
  for (std::size_t i = 0; i < 900; ++i) cl[i] = (i * 7) % 45;
  for (const double level : {0.9, 0.95}) {
    for (const Codes& c : {Codes{}, cl}) {
      const std::size_t n = c.empty() ? 0 : 45;
      const EventBands got = multiplier_event_bands(in.ifs, in.coef, in.se, 199, 11, level, c, n);
      const EventBands want = oracle_bands(in.ifs, in.coef, in.se, 199, 11, level, c, n);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got.crit), std::bit_cast<std::uint64_t>(want.crit));
      EXPECT_EQ(got.bands, want.bands);
    }
  }
}

// The lanes step as eight scalar generators would, draws far into the
// streams included.
TEST(XoshiroLanes, EveryLaneIsItsScalarStream) {
  Xoshiro256pp streams[XoshiroLanes::kLanes];
  for (std::size_t l = 0; l < XoshiroLanes::kLanes; ++l)
    streams[l] = Xoshiro256pp::substream(42, l + 3);
  XoshiroLanes lanes(streams);
  std::size_t mismatches = 0;
  // Two runs: the state carries over from one to the next.
  for (const std::size_t steps : {3000, 2000}) {
    lanes.run(steps, [&](std::size_t, XoshiroLanes::Words(&u)[2]) {
      for (std::size_t l = 0; l < XoshiroLanes::kLanes; ++l) {
        mismatches += u[l / 4][l % 4] != streams[l].next_u64();
      }
    });
  }
  EXPECT_EQ(mismatches, 0u);
}

}  // namespace
