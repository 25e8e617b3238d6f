#include "core/linalg/bidiag_svd.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstring>
#include <limits>
#include <numeric>

#include "core/linalg/octet.hpp"
#include "core/linalg/reflector_block.hpp"
#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Safety cap on bulge chases, in chases per diagonal entry: the Wilkinson
// shift converges cubically, two or three chases per value in practice.
constexpr std::size_t kChasesPerValue = 60;

// Rows per column from which a QR precedes the bidiagonalisation: QR plus
// the triangle's reduction cost 2 m n^2 + 2 n^3 flops against 4 m n^2 -
// 4 n^3 / 3 for the m-row reduction, even near m = 5n/3, and the shorter
// right-hand updates pay for the extra pass over m rows of the kept left
// vectors.
constexpr double kQrFirstAspect = 1.6;

struct Reflector {
  double tau;   // H = I - tau v v^T, v[0] = 1
  double beta;  // H x = beta e_1
};

// Householder reflector of x[0], x[stride], ..., (n entries) in place: the
// tail becomes v[1..], x[0] becomes 1. A zero (or subnormal) tail gives
// H = I (tau 0), so a column that is already reduced is left as it is. The norm is taken
// on x / max|x|: the trailing columns of a rank-deficient input shrink far
// below 1e-154, where plain squares underflow and H would lose orthogonality.
Reflector make_reflector(double* x, std::size_t n, std::size_t stride) {
  const double alpha = x[0];
  double big = 0.0;
  // A plain comparison: the same maximum as fmax for these non-negative
  // values (a NaN is passed over either way), without a libm call per entry.
  for (std::size_t i = 1; i < n; ++i) {
    const double a = std::fabs(x[i * stride]);
    big = a > big ? a : big;
  }
  x[0] = 1.0;
  // A subnormal tail is negligible beside the unit-range input (and 1/big
  // would overflow).
  if (!(big >= std::numeric_limits<double>::min())) return {0.0, alpha};
  big = std::fmax(big, std::fabs(alpha));
  const double inv = 1.0 / big, a = alpha * inv;
  double tail = 0.0;
  for (std::size_t i = 1; i < n; ++i) {
    const double t = x[i * stride] * inv;
    tail += t * t;
  }
  const double beta = -std::copysign(std::sqrt(a * a + tail), a) * big;
  const double scale = 1.0 / (alpha - beta);
  for (std::size_t i = 1; i < n; ++i) x[i * stride] *= scale;
  return {(beta - alpha) / beta, beta};
}

// Octets, eight adjacent doubles as one value (GCC and Clang vector extension;
// one AVX-512 register, two AVX ones): a dot product summed in eight
// interleaved partial sums, added pairwise at the end. A fixed order on
// every target and in every clone, and an eighth of the dependency chain of
// one running sum.
constexpr std::size_t kLanes = kOctetLanes;

// The dot products of v (n entries) with C columns x[c]: lane l sums the
// terms i = l mod 8 in order, the last n mod 8 terms go to the first lanes.
template <std::size_t C>
inline void dots(const double* v, const double* const (&x)[C], std::size_t n, double (&out)[C]) {
  const std::size_t whole = n / kLanes * kLanes;
  Octet p[C] = {};
  for (std::size_t i = 0; i < whole; i += kLanes) {
    Octet w;
    std::memcpy(&w, v + i, sizeof w);
    for (std::size_t c = 0; c < C; ++c) {
      Octet a;
      std::memcpy(&a, x[c] + i, sizeof a);
      p[c] += w * a;
    }
  }
  for (std::size_t c = 0; c < C; ++c) {
    for (std::size_t i = whole; i < n; ++i) p[c][i - whole] += v[i] * x[c][i];
    const Octet& q = p[c];
    out[c] = ((q[0] + q[1]) + (q[2] + q[3])) + ((q[4] + q[5]) + (q[6] + q[7]));
  }
}

