#include "core/linalg/factor_columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/linalg/octet.hpp"
#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

namespace {

// y <- y + x t; the two never overlap, so the loop vectorises.
void axpy(double* __restrict y, const double* __restrict x, double t, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) y[k] = y[k] + x[k] * t;
}

// y <- y + x[0] t[0] + ... + x[C-1] t[C-1] in one pass, each entry its terms
// in order (y never overlaps the columns).
template <std::size_t C>
void add_columns(double* __restrict y, const double* const* x, const double* t, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) {
    double v = y[k];
    for (std::size_t j = 0; j < C; ++j) v = v + x[j][k] * t[j];
    y[k] = v;
  }
}

// Columns per panel of the forward solves: the rows below a panel take its
// updates in one pass, as the solves of active-set factors (tens to a
// hundred rows) are bound by loads and stores of z, not by arithmetic.
constexpr std::size_t kSolvePanel = 8;

constexpr std::size_t kLanes = kOctetLanes;
static_assert(kLanes == 8, "lane_dot adds eight partial sums");

// Columns k1 .. q-1, rows from max(c, r0), take the updates of panel
// columns k0 .. k1-1 (at most kFactorPanel), each entry its terms in panel
// order as y + x * t: the bits of applying the columns one at a time.
void trailing_update(double* L, std::size_t ld, std::size_t k0, std::size_t k1, std::size_t q,
                     std::size_t r0) {
  const auto col = [&](std::size_t s) { return L + s * ld; };
  if (k1 - k0 < kFactorPanel) {
    for (std::size_t k = k0; k < k1; ++k) {
      const double* ck = col(k);
      for (std::size_t c = k1; c < q; ++c) {
        const std::size_t i1 = std::max(c, r0);
        axpy(col(c) + i1, ck + i1, -ck[c], q - i1);
      }
    }
    return;
  }
  const double* __restrict p0 = col(k0);
  const double* __restrict p1 = col(k0 + 1);
  const double* __restrict p2 = col(k0 + 2);
  const double* __restrict p3 = col(k0 + 3);
  // Two columns at a time share the panel's loads; the first column's
  // diagonal entry, above the second's rows, is updated alone.
  std::size_t c = k1;
  for (; c + 1 < q; c += 2) {
    const double a0 = -p0[c], a1 = -p1[c], a2 = -p2[c], a3 = -p3[c];
    const double b0 = -p0[c + 1], b1 = -p1[c + 1], b2 = -p2[c + 1], b3 = -p3[c + 1];
    double* __restrict y = col(c);
    double* __restrict z = col(c + 1);
    std::size_t i = std::max(c, r0);
    if (i == c) {
      y[c] = (((y[c] + p0[c] * a0) + p1[c] * a1) + p2[c] * a2) + p3[c] * a3;
      ++i;
    }
    for (; i < q; ++i) {
      const double x0 = p0[i], x1 = p1[i], x2 = p2[i], x3 = p3[i];
      y[i] = (((y[i] + x0 * a0) + x1 * a1) + x2 * a2) + x3 * a3;
      z[i] = (((z[i] + x0 * b0) + x1 * b1) + x2 * b2) + x3 * b3;
    }
  }
  if (c < q) {
    const double a0 = -p0[c], a1 = -p1[c], a2 = -p2[c], a3 = -p3[c];
    double* __restrict y = col(c);
    for (std::size_t i = std::max(c, r0); i < q; ++i) {
      y[i] = (((y[i] + p0[i] * a0) + p1[i] * a1) + p2[i] * a2) + p3[i] * a3;
    }
  }
}

// Column k of a panel or block (k1 its end): the pivot taken (false, when
// it carries no curvature, for a row from r0), the rows below scaled by it,
// and the block's later columns updated by it.
bool factor_column(double* L, std::size_t ld, std::size_t k, std::size_t k1, std::size_t q,
                   std::size_t r0, double floor, bool reciprocal) {
  double* ck = L + k * ld;
  if (k >= r0) {
    if (!(ck[k] > floor)) return false;
    ck[k] = std::sqrt(ck[k]);
  }
  const std::size_t i0 = std::max(k + 1, r0);
  if (reciprocal) {
    const double inv = 1.0 / ck[k];
    for (std::size_t i = i0; i < q; ++i) ck[i] = ck[i] * inv;
  } else {
    for (std::size_t i = i0; i < q; ++i) ck[i] = ck[i] / ck[k];
  }
  for (std::size_t c = k + 1; c < k1; ++c) {
    const std::size_t i1 = std::max(c, r0);
    axpy(L + c * ld + i1, ck + i1, -ck[c], q - i1);
  }
  return true;
}

using Words = std::uint64_t __attribute__((vector_size(kLanes * sizeof(std::uint64_t))));
constexpr std::size_t kBlock = kFactorPanel;

