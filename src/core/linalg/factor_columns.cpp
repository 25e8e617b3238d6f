#include "core/linalg/factor_columns.hpp"

#include <algorithm>
#include <cmath>

#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

namespace {

// y <- y + x t; the two never overlap, so the loop vectorises.
void axpy(double* __restrict y, const double* __restrict x, double t, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) y[k] = y[k] + x[k] * t;
}

constexpr std::size_t kLanes = 8;
static_assert(kLanes == 8, "lane_dot adds eight partial sums");

}  // namespace

QUINTARA_WIDE_CLONES void trailing_update(double* L, std::size_t ld, std::size_t k0, std::size_t k1,
                                          std::size_t q, std::size_t r0) {
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

}  // namespace quintara::linalg