// Applies H = I - tau v v^T (v contiguous, length n) to columns [c0, c1) of
// X from row r0. Four columns go through each pass over v, their dot
// products as independent chains: the latency of one serial sum, not the
// arithmetic, bounds this loop otherwise.
QUINTARA_WIDE_CLONES void reflect_columns(Mat& X, const double* v, std::size_t n, double tau,
                                          std::size_t r0, std::size_t c0, std::size_t c1) {
  if (tau == 0.0) return;
  std::size_t j = c0;
  for (; j + 4 <= c1; j += 4) {
    double* x0 = X.data.data() + j * X.rows + r0;
    double* x1 = x0 + X.rows;
    double* x2 = x1 + X.rows;
    double* x3 = x2 + X.rows;
    double d[4];
    dots<4>(v, {x0, x1, x2, x3}, n, d);
    const double s0 = d[0] * tau, s1 = d[1] * tau, s2 = d[2] * tau, s3 = d[3] * tau;
    for (std::size_t i = 0; i < n; ++i) {
      x0[i] -= s0 * v[i];
      x1[i] -= s1 * v[i];
      x2[i] -= s2 * v[i];
      x3[i] -= s3 * v[i];
    }
  }
  for (; j < c1; ++j) {
    double* x = X.data.data() + j * X.rows + r0;
    double d[1];
    dots<1>(v, {x}, n, d);
    const double s = d[0] * tau;
    for (std::size_t i = 0; i < n; ++i) x[i] -= s * v[i];
  }
}

// Q^T W P = B in place: the left reflectors stay below the diagonal, the
// right ones right of the superdiagonal. m >= n.
QUINTARA_WIDE_CLONES void bidiagonalize(Mat& W, std::vector<double>& d, std::vector<double>& e,
                                        std::vector<double>& tau_l, std::vector<double>& tau_r) {
  const std::size_t m = W.rows, n = W.cols;
  std::vector<double> z(m), u(n);
  for (std::size_t k = 0; k < n; ++k) {
    double* col = W.data.data() + k * m + k;
    const Reflector left = make_reflector(col, m - k, 1);
    d[k] = left.beta;
    tau_l[k] = left.tau;
    reflect_columns(W, col, m - k, left.tau, k, k + 1, n);
    if (k + 1 == n) break;
    // Row k from column k+1, strided by m.
    double* row = W.data.data() + (k + 1) * m + k;
    const Reflector right = make_reflector(row, n - k - 1, m);
    e[k] = right.beta;
    tau_r[k] = right.tau;
    if (right.tau == 0.0 || k + 1 == m) continue;
    // W[k+1:, k+1:] (I - tau u u^T): z = W u, then W -= tau z u^T, column by
    // column so every inner loop runs down a contiguous column.
    const std::size_t len = n - k - 1, r0 = k + 1;
    for (std::size_t j = 0; j < len; ++j) u[j] = row[j * m];
    std::fill(z.begin(), z.end(), 0.0);
    // Four columns per pass over z, each element still adding its terms in
    // column order: the same sums with a quarter of z's loads and stores.
    std::size_t j = 0;
    for (; j + 4 <= len; j += 4) {
      const double* w0 = W.data.data() + (r0 + j) * m;
      const double *w1 = w0 + m, *w2 = w1 + m, *w3 = w2 + m;
      const double u0 = u[j], u1 = u[j + 1], u2 = u[j + 2], u3 = u[j + 3];
      for (std::size_t i = r0; i < m; ++i) {
        z[i] = (((z[i] + w0[i] * u0) + w1[i] * u1) + w2[i] * u2) + w3[i] * u3;
      }
    }
    for (; j < len; ++j) {
      const double* w = W.data.data() + (r0 + j) * m;
      const double uj = u[j];
      for (std::size_t i = r0; i < m; ++i) z[i] += w[i] * uj;
    }
    for (j = 0; j < len; ++j) {
      double* w = W.data.data() + (r0 + j) * m;
      const double f = right.tau * u[j];
      for (std::size_t i = r0; i < m; ++i) w[i] -= f * z[i];
    }
  }
}

// W = Q R in place for a tall W: the reflectors stay below the diagonal,
// R's diagonal goes to `diag`. Panels of a few columns are reduced one
// reflector at a time; the rest of W then takes the panel's reflectors as
// one block.
void factor_qr(Mat& W, std::vector<double>& tau, std::vector<double>& diag) {
  const std::size_t m = W.rows, n = W.cols;
  for (std::size_t k0 = 0; k0 < n; k0 += kReflectorBlock) {
    const std::size_t b = std::min(kReflectorBlock, n - k0);
    const double* v[kReflectorBlock] = {};
    for (std::size_t k = k0; k < k0 + b; ++k) {
      double* col = W.data.data() + k * m + k;
      const Reflector h = make_reflector(col, m - k, 1);
      tau[k] = h.tau;
      diag[k] = h.beta;
      reflect_columns(W, col, m - k, h.tau, k, k + 1, k0 + b);
      v[k - k0] = col;
    }
    if (k0 + b < n) reflect_block(W, {v, tau.data() + k0, b, m - k0, false}, k0, k0 + b, n);
  }
}

