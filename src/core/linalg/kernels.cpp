#include "core/linalg/kernels.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/linalg/octet.hpp"
#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

namespace {

// beta scaling shared by gemm and gemv: 0 discards (NaN included), 1 keeps.
void scale_by_beta(double* y, std::size_t n, double beta) {
  if (beta == 0.0) {
    for (std::size_t i = 0; i < n; ++i) y[i] = 0.0;
  } else if (beta != 1.0) {
    for (std::size_t i = 0; i < n; ++i) y[i] *= beta;
  }
}

inline void axpy(double* __restrict y, const double* __restrict x, double t, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) y[i] = y[i] + x[i] * t;
}

}  // namespace

void gemm_columns(const MatView& A, const MatView& B, Mat& C, double alpha, double beta) {
  QUINTARA_ASSERT_EQ(A.cols, B.rows, "gemm: A.cols != B.rows");
  QUINTARA_ASSERT_EQ(A.rows, C.rows, "gemm: A.rows != C.rows");
  QUINTARA_ASSERT_EQ(B.cols, C.cols, "gemm: B.cols != C.cols");
  const std::size_t m = A.rows, p = A.cols, n = B.cols;
  if (n == 0) return;
  scale_by_beta(C.data.data(), C.data.size(), beta);
  if (alpha == 0.0 || p == 0) return;
  for (std::size_t j = 0; j < n; ++j) {
    double* c = C.data.data() + j * m;
    const double* b = B.data + j * B.ld;
    for (std::size_t k = 0; k < p; ++k) {
      const double t = b[k] * alpha;
      if (t == 0.0) continue;
      axpy(c, A.data + k * A.ld, t, m);
    }
  }
}

namespace {

// Rows of C per register tile: one Octet per column.
constexpr std::size_t kTileRows = 8;
// Columns of C per tile.
constexpr std::size_t kTileCols = 4;

// Rows [i0, i0 + 8) of NC columns of C (stride ldc) plus the sum over k of
// A(i, k) t[k NC + jj], held in registers across k. Every element adds its
// terms in ascending k and skips the zero multipliers, exactly as the
// column-by-column axpy loop does, so the bits agree with it. A panel
// without a zero multiplier (the usual case) runs without the tests.
template <std::size_t NC, bool kSkips>
inline void gemm_tile(const MatView& A, std::size_t i0, const double* t, double* c,
                      std::size_t ldc) {
  Octet acc[NC];
  for (std::size_t jj = 0; jj < NC; ++jj) std::memcpy(&acc[jj], c + jj * ldc + i0, sizeof(Octet));
  for (std::size_t k = 0; k < A.cols; ++k) {
    Octet a;
    std::memcpy(&a, A.data + k * A.ld + i0, sizeof a);
    const double* tk = t + k * NC;
    for (std::size_t jj = 0; jj < NC; ++jj) {
      if (!kSkips || tk[jj] != 0.0) acc[jj] = acc[jj] + a * tk[jj];
    }
  }
  for (std::size_t jj = 0; jj < NC; ++jj) std::memcpy(c + jj * ldc + i0, &acc[jj], sizeof(Octet));
}

// The rows past the last whole tile, one element at a time in the same order.
template <std::size_t NC>
inline void gemm_tail_rows(const MatView& A, std::size_t i0, const double* t, double* c,
                           std::size_t ldc) {
  for (std::size_t i = i0; i < A.rows; ++i) {
    for (std::size_t jj = 0; jj < NC; ++jj) {
      double acc = c[jj * ldc + i];
      for (std::size_t k = 0; k < A.cols; ++k) {
        const double x = t[k * NC + jj];
        if (x == 0.0) continue;
        acc = acc + A.data[k * A.ld + i] * x;
      }
      c[jj * ldc + i] = acc;
    }
  }
}

// The multipliers B(k, j) alpha of NC columns from j0, interleaved by k;
// whether any of them is zero.
template <std::size_t NC>
inline bool gemm_multipliers(const MatView& B, double alpha, std::size_t j0, double* t) {
  bool zero = false;
  for (std::size_t k = 0; k < B.rows; ++k) {
    for (std::size_t jj = 0; jj < NC; ++jj) {
      t[k * NC + jj] = B.data[k + (j0 + jj) * B.ld] * alpha;
      zero = zero || t[k * NC + jj] == 0.0;
    }
  }
  return zero;
}

// One row tile of a panel, with the zero tests only where a zero occurs.
template <std::size_t NC>
inline void gemm_tile_of(const MatView& A, std::size_t i0, const double* t, double* c,
                         std::size_t ldc, bool skips) {
  if (skips) {
    gemm_tile<NC, true>(A, i0, t, c, ldc);
  } else {
    gemm_tile<NC, false>(A, i0, t, c, ldc);
  }
}

}  // namespace

