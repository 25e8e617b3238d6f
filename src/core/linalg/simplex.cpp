#include "core/linalg/simplex.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <limits>
#include <utility>

#include "core/format.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/means.hpp"

namespace quintara::linalg {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Bisection halves a bracket of finite doubles; 100 halvings exhaust any
// such bracket, and the loop stops earlier once the midpoint stops moving.
constexpr int kBisectionSteps = 100;
// The bounded solver's Newton polish is cubic in the free coordinates, so it
// runs every few iterations only; the duality gap costs an extra gradient.
constexpr std::size_t kPolishEvery = 25;
constexpr std::size_t kGapEvery = 5;

[[noreturn]] void clamp_bounds_fault(double lo, double hi) {
  panic(format("min > max, or either was NaN. min = {}, max = {}", format_float_debug(lo),
               format_float_debug(hi)));
}

// Bounds of a clamp must be ordered and not NaN; the solvers normalise their
// bounds so this only fires on a programming error.
inline void check_clamp_bounds(double lo, double hi) {
  if (!(lo <= hi)) clamp_bounds_fault(lo, hi);
}

// Comparison clamp: a NaN v stays NaN (a plain max/min would drop it).
inline double clamp_unchecked(double v, double lo, double hi) {
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return v;
}

inline double clamp(double v, double lo, double hi) {
  check_clamp_bounds(lo, hi);
  return clamp_unchecked(v, lo, hi);
}

// g <- (G + lambda I) w - b into a caller buffer (resized to G.rows).
void grad_into(const MatView& G, std::span<const double> b, std::span<const double> w,
               double lambda, std::vector<double>& g) {
  g.resize(G.rows);
  gemv(G, w, g, 1.0, 0.0);
  const std::size_t n = g.size();
  if (w.size() < n) check_index(w.size(), w.size());
  if (b.size() < n) check_index(b.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) g[i] = g[i] + (w[i] * lambda - b[i]);
}

double sum_products(const double* a, const double* b, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Bound normalisation shared by the projection and the bounded solver: the
// box always contains the uniform point 1/n, so the bounded simplex is never
// empty.
struct Box {
  double lo;
  double hi;
};

Box feasible_box(double lo, double hi, double u) {
  return {std::fmin(u, std::fmax(0.0, lo)), std::fmin(1.0, std::fmax(u, hi))};
}

// Projection of v onto {sum = 1, lo <= w_i <= hi} for an already feasible
// box, written into w. `x` is scratch of the same length.
void project_into(std::span<const double> v, Box box, std::vector<double>& x,
                  std::vector<double>& w) {
  const std::size_t n = v.size();
  const double lo = box.lo, hi = box.hi;
  check_clamp_bounds(lo, hi);
  x.resize(n);
  w.resize(n);
  double xmin = kInf, xmax = -kInf;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = std::isfinite(v[i]) ? v[i] : 0.0;
    x[i] = a;
    xmin = std::fmin(xmin, a);
    xmax = std::fmax(xmax, a);
  }
  // At tau_lo every clamped entry sits at hi (sum >= 1), at tau_hi at lo
  // (sum <= 1); the clamped sum is monotone in tau, so bisection brackets it.
  double tlo = xmin - hi;
  double thi = xmax - lo;
  double tau = 0.0;
  bool stopped = false;
  const double* xp = x.data();
  for (int step = 0; step < kBisectionSteps; ++step) {
    const double mid = (tlo + thi) * 0.5;
    // Stop once the bracket no longer has a representable interior point.
    if (!(tlo < mid && mid < thi)) {
      tau = mid;
      stopped = true;
      break;
    }
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += clamp_unchecked(xp[i] - mid, lo, hi);
    if (s > 1.0) {
      tlo = mid;
    } else {
      thi = mid;
    }
  }
  if (!stopped) tau = (tlo + thi) * 0.5;
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = clamp_unchecked(xp[i] - tau, lo, hi);
    total += w[i];
  }
  // One repair pass: spread what bisection left over evenly across the
  // strictly interior coordinates.
  const double r = 1.0 - total;
  if (r != 0.0) {
    std::size_t free = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (lo < w[i] && w[i] < hi) ++free;
    }
    if (free > 0) {
      const double cnt = static_cast<double>(free);
      for (std::size_t i = 0; i < n; ++i) {
        // Membership is decided on the pre-repair values: only entries
        // before i have been rewritten so far.
        if (lo < w[i] && w[i] < hi) w[i] = clamp_unchecked(w[i] + r / cnt, lo, hi);
      }
    }
  }
}