// Rows i .. i + 8 R - 1 of the block's columns c0 .. c0 + kBlock - 1 with
// the updates of columns 0 .. c0 - 1 added in order (t[k kBlock + j] is
// -L(c0 + j, k)), returned in acc (column j's r-th octet at j R + r)
// without being stored.
template <std::size_t R>
inline void block_tile(const double* L, std::size_t ld, std::size_t c0, const double* t,
                       std::size_t i, Octet (&acc)[kBlock * R]) {
  for (std::size_t j = 0; j < kBlock; ++j) {
    for (std::size_t r = 0; r < R; ++r) {
      std::memcpy(&acc[j * R + r], L + (c0 + j) * ld + i + r * kLanes, sizeof(Octet));
    }
  }
  for (std::size_t k = 0; k < c0; ++k) {
    Octet x[R];
    for (std::size_t r = 0; r < R; ++r) {
      std::memcpy(&x[r], L + k * ld + i + r * kLanes, sizeof(Octet));
    }
    for (std::size_t j = 0; j < kBlock; ++j) {
      const double tk = t[k * kBlock + j];
      for (std::size_t r = 0; r < R; ++r) acc[j * R + r] = acc[j * R + r] + x[r] * tk;
    }
  }
}

// Stores the last `rows` rows of each column's octets from block_tile<R>
// at row i.
template <std::size_t R>
inline void store_tile(double* L, std::size_t ld, std::size_t c0, std::size_t i,
                       const Octet (&acc)[kBlock * R], std::size_t rows) {
  const std::size_t skip = R * kLanes - rows;
  for (std::size_t j = 0; j < kBlock; ++j) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&acc[j * R]);
    std::memcpy(L + (c0 + j) * ld + i + skip, bytes + skip * sizeof(double), rows * sizeof(double));
  }
}

// The last rows i .. q - 1 (fewer than eight) of the block's first nb
// columns, each entry's updates in order as block_tile's. With at least
// eight rows in the factor the octets end at row q, their lanes above row i
// (slots that may hold anything) cleared by a mask before any arithmetic;
// otherwise through zero-padded copies. No row past q nor column past the
// block's is read.
void short_tile(double* L, std::size_t ld, std::size_t c0, std::size_t nb, const double* t,
                std::size_t i, std::size_t q) {
  const std::size_t m = q - i;
  const bool masked = q >= kLanes;
  const std::size_t base = masked ? q - kLanes : i, first = masked ? kLanes - m : 0;
  Words keep;
  for (std::size_t l = 0; l < kLanes; ++l) keep[l] = l >= first && l < first + m ? ~0ull : 0ull;
  const auto load = [&](const double* p, Octet& v) {
    v = Octet{};
    if (masked) {
      std::memcpy(&v, p, sizeof v);
    } else {
      for (std::size_t l = 0; l < m; ++l) v[l] = p[l];
    }
    Words w;
    std::memcpy(&w, &v, sizeof w);
    w &= keep;
    std::memcpy(&v, &w, sizeof v);
  };
  Octet acc[kBlock] = {};
  for (std::size_t j = 0; j < nb; ++j) load(L + (c0 + j) * ld + base, acc[j]);
  for (std::size_t k = 0; k < c0; ++k) {
    Octet x;
    load(L + k * ld + base, x);
    for (std::size_t j = 0; j < kBlock; ++j) acc[j] = acc[j] + x * t[k * kBlock + j];
  }
  for (std::size_t j = 0; j < nb; ++j) {
    for (std::size_t l = 0; l < m; ++l) L[(c0 + j) * ld + i + l] = acc[j][first + l];
  }
}

// The block of columns c0 .. c1 - 1 takes the updates of the columns left of
// it, every row from max(c0, r0) at once: the tiles run through the block's
// diagonal triangle, whose slots above the diagonal (scratch, never read as
// the factor) are zeroed first so that they hold defined values. Tiles of
// sixteen rows, then eight, and the last few rows (when there are at least
// eight) as the last eight, formed before the tiles above overwrite the rows
// they share and stored only where they do not.
void block_update(double* L, std::size_t ld, std::size_t c0, std::size_t c1, std::size_t q,
                  std::size_t r0, const double* t) {
  const std::size_t nb = c1 - c0;
  for (std::size_t j = 1; j < nb; ++j) {
    for (std::size_t i = c0; i < c0 + j; ++i) L[(c0 + j) * ld + i] = 0.0;
  }
  std::size_t i = std::max(c0, r0);
  if (nb < kBlock || q - i < kLanes) {
    short_tile(L, ld, c0, nb, t, i, q);
    return;
  }
  const std::size_t rest = (q - i) % kLanes;
  Octet last[kBlock];
  if (rest != 0) block_tile<1>(L, ld, c0, t, q - kLanes, last);
  for (; i + 2 * kLanes <= q; i += 2 * kLanes) {
    Octet acc[2 * kBlock];
    block_tile<2>(L, ld, c0, t, i, acc);
    store_tile<2>(L, ld, c0, i, acc, 2 * kLanes);
  }
  if (i + kLanes <= q) {
    Octet acc[kBlock];
    block_tile<1>(L, ld, c0, t, i, acc);
    store_tile<1>(L, ld, c0, i, acc, kLanes);
  }
  if (rest != 0) store_tile<1>(L, ld, c0, q - kLanes, last, rest);
}

}  // namespace