QUINTARA_WIDE_CLONES void gemm(const MatView& A, const MatView& B, Mat& C, double alpha,
                               double beta) {
  QUINTARA_ASSERT_EQ(A.cols, B.rows, "gemm: A.cols != B.rows");
  QUINTARA_ASSERT_EQ(A.rows, C.rows, "gemm: A.rows != C.rows");
  QUINTARA_ASSERT_EQ(B.cols, C.cols, "gemm: B.cols != C.cols");
  const std::size_t p = A.cols, n = B.cols;
  if (n == 0) return;
  scale_by_beta(C.data.data(), C.data.size(), beta);
  if (alpha == 0.0 || p == 0) return;
  // Every multiplier formed once, panel by panel; then each row tile of A
  // (kept in L1 across the panels) meets all of C's column panels in turn.
  const std::size_t m = A.rows, whole = n / kTileCols * kTileCols;
  std::vector<double> t(p * n);
  std::vector<std::uint8_t> skips(n);
  for (std::size_t j = 0; j < whole; j += kTileCols) {
    skips[j] = gemm_multipliers<kTileCols>(B, alpha, j, t.data() + j * p);
  }
  for (std::size_t j = whole; j < n; ++j)
    skips[j] = gemm_multipliers<1>(B, alpha, j, t.data() + j * p);
  std::size_t i = 0;
  for (; i + kTileRows <= m; i += kTileRows) {
    for (std::size_t j = 0; j < whole; j += kTileCols) {
      gemm_tile_of<kTileCols>(A, i, t.data() + j * p, C.data.data() + j * m, m, skips[j]);
    }
    for (std::size_t j = whole; j < n; ++j) {
      gemm_tile_of<1>(A, i, t.data() + j * p, C.data.data() + j * m, m, skips[j]);
    }
  }
  for (std::size_t j = 0; j < whole; j += kTileCols) {
    gemm_tail_rows<kTileCols>(A, i, t.data() + j * p, C.data.data() + j * m, m);
  }
  for (std::size_t j = whole; j < n; ++j) {
    gemm_tail_rows<1>(A, i, t.data() + j * p, C.data.data() + j * m, m);
  }
}

void gemv(const MatView& A, std::span<const double> x, std::span<double> y, double alpha,
          double beta) {
  QUINTARA_ASSERT_EQ(x.size(), A.cols, "gemv: x length != A.cols");
  QUINTARA_ASSERT_EQ(y.size(), A.rows, "gemv: y length != A.rows");
  const std::size_t m = A.rows, n = A.cols;
  scale_by_beta(y.data(), y.size(), beta);
  if (n == 0 || alpha == 0.0 || m == 0) return;
  for (std::size_t j = 0; j < n; ++j) {
    const double t = x[j] * alpha;
    if (t == 0.0) continue;
    axpy(y.data(), A.data + j * A.ld, t, m);
  }
}

void gemv_t(const MatView& A, std::span<const double> x, std::span<double> y, double alpha,
            double beta) {
  QUINTARA_ASSERT_EQ(x.size(), A.rows, "gemv_t: x length != A.rows");
  QUINTARA_ASSERT_EQ(y.size(), A.cols, "gemv_t: y length != A.cols");
  const std::size_t m = A.rows, n = A.cols;
  if (n == 0) return;
  for (std::size_t j = 0; j < n; ++j) {
    const double* a = A.data + j * A.ld;
    double d = 0.0;
    for (std::size_t i = 0; i < m; ++i) d += a[i] * x[i];
    y[j] = beta == 0.0 ? d * alpha : d * alpha + y[j] * beta;
  }
}

