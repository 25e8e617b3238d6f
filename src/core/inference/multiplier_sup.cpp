#include "core/inference/multiplier_sup.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/linalg/rng.hpp"
#include "core/linalg/rng_lanes.hpp"
#include "core/linalg/wide_clones.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

namespace {

using linalg::Xoshiro256pp;
using linalg::XoshiroLanes;
using Words = XoshiroLanes::Words;

// Four doubles in one vector; each lane is an ordinary IEEE double.
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));

constexpr std::size_t kLanes = XoshiroLanes::kLanes;  // replicates per block
// Units per pass: the block's multipliers (kChunk x kLanes doubles) and the
// event times' influence values for these units stay in the first cache
// levels while every block of a group runs over them.
constexpr std::size_t kChunk = 256;
// Event times per register tile: 2 x kMaxTile accumulators, the two
// multiplier vectors and one broadcast fill the 16 vector registers of AVX2.
constexpr std::size_t kMaxTile = 6;
// Blocks per task, at most: the influence values are read once per task.
constexpr std::size_t kMaxGroupBlocks = 16;

// next_f64() < p with next_f64() = (u >> 11) 2^-53 exactly: the 53-bit
// integer x = u >> 11 is below p 2^53 (a power-of-two scaling, exact) if and
// only if it is below ceil(p 2^53).
constexpr std::uint64_t low_threshold(double p) {
  const double scaled = p * 9007199254740992.0;
  auto t = static_cast<std::uint64_t>(scaled);
  return static_cast<double>(t) < scaled ? t + 1 : t;
}
constexpr std::uint64_t kLowBelow = low_threshold(kMammenLowProb);
// x < T for x = u >> 11 is u < T 2^11 (T < 2^53), and that unsigned test is
// the signed one after flipping both sign bits: no shift, no unsigned compare
// (which AVX2 lacks).
constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
constexpr auto kLowBelowFlipped = static_cast<std::int64_t>((kLowBelow << 11) ^ kSign);

constexpr std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// The eight multipliers whose low-weight lanes are the set bits of a byte.
constexpr std::array<double, 256 * kLanes> make_patterns() {
  std::array<double, 256 * kLanes> out{};
  for (std::size_t b = 0; b < 256; ++b) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      out[b * kLanes + l] = (b >> l) & 1 ? kMammenLow : kMammenHigh;
    }
  }
  return out;
}
constexpr std::array<double, 256 * kLanes> kPatterns = make_patterns();

// All-ones in the lanes whose draw gives the low weight (in place: see
// XoshiroLanes::rotl).
inline void low_lanes(Words& u) {
  typedef std::int64_t Signed __attribute__((vector_size(sizeof(Words))));
  u = (Words)((Signed)(u ^ kSign) < kLowBelowFlipped);
}

// The block's next `len` multipliers per lane, unit i's eight at out + 8 i.
inline void draw_multipliers(XoshiroLanes& gen, double* out, std::size_t len) {
  gen.run(len, [out](std::size_t i, Words(&u)[2]) {
    for (std::size_t h = 0; h < 2; ++h) {
      Words& low = u[h];
      low_lanes(low);
      const Words w = bits_of(kMammenHigh) ^ (low & (bits_of(kMammenLow) ^ bits_of(kMammenHigh)));
      std::memcpy(out + i * kLanes + 4 * h, &w, sizeof w);
    }
  });
}

// The block's next `len` steps as bytes, bit l set when lane l is low.
inline void draw_low_bits(XoshiroLanes& gen, std::uint8_t* out, std::size_t stride,
                          std::size_t len) {
  gen.run(len, [out, stride](std::size_t i, Words(&u)[2]) {
    std::uint64_t byte = 0;
    for (std::size_t h = 0; h < 2; ++h) {
      Words& low = u[h];
      low_lanes(low);
      for (std::size_t l = 0; l < 4; ++l) byte |= (low[l] & 1) << (4 * h + l);
    }
    out[i * stride] = static_cast<std::uint8_t>(byte);
  });
}