QUINTARA_WIDE_CLONES std::size_t factor_panels(double* L, std::size_t ld, std::size_t q,
                                               std::size_t r0, double floor, bool reciprocal) {
  for (std::size_t k0 = 0; k0 < q; k0 += kFactorPanel) {
    const std::size_t k1 = std::min(k0 + kFactorPanel, q);
    for (std::size_t k = k0; k < k1; ++k) {
      if (!factor_column(L, ld, k, k1, q, r0, floor, reciprocal)) return k + 1;
    }
    trailing_update(L, ld, k0, k1, q, r0);
  }
  return 0;
}

QUINTARA_WIDE_CLONES std::size_t factor_blocked(double* L, std::size_t ld, std::size_t q,
                                                std::size_t r0, double floor) {
  std::vector<double> t(kBlock * q);
  for (std::size_t c0 = 0; c0 < q; c0 += kBlock) {
    const std::size_t c1 = std::min(c0 + kBlock, q);
    // The block's rows left of it, negated, by column: the tiles' multipliers.
    // A whole block's row of kBlock entries is one short vector copy.
    if (c1 - c0 == kBlock) {
      for (std::size_t k = 0; k < c0; ++k) {
        const double* __restrict from = L + k * ld + c0;
        double* __restrict to = t.data() + k * kBlock;
        for (std::size_t j = 0; j < kBlock; ++j) to[j] = -from[j];
      }
    } else {
      for (std::size_t k = 0; k < c0; ++k) {
        for (std::size_t j = 0; j < c1 - c0; ++j) t[k * kBlock + j] = -L[k * ld + c0 + j];
      }
    }
    if (c0 > 0) block_update(L, ld, c0, c1, q, r0, t.data());
    for (std::size_t k = c0; k < c1; ++k) {
      if (!factor_column(L, ld, k, c1, q, r0, floor, true)) return k + 1;
    }
  }
  return 0;
}

QUINTARA_WIDE_CLONES void remove_row(double* L, std::size_t ld, std::size_t q, std::size_t p) {
  // Columns left of p lose entry p; columns from p lose it too and shift up
  // by one row, column k + 1's diagonal becoming row k's extra entry.
  for (std::size_t c = 0; c < q; ++c) {
    double* col = L + c * ld;
    const std::size_t from = c <= p ? p : c - 1;
    for (std::size_t i = from; i + 1 < q; ++i) col[i] = col[i + 1];
  }
  for (std::size_t k = p; k + 1 < q; ++k) {
    double* __restrict x = L + k * ld;
    double* __restrict y = L + (k + 1) * ld;
    const double a = x[k], b = y[k];
    const double r = std::sqrt(a * a + b * b);
    const double cs = a / r, sn = b / r;
    x[k] = r;
    y[k] = 0.0;
    for (std::size_t i = k + 1; i + 1 < q; ++i) {
      const double u = x[i], v = y[i];
      x[i] = cs * u + sn * v;
      y[i] = cs * v - sn * u;
    }
  }
}

QUINTARA_WIDE_CLONES void axpy_columns(double* __restrict y, const double* const* x,
                                       const double* t, std::size_t m, std::size_t n) {
  std::size_t c = 0;
  for (; c + 4 <= m; c += 4) add_columns<4>(y, x + c, t + c, n);
  if (m - c == 3) add_columns<3>(y, x + c, t + c, n);
  if (m - c == 2) add_columns<2>(y, x + c, t + c, n);
  if (m - c == 1) add_columns<1>(y, x + c, t + c, n);
}