// Q X for the reflectors stored down the columns of F from the diagonal
// (Q = H_0 ... H_{n-1}, the last applied first), in blocks.
void apply_column_reflectors(Mat& X, const Mat& F, const std::vector<double>& tau) {
  const std::size_t m = F.rows;
  for (std::size_t top = F.cols; top > 0;) {
    const std::size_t b = std::min(kReflectorBlock, top), j0 = top - b;
    const double* v[kReflectorBlock] = {};
    for (std::size_t q = 0; q < b; ++q) v[q] = F.data.data() + (j0 + q) * m + j0 + q;
    reflect_block(X, {v, tau.data() + j0, b, m - j0, true}, j0, 0, X.cols);
    top = j0;
  }
}

// R <- the n x n triangle of factor_qr's output.
void upper_triangle(const Mat& W, const std::vector<double>& diag, Mat& R) {
  const std::size_t n = W.cols;
  R.rows = R.cols = n;
  R.data.assign(n * n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    const double* w = W.data.data() + j * W.rows;
    std::copy(w, w + j, R.data.data() + j * n);
    R.data[j + j * n] = diag[j];
  }
}

// W <- A (or A^T), reusing W's storage.
void copy_into(const MatView& A, bool transpose, Mat& W) {
  W.rows = transpose ? A.cols : A.rows;
  W.cols = transpose ? A.rows : A.cols;
  W.data.resize(A.rows * A.cols);
  for (std::size_t j = 0; j < A.cols; ++j) {
    const double* src = A.data + j * A.ld;
    if (!transpose) {
      std::copy(src, src + A.rows, W.data.data() + j * A.rows);
      continue;
    }
    for (std::size_t i = 0; i < A.rows; ++i) W.data[j + i * A.cols] = src[i];
  }
}

struct Givens {
  double c, s, r;  // [c s] . [y z] = r, [-s c] . [y z] = 0
};

// Plain sqrt(y^2 + z^2) while the larger magnitude keeps both squares clear
// of overflow and its own square normal (hypot's guarding costs more than
// the rest of a chase step); hypot beyond that, and for non-finite input.
Givens givens(double y, double z) {
  if (z == 0.0) return {1.0, 0.0, y};
  const double ay = std::fabs(y), az = std::fabs(z), big = ay > az ? ay : az;
  const double r = big > 0x1p-500 && big < 0x1p500 ? std::sqrt(y * y + z * z) : std::hypot(y, z);
  return {y / r, z / r, r};
}

// Columns a and b of X become c x - s y and s x + c y.
void rotate(Mat& X, std::size_t a, std::size_t b, double c, double s) {
  double* x = X.data.data() + a * X.rows;
  double* y = X.data.data() + b * X.rows;
  for (std::size_t i = 0; i < X.rows; ++i) {
    const double xa = x[i], yb = y[i];
    x[i] = c * xa - s * yb;
    y[i] = s * xa + c * yb;
  }
}

// Where the chase's rotations go: into full n x n vectors as they come, into
// a log replayed later on the kept columns only, or nowhere (values alone).
struct Accumulate {
  Mat& ub;
  Mat& vb;
  void left(std::size_t a, std::size_t b, double c, double s) { rotate(ub, a, b, c, s); }
  void right(std::size_t a, std::size_t b, double c, double s) { rotate(vb, a, b, c, s); }
};

struct Log {
  std::vector<BandRotation>& l;
  std::vector<BandRotation>& r;
  void left(std::size_t a, std::size_t b, double c, double s) {
    l.push_back(make_rotation(a, b, c, s));
  }
  void right(std::size_t a, std::size_t b, double c, double s) {
    r.push_back(make_rotation(a, b, c, s));
  }
  static BandRotation make_rotation(std::size_t a, std::size_t b, double c, double s) {
    return {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), c, s};
  }
};

struct Discard {
  void left(std::size_t, std::size_t, double, double) {}
  void right(std::size_t, std::size_t, double, double) {}
};