std::vector<double> matvec(const MatView& A, std::span<const double> x) {
  std::vector<double> y(A.rows, 0.0);
  gemv(A, x, y, 1.0, 0.0);
  return y;
}

namespace {

// Four doubles in one vector; each lane is an ordinary IEEE double.
typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));

// G(i, j) and G(j, i) for the columns j0 .. min(j0 + 4V, i + 1) - 1 against
// column i, read from the row-major copy At (row k = A(k, .), stride ld, the
// lanes past the last column zero): independent sums side by side, each over
// k in order from 0.0, so every element is the sum the one-at-a-time loop
// forms, g = g + A(k, j) * A(k, i). Lanes past column i are not stored.
template <std::size_t V>
inline void syrk_block(const MatView& A, const std::vector<double>& At, std::size_t ld,
                       std::size_t i, std::size_t j0, Mat& G) {
  const std::size_t m = A.rows, n = G.rows;
  const double* ai = A.data + i * A.ld;
  Lanes g[V];
  for (std::size_t v = 0; v < V; ++v) g[v] = Lanes{0.0, 0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < m; ++k) {
    const double x = ai[k];
    const double* row = At.data() + k * ld + j0;
    for (std::size_t v = 0; v < V; ++v) {
      Lanes r;
      std::memcpy(&r, row + 4 * v, sizeof r);
      g[v] = g[v] + r * x;
    }
  }
  for (std::size_t v = 0; v < V; ++v) {
    for (std::size_t l = 0; l < 4; ++l) {
      const std::size_t j = j0 + 4 * v + l;
      if (j > i) return;
      G.data[i + j * n] = g[v][l];
      G.data[j + i * n] = g[v][l];
    }
  }
}

// The last 1 .. 8 blocks of four columns of row i (the last partly past
// column i), as one set of independent
// sums rather than one chain after another.
inline void syrk_tail(const MatView& A, const std::vector<double>& At, std::size_t ld,
                      std::size_t i, std::size_t j0, std::size_t blocks, Mat& G) {
  switch (blocks) {
    case 1: return syrk_block<1>(A, At, ld, i, j0, G);
    case 2: return syrk_block<2>(A, At, ld, i, j0, G);
    case 3: return syrk_block<3>(A, At, ld, i, j0, G);
    case 4: return syrk_block<4>(A, At, ld, i, j0, G);
    case 5: return syrk_block<5>(A, At, ld, i, j0, G);
    case 6: return syrk_block<6>(A, At, ld, i, j0, G);
    case 7: return syrk_block<7>(A, At, ld, i, j0, G);
    default: return syrk_block<8>(A, At, ld, i, j0, G);
  }
}

}  // namespace

// The Gram matrix dominates the synthetic-control fits.

QUINTARA_WIDE_CLONES Mat syrk_ata(const MatView& A) {
  const std::size_t m = A.rows, n = A.cols;
  Mat G(n, n);
  // Rows padded to whole blocks of four, so a row's last block reads no
  // further than its own padding.
  const std::size_t ld = (n + 3) / 4 * 4;
  std::vector<double> At(m * ld, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < m; ++k) At[k * ld + j] = A.data[k + j * A.ld];
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t j = 0;
    for (; j + 32 <= i + 1; j += 32) syrk_block<8>(A, At, ld, i, j, G);
    if (j <= i) syrk_tail(A, At, ld, i, j, (i + 1 - j + 3) / 4, G);
  }
  return G;
}

double dot(std::span<const double> a, std::span<const double> b) {
  if (b.size() < a.size()) check_index(b.size(), b.size());
  double s = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) s += a[k] * b[k];
  return s;
}

double norm2(std::span<const double> x) {
  double scale = 0.0, ssq = 1.0;
  for (const double v : x) {
    if (v == 0.0) continue;
    const double a = std::fabs(v);
    if (a > scale) {
      const double r = scale / a;
      ssq = (ssq * r) * r + 1.0;
      scale = a;
    } else {
      const double q = a / scale;
      ssq = ssq + q * q;
    }
  }
  return scale * std::sqrt(ssq);
}

}  // namespace quintara::linalg