// Linear minimisation oracle over the bounded simplex, into s. `order` is
// scratch.
void lmo_into(std::span<const double> g, double lo, double hi, std::vector<std::size_t>& order,
              std::vector<double>& s) {
  const std::size_t m = g.size();
  const double u = 1.0 / static_cast<double>(m);
  const double lo2 = std::fmin(lo, u);
  const double hi2 = std::fmax(hi, u);
  s.assign(m, lo2);
  double remaining = 1.0 - static_cast<double>(m) * lo2;
  const double room = hi2 - lo2;
  // Ascending in the IEEE total order (std::strong_order on double: -NaN <
  // -inf < ... < -0 < +0 < ... < +inf < +NaN), equal values by ascending
  // index: the permutation of a stable sort, without its buffer.
  order.resize(m);
  for (std::size_t i = 0; i < m; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const std::strong_ordering c = std::strong_order(g[a], g[b]);
    return c < 0 || (c == 0 && a < b);
  });
  for (std::size_t k = 0; k < m; ++k) {
    if (remaining <= 0.0) break;
    const std::size_t idx = order[k];
    const double add = std::fmin(remaining, room);
    s[idx] = s[idx] + add;
    remaining = remaining - add;
  }
}

// Work buffers of one bounded solve, allocated once per call.
struct BoundedWork {
  std::vector<double> g, z, x, xprev, y, gx, s, scratch;
  std::vector<std::size_t> order;
};

struct PolishLimits {
  Box box;
  double lo_in, hi_in;    // strict interior band that marks a coordinate free
  double lo_tol, hi_tol;  // how far the Newton point may leave the box
};

// Equality-constrained Newton step on the free coordinates of x with the
// others frozen; replaces x when it does not raise the objective.
void polish(const MatView& G, std::span<const double> b, double lambda, const PolishLimits& lim,
            std::vector<double>& x) {
  const std::size_t n = x.size();
  std::vector<std::size_t> free;
  std::vector<char> is_free(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (lim.lo_in < x[i] && x[i] < lim.hi_in) {
      free.push_back(i);
      is_free[i] = 1;
    }
  }
  const std::size_t f = free.size();
  // The f x f factorization is cubic; with every coordinate free and n large
  // it would dominate the solve.
  if (f == 0 || (n > 256 && f == n)) return;
  const std::size_t gn = G.ld;
  const double* gd = G.data;
  Mat H(f, f);
  for (std::size_t c = 0; c < f; ++c) {
    for (std::size_t a = 0; a < f; ++a) H.data[a + c * f] = gd[free[a] + free[c] * gn];
  }
  double frozen = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!is_free[i]) frozen += x[i];
  }
  std::vector<double> r(f);
  for (std::size_t a = 0; a < f; ++a) r[a] = b[free[a]];
  // j-outer so each column of G is read once; every r_a still subtracts its
  // terms in j ascending order.
  for (std::size_t j = 0; j < n; ++j) {
    if (is_free[j]) continue;
    const double xj = x[j];
    const double* gj = gd + j * gn;
    for (std::size_t a = 0; a < f; ++a) r[a] = r[a] - xj * gj[free[a]];
  }
  // A tiny shift relative to the mean diagonal keeps a singular free block
  // factorable.
  const double diag = mean_div(f, [&](std::size_t a) { return H.data[a + a * f]; });
  const double delta = std::fmax(diag, 1e-300);
  auto chol = Cholesky::new_ridge(H, delta * 1e-12 + lambda);
  if (!chol) return;
  const std::vector<double> P = chol.value().solve_vec(r);
  const std::vector<double> ones(f, 1.0);
  const std::vector<double> Q = chol.value().solve_vec(ones);
  double sq = 0.0;
  for (const double q : Q) sq += q;
  if (!std::isfinite(std::fabs(sq)) || std::fabs(sq) < 1e-300) return;
  double sp = 0.0;
  for (const double p : P) sp += p;
  // Lagrange multiplier of the sum constraint: 1^T (P + Q nu) = 1 - frozen.
  const double nu = ((1.0 - frozen) - sp) / sq;
  std::vector<double> cand = x;
  for (std::size_t a = 0; a < f; ++a) {
    const double v = Q[a] * nu + P[a];
    if (v > lim.hi_tol || v < lim.lo_tol || !std::isfinite(v)) return;
    cand[free[a]] = clamp(v, lim.box.lo, lim.box.hi);
  }
  if (objective(G, b, cand, lambda) <= objective(G, b, x, lambda)) x = std::move(cand);
}

}  // namespace