// The bidiagonal d (n), e (n-1) with its rotations: the original B equals
// ub B vb^T throughout, ub and vb the products of the rotations so far.
template <class Sink>
struct Band {
  std::vector<double>& d;
  std::vector<double>& e;
  Sink sink;

  // d[k] = 0 with k < hi: left rotations against rows k+1..hi push e[k]
  // off the end of the block, splitting it at k.
  void chase_row(std::size_t k, std::size_t hi) {
    double f = e[k];
    e[k] = 0.0;
    for (std::size_t j = k + 1; j <= hi; ++j) {
      const Givens g = givens(d[j], f);
      d[j] = g.r;
      sink.left(k, j, g.c, g.s);
      if (j < hi) {
        f = -g.s * e[j];
        e[j] = g.c * e[j];
      }
    }
  }

  // d[hi] = 0: right rotations against columns hi-1..lo zero column hi.
  void chase_column(std::size_t lo, std::size_t hi) {
    double f = e[hi - 1];
    e[hi - 1] = 0.0;
    for (std::size_t j = hi; j-- > lo;) {
      const Givens g = givens(d[j], f);
      d[j] = g.r;
      sink.right(j, hi, g.c, -g.s);
      if (j > lo) {
        f = -g.s * e[j - 1];
        e[j - 1] = g.c * e[j - 1];
      }
    }
  }

  // One implicit QR step on B^T B - mu I of the block lo..hi, mu the
  // eigenvalue of the trailing 2x2 of B^T B nearer its last entry.
  void qr_step(std::size_t lo, std::size_t hi) {
    const double dm = d[hi - 1], dn = d[hi], em = e[hi - 1];
    const double el = hi - 1 > lo ? e[hi - 2] : 0.0;
    const double t11 = dm * dm + el * el, t12 = dm * em, t22 = dn * dn + em * em;
    const double delta = (t11 - t22) * 0.5;
    const double denom = delta + std::copysign(std::hypot(delta, t12), delta);
    const double mu = denom != 0.0 ? t22 - t12 * (t12 / denom) : t22;
    double y = d[lo] * d[lo] - mu, z = d[lo] * e[lo];
    for (std::size_t k = lo; k < hi; ++k) {
      const Givens g = givens(y, z);
      if (k > lo) e[k - 1] = g.r;
      const double a = d[k], b = e[k];
      const double head = g.c * a + g.s * b, ek = -g.s * a + g.c * b;
      const double bulge = g.s * d[k + 1];
      d[k + 1] = g.c * d[k + 1];
      sink.right(k, k + 1, g.c, -g.s);
      const Givens h = givens(head, bulge);
      d[k] = h.r;
      const double dk1 = d[k + 1];
      e[k] = h.c * ek + h.s * dk1;
      d[k + 1] = -h.s * ek + h.c * dk1;
      if (k + 1 < hi) {
        z = h.s * e[k + 1];
        e[k + 1] = h.c * e[k + 1];
      }
      y = e[k];
      sink.left(k, k + 1, h.c, -h.s);
    }
  }

  // An off-diagonal entry negligible against its neighbours on the
  // diagonal, or against the whole band.
  bool negligible(std::size_t i, double floor) const {
    const double a = std::fabs(e[i]);
    return a <= kEps * (std::fabs(d[i]) + std::fabs(d[i + 1])) || a <= floor;
  }

  // Diagonalises the band (Golub and Van Loan's SVD iteration): split off
  // converged values at the bottom, chase zeros on the diagonal out of the
  // band, otherwise a shifted QR step on the lowest unreduced block.
  void diagonalize() {
    const std::size_t n = d.size();
    if (n < 2) return;
    double norm = 0.0;
    for (const double x : d) norm = std::fabs(x) > norm ? std::fabs(x) : norm;
    for (const double x : e) norm = std::fabs(x) > norm ? std::fabs(x) : norm;
    const double zero_d = kEps * norm, floor = std::numeric_limits<double>::min();
    std::size_t hi = n - 1, budget = kChasesPerValue * n;
    while (hi > 0 && budget > 0) {
      if (negligible(hi - 1, floor)) {
        e[hi - 1] = 0.0;
        --hi;
        continue;
      }
      std::size_t lo = hi - 1;
      while (lo > 0 && !negligible(lo - 1, floor)) --lo;
      if (lo > 0) e[lo - 1] = 0.0;
      bool chased = false;
      for (std::size_t i = lo; i <= hi && !chased; ++i) {
        if (std::fabs(d[i]) > zero_d) continue;
        d[i] = 0.0;
        if (i < hi) {
          chase_row(i, hi);
        } else {
          chase_column(lo, hi);
        }
        chased = true;
      }
      if (!chased) qr_step(lo, hi);
      --budget;
    }
  }
};

