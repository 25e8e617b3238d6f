#include "core/linalg/reflector_block.hpp"

#include <cstring>
#include <vector>

#include "core/linalg/octet.hpp"
#include "core/linalg/wide_clones.hpp"
#include "core/panic.hpp"

namespace quintara::linalg {

namespace {

// Octets, eight adjacent doubles as one value (one AVX-512 register, two AVX
// ones): each dot product is summed in eight interleaved lanes (lane l
// takes the rows l mod 8), the last n mod 8 rows in the first lanes, the
// lanes added pairwise at the end.
constexpr std::size_t kLanes = kOctetLanes;

inline double lane_sum(const Octet& a) {
  return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
}

constexpr std::size_t kB = kReflectorBlock;

// The block's vectors as columns of one n x b panel, zero above each v_q's
// first entry, so every vector spans the same rows.
struct Panel {
  std::vector<double> p;
  std::size_t n;
  const double* col(std::size_t q) const { return p.data() + q * n; }
};

Panel pad(const ReflectorBlock& blk) {
  Panel out{std::vector<double>(blk.n * kB, 0.0), blk.n};
  for (std::size_t q = 0; q < blk.b; ++q) {
    std::memcpy(out.p.data() + q * blk.n + q, blk.v[q], (blk.n - q) * sizeof(double));
  }
  return out;
}

// Sum of a[i] b[i], i < n, in the lanes described above.
double lane_dot(const double* a, const double* b, std::size_t n) {
  const std::size_t whole = n / kLanes * kLanes;
  Octet acc{};
  for (std::size_t i = 0; i < whole; i += kLanes) {
    Octet x, y;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    acc += x * y;
  }
  for (std::size_t i = whole; i < n; ++i) acc[i - whole] += a[i] * b[i];
  return lane_sum(acc);
}

// w[q][c] = v_q . x_c for C columns, in one pass over the rows.
template <std::size_t C>
inline void block_dots(const Panel& V, const double* const (&x)[C], double (&w)[kB][C]) {
  const std::size_t n = V.n, whole = n / kLanes * kLanes;
  Octet acc[kB][C] = {};
  for (std::size_t i = 0; i < whole; i += kLanes) {
    Octet xv[C];
    for (std::size_t c = 0; c < C; ++c) std::memcpy(&xv[c], x[c] + i, sizeof(Octet));
    for (std::size_t q = 0; q < kB; ++q) {
      Octet vq;
      std::memcpy(&vq, V.col(q) + i, sizeof vq);
      for (std::size_t c = 0; c < C; ++c) acc[q][c] += vq * xv[c];
    }
  }
  for (std::size_t q = 0; q < kB; ++q) {
    for (std::size_t c = 0; c < C; ++c) {
      for (std::size_t i = whole; i < n; ++i) acc[q][c][i - whole] += V.col(q)[i] * x[c][i];
      w[q][c] = lane_sum(acc[q][c]);
    }
  }
}

// x_c -= sum_q s[q][c] v_q, the terms subtracted in ascending q; the C
// columns share each load of the v_q.
template <std::size_t C>
inline void block_update(const Panel& V, double* const (&x)[C], const double (&s)[kB][C]) {
  const std::size_t n = V.n, whole = n / kLanes * kLanes;
  for (std::size_t i = 0; i < whole; i += kLanes) {
    Octet vq[kB];
    for (std::size_t q = 0; q < kB; ++q) std::memcpy(&vq[q], V.col(q) + i, sizeof(Octet));
    for (std::size_t c = 0; c < C; ++c) {
      Octet t;
      std::memcpy(&t, x[c] + i, sizeof t);
      for (std::size_t q = 0; q < kB; ++q) t -= vq[q] * s[q][c];
      std::memcpy(x[c] + i, &t, sizeof t);
    }
  }
  for (std::size_t c = 0; c < C; ++c) {
    for (std::size_t i = whole; i < n; ++i) {
      double t = x[c][i];
      for (std::size_t q = 0; q < kB; ++q) t -= s[q][c] * V.col(q)[i];
      x[c][i] = t;
    }
  }
}

// The coefficients s_q = tau_q (w_q - sum over earlier-applied p of
// s_p v_q.v_p): applying the reflectors in turn subtracts s_q v_q each.
template <std::size_t C>
inline void coefficients(const ReflectorBlock& blk, const double (&g)[kB][kB],
                         const double (&w)[kB][C], double (&s)[kB][C]) {
  for (std::size_t c = 0; c < C; ++c) {
    for (std::size_t q = 0; q < kB; ++q) s[q][c] = 0.0;
    for (std::size_t step = 0; step < blk.b; ++step) {
      const std::size_t q = blk.first_last ? blk.b - 1 - step : step;
      double r = w[q][c];
      for (std::size_t prev = 0; prev < step; ++prev) {
        const std::size_t p = blk.first_last ? blk.b - 1 - prev : prev;
        r -= s[p][c] * g[q][p];
      }
      // H_q = I whatever r is (a non-finite column included).
      s[q][c] = blk.tau[q] == 0.0 ? 0.0 : blk.tau[q] * r;
    }
  }
}

template <std::size_t C>
inline void apply_columns(Mat& X, const ReflectorBlock& blk, const Panel& V,
                          const double (&g)[kB][kB], std::size_t r0, std::size_t j) {
  double* x[C];
  const double* cx[C];
  for (std::size_t c = 0; c < C; ++c) cx[c] = x[c] = X.data.data() + (j + c) * X.rows + r0;
  double w[kB][C], s[kB][C];
  block_dots<C>(V, cx, w);
  coefficients<C>(blk, g, w, s);
  block_update<C>(V, x, s);
}

}  // namespace

QUINTARA_WIDE_CLONES void reflect_block(Mat& X, const ReflectorBlock& blk, std::size_t r0,
                                        std::size_t c0, std::size_t c1) {
  QUINTARA_ASSERT(blk.b >= 1 && blk.b <= kB && blk.b <= blk.n, "reflect_block: block size");
  QUINTARA_ASSERT(r0 + blk.n <= X.rows, "reflect_block: rows");
  const Panel V = pad(blk);
  double g[kB][kB] = {};
  for (std::size_t q = 0; q < blk.b; ++q) {
    for (std::size_t p = 0; p < q; ++p) g[q][p] = g[p][q] = lane_dot(V.col(q), V.col(p), V.n);
  }
  std::size_t j = c0;
  for (; j + 4 <= c1; j += 4) apply_columns<4>(X, blk, V, g, r0, j);
  for (; j < c1; ++j) apply_columns<1>(X, blk, V, g, r0, j);
}

}  // namespace quintara::linalg
