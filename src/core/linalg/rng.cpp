#include "core/linalg/rng.hpp"

#include <cmath>

#include "core/panic.hpp"

namespace quintara::linalg {

namespace {

// A 128-bit unsigned integer, a GCC and Clang extension; __extension__ keeps
// -Wpedantic quiet about it.
__extension__ typedef unsigned __int128 U128;

constexpr std::uint64_t kGamma = 0x9e3779b97f4a7c15ULL;
constexpr std::uint64_t kStream = 0xd1b54a32d192ed03ULL;

std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

constexpr std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

Xoshiro256pp Xoshiro256pp::make(std::uint64_t seed) {
  Xoshiro256pp g{};
  for (std::uint64_t i = 0; i < 4; ++i) g.s[i] = mix(seed + (i + 1) * kGamma);
  // xoshiro's only forbidden state.
  if ((g.s[0] | g.s[1] | g.s[2] | g.s[3]) == 0) g.s[0] = 1, g.s[1] = 2, g.s[2] = 3, g.s[3] = 4;
  return g;
}

Xoshiro256pp Xoshiro256pp::substream(std::uint64_t seed, std::uint64_t index) {
  return make(mix(kGamma + ((index * kStream) ^ seed)));
}

std::uint64_t Xoshiro256pp::next_u64() {
  const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
  const std::uint64_t t = s[1] << 17;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = rotl(s[3], 45);
  return result;
}

double Xoshiro256pp::next_f64() {
  return static_cast<double>(next_u64() >> 11) * 1.1102230246251565e-16;
}

std::uint64_t Xoshiro256pp::gen_range(std::uint64_t n) {
  if (n == 0) panic("gen_range(0): empty range");
  U128 m = static_cast<U128>(next_u64()) * n;
  std::uint64_t lo = static_cast<std::uint64_t>(m);
  if (lo < n) {
    // (2^64 - n) mod n: the number of low words that would bias the result.
    const std::uint64_t t = (0 - n) % n;
    while (lo < t) {
      m = static_cast<U128>(next_u64()) * n;
      lo = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::uint64_t>(m >> 64);
}

double Xoshiro256pp::normal() {
  const double u1 = std::fmax(next_f64(), 2.2250738585072014e-308);
  const double u2 = next_f64();
  return std::cos(6.283185307179586 * u2) * std::sqrt(-2.0 * std::log(u1));
}

}  // namespace quintara::linalg