// Columns of X in the given order.
Mat permute_columns(const Mat& X, const std::vector<std::size_t>& order) {
  Mat out(X.rows, order.size());
  for (std::size_t r = 0; r < order.size(); ++r) {
    const std::span<const double> c = X.col(order[r]);
    std::copy(c.begin(), c.end(), out.col_mut(r).begin());
  }
  return out;
}

// Columns order[0..k) of the product of the logged rotations (n x n), with
// the columns listed in `negate` flipped: the log is replayed backwards on
// unit vectors, held transposed (k x n) so that each rotation runs down two
// contiguous columns of length k rather than n.
QUINTARA_WIDE_CLONES Mat replay(const std::vector<BandRotation>& log,
                                const std::vector<std::size_t>& order,
                                const std::vector<std::uint8_t>& negate, std::size_t k) {
  const std::size_t n = order.size();
  Mat t(k, n);
  for (std::size_t r = 0; r < k; ++r) t.data[r + order[r] * k] = negate[order[r]] ? -1.0 : 1.0;
  for (auto it = log.rbegin(); it != log.rend(); ++it) {
    double* x = t.data.data() + std::size_t{it->a} * k;
    double* y = t.data.data() + std::size_t{it->b} * k;
    const double c = it->c, s = it->s;
    for (std::size_t i = 0; i < k; ++i) {
      const double xa = x[i], yb = y[i];
      x[i] = c * xa + s * yb;
      y[i] = -s * xa + c * yb;
    }
  }
  return t.transpose();
}

}  // namespace

BidiagSvd BidiagSvd::make(const MatView& A, BandVectors vectors) {
  BidiagSvd out;
  out.refactor(A, vectors);
  return out;
}

void BidiagSvd::refactor(const MatView& A, BandVectors vectors) {
  BidiagSvd& out = *this;
  out.rows_ = A.rows;
  out.cols_ = A.cols;
  out.vectors_ = vectors;
  out.transposed_ = A.rows < A.cols;
  copy_into(A, out.transposed_, out.w_);
  const int scale = rescale_to_unit_range(out.w_);
  const std::size_t n = out.w_.cols;
  std::vector<double> d(n), e(n > 0 ? n - 1 : 0);
  // Well taller than wide, a QR first leaves an n x n triangle to
  // bidiagonalise: the two-sided reduction then runs on n rows, not m. The
  // accumulating reference keeps the direct reduction.
  const bool qr_first = vectors != BandVectors::accumulated && n > 0 &&
                        static_cast<double>(out.w_.rows) >= kQrFirstAspect * static_cast<double>(n);
  out.tau_qr_.clear();
  if (qr_first) {
    out.tau_qr_.assign(n, 0.0);
    factor_qr(out.w_, out.tau_qr_, d);
    std::swap(out.qr_, out.w_);
    upper_triangle(out.qr_, d, out.w_);
  }
  out.tau_left_.assign(n, 0.0);
  out.tau_right_.assign(n, 0.0);
  out.left_log_.clear();
  out.right_log_.clear();

  Mat ub, vb;
  bidiagonalize(out.w_, d, e, out.tau_left_, out.tau_right_);
  if (vectors == BandVectors::accumulated) {
    ub = Mat::identity(n);
    vb = Mat::identity(n);
    Band<Accumulate>{d, e, {ub, vb}}.diagonalize();
  } else if (vectors == BandVectors::logged) {
    Band<Log>{d, e, {out.left_log_, out.right_log_}}.diagonalize();
  } else {
    Band<Discard>{d, e, {}}.diagonalize();
  }
  // Negative values flip their right vector (when the vectors are accumulated
  // at once, otherwise when the kept ones are formed).
  out.negate_.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::signbit(d[i])) continue;
    d[i] = -d[i];
    out.negate_[i] = 1;
    if (vectors == BandVectors::accumulated) {
      for (double& x : vb.col_mut(i)) x = -x;
    }
  }
  if (scale != 0) {
    for (double& x : d) x = std::ldexp(x, scale);
  }
  // Descending in the IEEE total order, ties in diagonal order, as Jacobi.
  out.order_.resize(n);
  std::iota(out.order_.begin(), out.order_.end(), std::size_t{0});
  std::stable_sort(out.order_.begin(), out.order_.end(), [&](std::size_t a, std::size_t b) {
    return std::is_gt(std::strong_order(d[a], d[b]));
  });
  out.s_.resize(n);
  for (std::size_t r = 0; r < n; ++r) out.s_[r] = d[out.order_[r]];
  out.ub_ = Mat();
  out.vb_ = Mat();
  if (vectors == BandVectors::accumulated) {
    out.ub_ = permute_columns(ub, out.order_);
    out.vb_ = permute_columns(vb, out.order_);
  }
}

