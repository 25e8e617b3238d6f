#include "core/estimators/did/callaway_sums.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/linalg/octet.hpp"
#include "core/linalg/wide_clones.hpp"

namespace quintara::estimators::did::fused {

namespace {

constexpr std::size_t kLanes = linalg::kOctetLanes;
using linalg::Octet;

// Group k's eight sums advance by x[a[k]] * x[8 c[k] .. 8 c[k] + 8) for each
// unit's tile row x, in unit order; a group past the last holds a dummy.
QUINTARA_WIDE_CLONES void tile_products(const double* __restrict tile, std::size_t ld,
                                        std::size_t len, const std::uint32_t* a,
                                        const std::uint32_t* c, double* __restrict sums) {
  constexpr std::size_t K = EventTile::kPerTask;
  Octet acc[K];
  std::memcpy(acc, sums, sizeof acc);
  for (std::size_t i = 0; i < len; ++i) {
    const double* x = tile + i * ld;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < K; ++k) {
      Octet v;
      std::memcpy(&v, x + kLanes * c[k], sizeof v);
      acc[k] += x[a[k]] * v;
    }
  }
  std::memcpy(sums, acc, sizeof acc);
}

// Units [from, to) of eight rows r[0..8) into the tile's columns a0..a0 + 8:
// an 8 x 8 transpose per eight units, the tail unit by unit.
QUINTARA_WIDE_CLONES void transpose_rows(const double* const* r, double* __restrict tile,
                                         std::size_t ld, std::size_t a0, std::size_t from,
                                         std::size_t to) {
  std::size_t i = from;
  for (; i + kLanes <= to; i += kLanes) {
    Octet x[kLanes], units[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) std::memcpy(&x[k], r[k] + i, sizeof(Octet));
    linalg::transpose_octets(x, units);
    for (std::size_t j = 0; j < kLanes; ++j) {
      std::memcpy(tile + (i + j) * ld + a0, &units[j], sizeof(Octet));
    }
  }
  for (; i < to; ++i) {
    for (std::size_t k = 0; k < kLanes; ++k) tile[i * ld + a0 + k] = r[k][i];
  }
}

}  // namespace

void add_squares(const double* buf, std::size_t stride, std::size_t len, const std::size_t* rows,
                 std::size_t nr, double* ss) {
  double s[kLanes] = {};
  const double* x[kLanes];
  for (std::size_t q = 0; q < kLanes; ++q) {
    s[q] = q < nr ? ss[rows[q]] : 0.0;
    x[q] = buf + rows[std::min(q, nr - 1)] * stride;
  }
  for (std::size_t i = 0; i < len; ++i) {
    for (std::size_t q = 0; q < kLanes; ++q) s[q] += x[q][i] * x[q][i];
  }
  for (std::size_t q = 0; q < nr; ++q) ss[rows[q]] = s[q];
}

EventTile::EventTile(std::size_t n_events, std::size_t block)
    : n_(n_events), ld_((n_events + kLanes - 1) / kLanes * kLanes), values_(block * ld_, 0.0) {
  for (std::size_t a = 0; a < n_; ++a) {
    for (std::size_t c = 0; c * kLanes <= a; ++c) {
      a_.push_back(static_cast<std::uint32_t>(a));
      c_.push_back(static_cast<std::uint32_t>(c));
    }
  }
  n_groups_ = a_.size();
  while (a_.size() % kPerTask != 0) {
    a_.push_back(0);
    c_.push_back(0);
  }
  sums_.assign(a_.size() * kLanes, 0.0);
}

void EventTile::fill(const double* buf, std::size_t stride, std::span<const std::size_t> events,
                     std::size_t from, std::size_t to) {
  for (std::size_t a0 = 0; a0 < n_; a0 += kLanes) {
    // Past the last event the padding repeats it: read, never used.
    const double* r[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) r[k] = buf + events[std::min(a0 + k, n_ - 1)] * stride;
    transpose_rows(r, values_.data(), ld_, a0, from, to);
  }
}

void EventTile::add_products(std::size_t task, std::size_t len) {
  const std::size_t g = task * kPerTask;
  tile_products(values_.data(), ld_, len, a_.data() + g, c_.data() + g, sums_.data() + g * kLanes);
}

std::vector<double> EventTile::covariance() const {
  std::vector<double> cov(n_ * n_, 0.0);
  for (std::size_t k = 0; k < n_groups_; ++k) {
    const std::size_t a = a_[k];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t b = c_[k] * kLanes + l;
      if (b <= a) cov[a * n_ + b] = sums_[k * kLanes + l];
    }
  }
  return cov;
}

}  // namespace quintara::estimators::did::fused
