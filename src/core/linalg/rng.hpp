// The one random generator of the system: xoshiro256++ seeded through
// SplitMix64, with independent substreams keyed by (seed, index).
//
// Work item r of a parallel loop always draws from substream(seed, r), so
// results are bit-reproducible for a seed whatever thread runs the item. A
// generator is a plain value: copying it copies its future stream.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace quintara::linalg {

class Xoshiro256pp {
 public:
  static Xoshiro256pp make(std::uint64_t seed);
  static Xoshiro256pp substream(std::uint64_t seed, std::uint64_t index);

  std::uint64_t next_u64();
  // Uniform on [0, 1): a multiple of 2^-53.
  double next_f64();
  // Uniform on 0 .. n-1 by Lemire's multiply-and-reject (no modulo bias);
  // n == 0 is an invariant violation.
  std::uint64_t gen_range(std::uint64_t n);
  // Standard normal by Box-Muller (cosine branch): exactly two draws.
  double normal();

  // Fisher-Yates from the back; length 0 or 1 consumes no draws.
  template <class T>
  void shuffle(std::vector<T>& v) {
    for (std::size_t i = v.size(); i-- > 1;) {
      const std::size_t j = static_cast<std::size_t>(gen_range(i + 1));
      std::swap(v[i], v[j]);
    }
  }

  std::uint64_t s[4];
};

}  // namespace quintara::linalg