double objective(const MatView& G, std::span<const double> b, std::span<const double> w,
                 double lambda) {
  const std::vector<double> u = matvec(G, w);
  const std::size_t n = u.size();
  if (w.size() < n) check_index(w.size(), w.size());
  double q = 0.0;
  for (std::size_t i = 0; i < n; ++i) q += (lambda * w[i] + u[i]) * w[i];
  if (b.size() < w.size()) check_index(b.size(), b.size());
  const double bw = sum_products(b.data(), w.data(), w.size());
  return 0.5 * q - bw;
}

std::vector<double> grad(const MatView& G, std::span<const double> b, std::span<const double> w,
                         double lambda) {
  std::vector<double> g;
  grad_into(G, b, w, lambda, g);
  return g;
}

SimplexSolution solve_fw(const MatView& G, std::span<const double> b, std::size_t max_iter,
                         double lambda, double tol) {
  const std::size_t n = b.size();
  if (n == 0) return {{}, 0, 0.0};
  std::vector<double> w(n, 1.0 / static_cast<double>(n));
  if (max_iter == 0) return {std::move(w), 0, kInf};
  std::vector<double> g, d(n), v(G.rows);
  for (std::size_t k = 0;; ++k) {
    grad_into(G, b, w, lambda, g);
    // Toward vertex: smallest gradient, ties to the lowest index.
    std::size_t s = 0;
    for (std::size_t i = 1; i < n; ++i) {
      if (g[i] < g[s]) s = i;
    }
    const double gmin = g[s];
    // Away vertex: largest gradient among the support, ties to the lowest
    // index; the 1e-14 floor ignores weights that are zero up to round-off.
    bool has_away = false;
    std::size_t a = 0;
    double gmax = -kInf;
    for (std::size_t i = 0; i < n; ++i) {
      if (w[i] > 1e-14 && g[i] > gmax) {
        gmax = g[i];
        a = i;
        has_away = true;
      }
    }
    const double gw = sum_products(g.data(), w.data(), n);
    const double fw_gap = gw - gmin;
    if (tol >= fw_gap) return {std::move(w), k, fw_gap};
    double gamma_max;
    if (has_away && !(fw_gap >= g[a] - gw)) {
      // Away step: move mass off vertex a onto the rest of the support.
      for (std::size_t i = 0; i < n; ++i) d[i] = w[i];
      d[a] = d[a] + (-1.0);
      gamma_max = w[a] < 1.0 ? w[a] / (1.0 - w[a]) : kInf;
    } else {
      for (std::size_t i = 0; i < n; ++i) d[i] = -w[i];
      d[s] = d[s] + 1.0;
      gamma_max = 1.0;
    }
    const double gdir = sum_products(g.data(), d.data(), n);
    gemv(G, d, v, 1.0, 0.0);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = v[i] + d[i] * lambda;
    const double kappa = sum_products(d.data(), v.data(), n);
    // Exact line search on the quadratic, clipped to the feasible segment;
    // with no positive curvature the objective is linear (or concave) along d.
    double gamma;
    if (kappa > 0.0) {
      gamma = clamp(-gdir / kappa, 0.0, gamma_max);
    } else {
      gamma = gdir < 0.0 ? std::fmin(gamma_max, 1.0) : 0.0;
    }
    for (std::size_t i = 0; i < n; ++i) w[i] = d[i] * gamma + w[i];
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      if (w[i] < 0.0) w[i] = 0.0;
      total += w[i];
    }
    if (total > 0.0 && std::fabs(total - 1.0) > 1e-15) {
      const double inv = 1.0 / total;
      for (std::size_t i = 0; i < n; ++i) w[i] = w[i] * inv;
    }
    if (k + 1 == max_iter) return {std::move(w), max_iter, fw_gap};
  }
}

std::vector<double> project_bounded_simplex(std::span<const double> v, double lo, double hi) {
  const std::size_t n = v.size();
  if (n == 0) return {};
  const double u = 1.0 / static_cast<double>(n);
  std::vector<double> x, w;
  project_into(v, feasible_box(lo, hi, u), x, w);
  return w;
}

std::vector<double> lmo_bounded(std::span<const double> g, double lo, double hi) {
  std::vector<std::size_t> order;
  std::vector<double> s;
  lmo_into(g, lo, hi, order, s);
  return s;
}