// acc[j][l] += psi[j][i] * xt[i][l] for i in [0, len), in that order, for the
// KT event times of one tile and the eight replicates of one block: 2 KT
// independent sums, each exactly the scalar loop's s = s + psi_i * xi_i.
template <std::size_t KT>
inline void accumulate(double* acc, const double* const* psi, const double* xt, std::size_t len) {
  Lanes a[KT][2];
  for (std::size_t j = 0; j < KT; ++j) {
    std::memcpy(&a[j][0], acc + j * kLanes, sizeof(Lanes));
    std::memcpy(&a[j][1], acc + j * kLanes + 4, sizeof(Lanes));
  }
  for (std::size_t i = 0; i < len; ++i) {
    Lanes x0, x1;
    std::memcpy(&x0, xt + i * kLanes, sizeof x0);
    std::memcpy(&x1, xt + i * kLanes + 4, sizeof x1);
    for (std::size_t j = 0; j < KT; ++j) {
      const double p = psi[j][i];
      a[j][0] = a[j][0] + p * x0;
      a[j][1] = a[j][1] + p * x1;
    }
  }
  for (std::size_t j = 0; j < KT; ++j) {
    std::memcpy(acc + j * kLanes, &a[j][0], sizeof(Lanes));
    std::memcpy(acc + j * kLanes + 4, &a[j][1], sizeof(Lanes));
  }
}

inline void accumulate_tile(std::size_t kt, double* acc, const double* const* psi, const double* xt,
                            std::size_t len) {
  switch (kt) {
    case 1: return accumulate<1>(acc, psi, xt, len);
    case 2: return accumulate<2>(acc, psi, xt, len);
    case 3: return accumulate<3>(acc, psi, xt, len);
    case 4: return accumulate<4>(acc, psi, xt, len);
    case 5: return accumulate<5>(acc, psi, xt, len);
    default: return accumulate<6>(acc, psi, xt, len);
  }
}

// The event times entering the supremum and what every group shares.
struct Plan {
  std::vector<const double*> psi;
  std::vector<std::size_t> len;  // influence values of each
  std::vector<double> se;
  std::vector<std::size_t> tile;  // event times per tile, in order
  std::size_t units = 0;          // the longest influence vector
  std::size_t summed = 0;         // the longest one entering the supremum
  std::span<const std::size_t> cluster;
  std::size_t n_clusters = 0;
  std::size_t n_reps = 0;
  std::uint64_t seed = 0;
};

// Tiles as even as kMaxTile allows: 13 event times run as 5 + 4 + 4, not
// 6 + 6 + 1, whose last tile would wait on its two add chains.
std::vector<std::size_t> split_tiles(std::size_t K) {
  const std::size_t n = (K + kMaxTile - 1) / kMaxTile;
  std::vector<std::size_t> out(n, K / n);
  for (std::size_t t = 0; t < K % n; ++t) ++out[t];
  return out;
}

// The influence values of units [u0, u0 + len) of every event time: in place,
// or, for a vector ending inside the range, copied before zeros. A zero adds
// +0 or -0 to a sum that started at +0.0 and so is never -0: the sum's bits
// stay those of the shorter loop.
void chunk_pointers(const Plan& p, std::size_t u0, std::size_t len, std::vector<double>& padded,
                    std::vector<const double*>& out) {
  for (std::size_t j = 0; j < p.psi.size(); ++j) {
    if (p.len[j] >= u0 + len) {
      out[j] = p.psi[j] + u0;
      continue;
    }
    if (padded.empty()) padded.resize(p.psi.size() * kChunk);
    double* dst = padded.data() + j * kChunk;
    const std::size_t have = p.len[j] > u0 ? p.len[j] - u0 : 0;
    std::fill(std::copy(p.psi[j] + u0, p.psi[j] + u0 + have, dst), dst + kChunk, 0.0);
    out[j] = dst;
  }
}

// The largest |sum_j / len_j / se_j| of each of the group's replicates.
void finish_group(const Plan& p, std::size_t first_rep, std::size_t n_blocks,
                  const std::vector<double>& acc, double* stats) {
  const std::size_t K = p.psi.size();
  for (std::size_t b = 0; b < n_blocks; ++b) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t r = first_rep + b * kLanes + l;
      if (r >= p.n_reps) return;
      double sup = 0.0;
      for (std::size_t j = 0; j < K; ++j) {
        const double mean = acc[(b * K + j) * kLanes + l] / static_cast<double>(p.len[j]);
        const double t = std::fabs(mean / p.se[j]);
        if (t > sup) sup = t;  // a NaN t compares false and leaves sup alone
      }
      stats[r] = sup;
    }
  }
}