Mat BidiagSvd::band_left(std::size_t k) const {
  QUINTARA_ASSERT(vectors_ != BandVectors::none, "BidiagSvd: vectors of a values-only SVD");
  check_index(k, s_.size() + 1);
  if (vectors_ == BandVectors::logged) return replay(left_log_, order_, no_negation(), k);
  Mat X(ub_.rows, k);
  std::copy(ub_.data.begin(), ub_.data.begin() + ub_.rows * k, X.data.begin());
  return X;
}

Mat BidiagSvd::band_right(std::size_t k) const {
  QUINTARA_ASSERT(vectors_ != BandVectors::none, "BidiagSvd: vectors of a values-only SVD");
  check_index(k, s_.size() + 1);
  if (vectors_ == BandVectors::logged) return replay(right_log_, order_, negate_, k);
  Mat X(vb_.rows, k);
  std::copy(vb_.data.begin(), vb_.data.begin() + vb_.rows * k, X.data.begin());
  return X;
}

std::vector<std::uint8_t> BidiagSvd::no_negation() const {
  return std::vector<std::uint8_t>(s_.size(), 0);
}

Mat BidiagSvd::apply_left(std::size_t k) const {
  const std::size_t m = w_.rows;
  const Mat band = band_left(k);
  Mat X(m, k);
  for (std::size_t c = 0; c < k; ++c) {
    const std::span<const double> src = band.col(c);
    std::copy(src.begin(), src.end(), X.col_mut(c).begin());
  }
  apply_column_reflectors(X, w_, tau_left_);
  if (tau_qr_.empty()) return X;
  // Q_qr [X; 0] for the QR-first reduction.
  const std::size_t rows = qr_.rows;
  Mat Y(rows, k);
  for (std::size_t c = 0; c < k; ++c)
    std::copy_n(X.data.data() + c * m, m, Y.data.data() + c * rows);
  apply_column_reflectors(Y, qr_, tau_qr_);
  return Y;
}

Mat BidiagSvd::apply_right(std::size_t k) const {
  const std::size_t m = w_.rows, n = w_.cols;
  Mat Y = band_right(k);
  // Right reflector j is row j of w_ from column j + 1 (strided), acting on
  // rows j + 1 .. n; blocks of them, the highest first, are copied out.
  std::vector<double> u(kReflectorBlock * n);
  for (std::size_t top = n > 0 ? n - 1 : 0; top > 0;) {
    const std::size_t b = std::min(kReflectorBlock, top), j0 = top - b;
    const double* v[kReflectorBlock] = {};
    for (std::size_t q = 0; q < b; ++q) {
      const std::size_t j = j0 + q, len = n - j - 1;
      double* dst = u.data() + q * n;
      for (std::size_t i = 0; i < len; ++i) dst[i] = w_.data[(j + 1 + i) * m + j];
      v[q] = dst;
    }
    reflect_block(Y, {v, tau_right_.data() + j0, b, n - j0 - 1, true}, j0 + 1, 0, k);
    top = j0;
  }
  return Y;
}

Mat BidiagSvd::left(std::size_t k) const { return transposed_ ? apply_right(k) : apply_left(k); }

Mat BidiagSvd::right(std::size_t k) const { return transposed_ ? apply_left(k) : apply_right(k); }

Svd BidiagSvd::full() const {
  Svd out;
  out.rows = rows_;
  out.cols = cols_;
  out.s = s_;
  out.u = left(s_.size());
  out.v = right(s_.size());
  return out;
}

}  // namespace quintara::linalg