SimplexSolution solve_bounded(const MatView& G, std::span<const double> b, std::size_t max_iter,
                              double lambda, double lo, double hi, double tol) {
  const std::size_t n = b.size();
  if (n == 0) return {{}, 0, 0.0};
  if (lo <= 0.0 && hi >= 1.0) return solve_fw(G, b, max_iter, lambda, tol);
  const double u = 1.0 / static_cast<double>(n);
  // Lipschitz bound of the gradient: the spectral norm of G is at most both
  // its largest absolute row sum and its Frobenius norm.
  const std::size_t gr = G.rows, gc = G.cols;
  std::vector<double> rowsum(gr, 0.0);
  double frob = 0.0;
  for (std::size_t j = 0; j < gc; ++j) {
    const double* col = G.data + j * G.ld;
    for (std::size_t i = 0; i < gr; ++i) rowsum[i] += std::fabs(col[i]);
  }
  // Storage order of a whole matrix: column by column, rows in order.
  for (std::size_t j = 0; j < gc; ++j) {
    const double* col = G.data + j * G.ld;
    for (std::size_t i = 0; i < gr; ++i) frob += col[i] * col[i];
  }
  double rmax = 0.0;
  for (const double r : rowsum) rmax = std::fmax(rmax, r);
  const double c = std::fmin(rmax, std::sqrt(frob));

  BoundedWork ws;
  ws.x.assign(n, u);
  if (max_iter == 0) return {std::move(ws.x), 0, kInf};
  ws.xprev = ws.x;
  ws.y = ws.x;

  const Box box = feasible_box(lo, hi, u);
  const double L = std::fmax(c + lambda, 1e-12);
  const double step = 1.0 / L;
  double bmax = 0.0;
  for (const double e : b) bmax = std::fmax(bmax, std::fabs(e));
  const double tol_s = tol * (bmax + 1.0);
  const double width = std::fmax(box.hi - box.lo, 1e-12);
  PolishLimits lim;
  lim.box = box;
  lim.lo_in = box.lo + 1e-10 * width;
  lim.hi_in = box.hi - 1e-10 * width;
  lim.lo_tol = box.lo + (-1e-12);
  lim.hi_tol = box.hi + 1e-12;
  double t = 1.0;
  double gap = kInf;
  ws.z.resize(n);

  for (std::size_t k = 0; k < max_iter; ++k) {
    grad_into(G, b, ws.y, lambda, ws.g);
    for (std::size_t i = 0; i < n; ++i) ws.z[i] = ws.y[i] - ws.g[i] * step;
    project_into(ws.z, box, ws.scratch, ws.x);
    if (k > 0 && k % kPolishEvery == 0) polish(G, b, lambda, lim, ws.x);
    if (k % kGapEvery == 0 || k + 1 == max_iter) {
      grad_into(G, b, ws.x, lambda, ws.gx);
      lmo_into(ws.gx, box.lo, box.hi, ws.order, ws.s);
      gap = sum_products(ws.gx.data(), ws.x.data(), n) - sum_products(ws.gx.data(), ws.s.data(), n);
      if (gap <= tol_s) return {std::move(ws.x), k, gap};
    }
    // Adaptive restart: drop the momentum when the last step went against
    // the extrapolation direction.
    double rho = 0.0;
    for (std::size_t i = 0; i < n; ++i) rho += (ws.x[i] - ws.xprev[i]) * (ws.y[i] - ws.x[i]);
    double t_new, beta;
    if (rho > 0.0) {
      t_new = 1.0;
      beta = 0.0;
    } else {
      t_new = (std::sqrt((t * 4.0) * t + 1.0) + 1.0) * 0.5;
      beta = (t - 1.0) / t_new;
    }
    for (std::size_t i = 0; i < n; ++i) ws.y[i] = (ws.x[i] - ws.xprev[i]) * beta + ws.x[i];
    std::swap(ws.xprev, ws.x);
    t = t_new;
  }
  // After the swap the last iterate lives in xprev.
  return {std::move(ws.xprev), max_iter, gap};
}

SimplexSolution sc_weights(const MatView& X, std::span<const double> y, double lambda) {
  return sc_weights_bounded(X, y, lambda, 0.0, 1.0);
}

SimplexSolution sc_weights_bounded(const MatView& X, std::span<const double> y, double lambda,
                                   double lo, double hi) {
  const Mat G = syrk_ata(X);
  std::vector<double> b(X.cols, 0.0);
  gemv_t(X, y, b, 1.0, 0.0);
  return solve_simplex_qp(G, b, lambda, lo, hi);
}

}  // namespace quintara::linalg
