// Eight Xoshiro256pp streams stepped side by side in vector lanes.
//
// Lane l holds the state of one ordinary generator, and each step performs
// that generator's next_u64 on every lane at once: integer adds, shifts and
// xors, so lane l returns exactly the sequence the scalar generator would.
// Loops that draw one value per replicate per unit use it to fill a block of
// replicates at once from their usual substreams. Header-only so that the
// kernels calling it, built for wider vector units, inline it at their width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/linalg/rng.hpp"

namespace quintara::linalg {

class XoshiroLanes {
 public:
  static constexpr std::size_t kLanes = 8;
  // Four lanes; a step's results are two of them (lanes 0-3, then 4-7).
  typedef std::uint64_t Words __attribute__((vector_size(4 * sizeof(std::uint64_t))));

  XoshiroLanes() = default;
  // Lane l starts where `streams[l]` stands.
  explicit XoshiroLanes(const Xoshiro256pp (&streams)[kLanes]) {
    for (std::size_t w = 0; w < 4; ++w) {
      for (std::size_t l = 0; l < kLanes; ++l) s_[w][l] = streams[l].s[w];
    }
  }

  // `steps` steps, calling step(i, out) after step i with its results. The
  // state is stored as plain words and held in vector registers only while
  // stepping: a vector type's alignment in memory differs between the
  // baseline build and the wider ones, so none is kept in an object.
  template <class Step>
  inline void run(std::size_t steps, Step&& step) {
    Words s[4][2];
    for (std::size_t w = 0; w < 4; ++w) {
      std::memcpy(&s[w][0], s_[w], sizeof(Words));
      std::memcpy(&s[w][1], s_[w] + 4, sizeof(Words));
    }
    for (std::size_t i = 0; i < steps; ++i) {
      Words out[2];
      for (std::size_t h = 0; h < 2; ++h) {
        Words r = s[0][h] + s[3][h];
        rotl<23>(r);
        out[h] = r + s[0][h];
        const Words t = s[1][h] << 17;
        s[2][h] ^= s[0][h];
        s[3][h] ^= s[1][h];
        s[1][h] ^= s[2][h];
        s[0][h] ^= s[3][h];
        s[2][h] ^= t;
        rotl<45>(s[3][h]);
      }
      step(i, out);
    }
    for (std::size_t w = 0; w < 4; ++w) {
      std::memcpy(s_[w], &s[w][0], sizeof(Words));
      std::memcpy(s_[w] + 4, &s[w][1], sizeof(Words));
    }
  }

 private:
  // In place: a vector taken or returned by value would change the ABI of
  // the baseline build.
  template <int k>
  static inline void rotl(Words& x) {
    x = (x << k) | (x >> (64 - k));
  }

  std::uint64_t s_[4][kLanes];  // state word w of lane l
};

}  // namespace quintara::linalg