// Replicates first_rep .. first_rep + 8 n_blocks - 1 (those past n_reps are
// drawn and dropped): the units in chunks, each chunk run through every
// block, so each (replicate, event time) sum keeps unit order across chunks.
QUINTARA_WIDE_CLONES void run_group(const Plan& p, std::size_t first_rep, std::size_t n_blocks,
                                    double* stats) {
  const std::size_t K = p.psi.size();
  std::vector<XoshiroLanes> gens(n_blocks);
  for (std::size_t b = 0; b < n_blocks; ++b) {
    Xoshiro256pp streams[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      streams[l] = Xoshiro256pp::substream(p.seed, first_rep + b * kLanes + l);
    }
    gens[b] = XoshiroLanes(streams);
  }
  // Clustered: every cluster's draws up front, in cluster order, a byte per
  // block, the blocks of one cluster side by side.
  const bool clustered = !p.cluster.empty();
  std::vector<std::uint8_t> lows(clustered ? p.n_clusters * n_blocks : 0);
  for (std::size_t b = 0; b < n_blocks && clustered; ++b) {
    draw_low_bits(gens[b], lows.data() + b, n_blocks, p.n_clusters);
  }

  std::vector<double> acc(n_blocks * K * kLanes, 0.0);
  std::vector<double> xt(kChunk * kLanes);
  std::vector<double> padded;
  std::vector<const double*> psi(K);
  // Draws for units past every summed vector would only be dropped.
  for (std::size_t u0 = 0; u0 < p.summed; u0 += kChunk) {
    const std::size_t len = std::min(kChunk, p.summed - u0);
    chunk_pointers(p, u0, len, padded, psi);
    for (std::size_t b = 0; b < n_blocks; ++b) {
      if (clustered) {
        for (std::size_t i = 0; i < len; ++i) {
          const std::uint8_t low = lows[p.cluster[u0 + i] * n_blocks + b];
          std::memcpy(xt.data() + i * kLanes, kPatterns.data() + low * kLanes,
                      kLanes * sizeof(double));
        }
      } else {
        draw_multipliers(gens[b], xt.data(), len);
      }
      std::size_t j0 = 0;
      for (const std::size_t kt : p.tile) {
        accumulate_tile(kt, acc.data() + (b * K + j0) * kLanes, psi.data() + j0, xt.data(), len);
        j0 += kt;
      }
    }
  }
  finish_group(p, first_rep, n_blocks, acc, stats);
}

}  // namespace

std::vector<double> multiplier_sup_t(std::span<const std::vector<double>> ifs,
                                     std::span<const double> se, std::size_t n_reps,
                                     std::uint64_t seed, std::span<const std::size_t> cluster,
                                     std::size_t n_clusters, std::size_t group_blocks) {
  QUINTARA_ASSERT_EQ(se.size(), ifs.size(), "multiplier_sup_t: se length != number of ifs");
  Plan p;
  for (std::size_t k = 0; k < ifs.size(); ++k) {
    p.units = std::max(p.units, ifs[k].size());
    if (ifs[k].empty() || !(se[k] > 0.0)) continue;
    p.psi.push_back(ifs[k].data());
    p.len.push_back(ifs[k].size());
    p.summed = std::max(p.summed, ifs[k].size());
    p.se.push_back(se[k]);
  }
  QUINTARA_ASSERT(cluster.empty() || cluster.size() == p.units,
                  "multiplier_sup_t: one cluster a unit");
  std::vector<double> stats(n_reps, 0.0);
  // No event time in the supremum: every replicate's statistic is 0.0
  // whatever its draws.
  if (p.psi.empty() || n_reps == 0) return stats;
  p.tile = split_tiles(p.psi.size());
  p.cluster = cluster;
  p.n_clusters = n_clusters;
  p.n_reps = n_reps;
  p.seed = seed;

  // Groups small enough that every worker gets several, large enough that
  // the influence values are read few times; the grouping never changes a
  // sum, so it may follow the pool's size.
  const std::size_t blocks = (n_reps + kLanes - 1) / kLanes;
  const std::size_t workers = std::max<std::size_t>(parallel::pool_size(), 1);
  const std::size_t per_group =
      group_blocks > 0
          ? group_blocks
          : std::clamp<std::size_t>((blocks + 4 * workers - 1) / (4 * workers), 1, kMaxGroupBlocks);
  const std::size_t groups = (blocks + per_group - 1) / per_group;
  parallel::parallel_for(groups, [&](std::size_t g) {
    const std::size_t first = g * per_group;
    run_group(p, first * kLanes, std::min(per_group, blocks - first), stats.data());
  });
  return stats;
}

}  // namespace quintara::inference