namespace {

// The forward solve of R right-hand sides by panels of kSolvePanel columns:
// a panel's entries solved in order, each updating the panel's rows below
// it, then the rows below the panel take the panel's updates in one pass
// (axpy_columns). Every entry still takes its terms in column order.
template <std::size_t R>
void forward_panels(const double* L, std::size_t ld, std::size_t q, double* const (&z)[R],
                    double* sum_sq) {
  const double* cols[kSolvePanel];
  double neg[R][kSolvePanel];
  for (std::size_t k0 = 0; k0 < q; k0 += kSolvePanel) {
    const std::size_t k1 = std::min(k0 + kSolvePanel, q);
    for (std::size_t k = k0; k < k1; ++k) {
      const double* col = L + k * ld;
      for (std::size_t r = 0; r < R; ++r) {
        const double v = z[r][k] / col[k];
        z[r][k] = v;
        if (sum_sq) *sum_sq -= v * v;
        neg[r][k - k0] = -v;
        axpy(z[r] + k + 1, col + k + 1, -v, k1 - k - 1);
      }
      cols[k - k0] = col + k1;
    }
    for (std::size_t r = 0; r < R; ++r) axpy_columns(z[r] + k1, cols, neg[r], k1 - k0, q - k1);
  }
}

}  // namespace

QUINTARA_WIDE_CLONES void forward_solve(const double* L, std::size_t ld, std::size_t q, double* z,
                                        double* sum_sq) {
  double* const rhs[1] = {z};
  forward_panels<1>(L, ld, q, rhs, sum_sq);
}

QUINTARA_WIDE_CLONES void forward_solve2(const double* L, std::size_t ld, std::size_t q,
                                         double* __restrict z1, double* __restrict z2) {
  double* const rhs[2] = {z1, z2};
  forward_panels<2>(L, ld, q, rhs, nullptr);
}

QUINTARA_WIDE_CLONES void back_solve(const double* L, std::size_t ld, std::size_t q, double* z) {
  for (std::size_t s = q; s-- > 0;) {
    const double* col = L + s * ld;
    z[s] = (z[s] - lane_dot(col + s + 1, z + s + 1, q - s - 1)) / col[s];
  }
}

// Column k's rotation: with c = r / l_kk and t = x_k / l_kk, the entries
// below the pivot become (l + sign t x) / c and x becomes c x - t l, each
// entry on its own (the loop vectorises).
QUINTARA_WIDE_CLONES bool rank_one_update(double* L, std::size_t ld, std::size_t q, double* x,
                                          double sign, double floor) {
  for (std::size_t k = 0; k < q; ++k) {
    double* __restrict col = L + k * ld;
    const double l = col[k], xk = x[k];
    const double r2 = l * l + sign * (xk * xk);
    if (!(r2 > floor)) return false;
    const double r = std::sqrt(r2);
    const double c = r / l, t = xk / l, st = sign * t, inv_c = 1.0 / c;
    col[k] = r;
    double* __restrict xs = x;
    for (std::size_t i = k + 1; i < q; ++i) {
      const double li = (col[i] + st * xs[i]) * inv_c;
      xs[i] = c * xs[i] - t * li;
      col[i] = li;
    }
  }
  return true;
}

QUINTARA_WIDE_CLONES double lane_dot(const double* __restrict x, const double* __restrict y,
                                     std::size_t n) {
  double acc[kLanes] = {};
  std::size_t k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] = acc[l] + x[k + l] * y[k + l];
  }
  double tail = 0.0;
  for (; k < n; ++k) tail = tail + x[k] * y[k];
  return (((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]))) + tail;
}

// lane_dot's lanes and additions for each of the four columns, the lanes
// as one vector value per column.
QUINTARA_WIDE_CLONES void lane_dots(const double* A, std::size_t ld, const std::size_t* cols,
                                    std::size_t m, const double* __restrict x, std::size_t n,
                                    double* out) {
  std::size_t c = 0;
  for (; c + 4 <= m; c += 4) {
    const double* a0 = A + cols[c] * ld;
    const double* a1 = A + cols[c + 1] * ld;
    const double* a2 = A + cols[c + 2] * ld;
    const double* a3 = A + cols[c + 3] * ld;
    Octet s0{}, s1{}, s2{}, s3{};
    std::size_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
      Octet v, u0, u1, u2, u3;
      std::memcpy(&v, x + k, sizeof v);
      std::memcpy(&u0, a0 + k, sizeof v);
      std::memcpy(&u1, a1 + k, sizeof v);
      std::memcpy(&u2, a2 + k, sizeof v);
      std::memcpy(&u3, a3 + k, sizeof v);
      s0 = s0 + u0 * v;
      s1 = s1 + u1 * v;
      s2 = s2 + u2 * v;
      s3 = s3 + u3 * v;
    }
    const Octet* acc[4] = {&s0, &s1, &s2, &s3};
    const double* a[4] = {a0, a1, a2, a3};
    for (std::size_t j = 0; j < 4; ++j) {
      double tail = 0.0;
      for (std::size_t i = k; i < n; ++i) tail = tail + a[j][i] * x[i];
      const Octet& p = *acc[j];
      out[c + j] = (((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]))) + tail;
    }
  }
  for (; c < m; ++c) out[c] = lane_dot(A + cols[c] * ld, x, n);
}

}  // namespace quintara::linalg
