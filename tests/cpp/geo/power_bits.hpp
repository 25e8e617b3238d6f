// Every field of a power curve as raw bits, so that two curves compare bit
// for bit (NaN estimates included) in one expectation.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/geo/power.hpp"

namespace quintara::test {

inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline std::uint64_t bits(std::optional<double> x) {
  return x ? bits(*x) : std::uint64_t{0x7ff4'dead'beef'0000};  // not any double's bits
}

inline std::vector<std::uint64_t> power_bits(const geo::PowerResult& r) {
  std::vector<std::uint64_t> f{static_cast<std::uint64_t>(r.method),
                               r.n_windows,
                               bits(r.crit),
                               bits(r.se_null),
                               bits(r.mde_pct),
                               bits(r.mde_abs_per_period),
                               bits(r.mde_cumulative)};
  for (const geo::PowerPoint& p : r.points)
    f.insert(f.end(),
             {bits(p.lift), bits(p.power), bits(p.est_mean), bits(p.est_lo), bits(p.est_hi)});
  return f;
}

}  // namespace quintara::test
