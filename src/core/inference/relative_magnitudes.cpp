#include "core/inference/relative_magnitudes.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "core/linalg/lu.hpp"
#include "core/panic.hpp"

namespace quintara::inference {

namespace {

using linalg::Mat;
using Vec = std::vector<double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The first stage's size as a share of alpha, and its simulation.
constexpr double kKappaShare = 0.1;
constexpr std::size_t kLfDraws = 1000;
constexpr std::uint64_t kLfSeed = 0;
constexpr double kZeroRow = 1e-10;

// Gamma: l in the first row, then the unit rows of every post period but
// the one with the largest |l| (the first such), so Gamma is invertible.
Mat gamma_matrix(std::span<const double> l) {
  const std::size_t t = l.size();
  std::size_t drop = 0;
  for (std::size_t i = 1; i < t; ++i) {
    if (std::abs(l[i]) > std::abs(l[drop])) drop = i;
  }
  Mat g(t, t);
  for (std::size_t j = 0; j < t; ++j) g(0, j) = l[j];
  std::size_t row = 1;
  for (std::size_t i = 0; i < t; ++i) {
    if (i != drop) g(row++, i) = 1.0;
  }
  return g;
}

// x = b G^{-1} for a row vector b, i.e. G' x' = b'.
Vec solve_row(const Mat& g, Vec b) {
  std::optional<Vec> x = linalg::solve_lu(g.transpose(), std::move(b));
  if (!x) panic("relative magnitudes: l has no non-zero weight");
  return *std::move(x);
}

// One piece's test, theta by theta: the moments w - theta a with nuisance X.
struct Piece {
  MomentProblem moments;
  Vec w;
  Vec a;
  HybridOptions options;
};

Piece make_piece(const RmProblem& p, const Mat& big_a, LpBudget& budget, std::uint64_t stream) {
  const std::size_t k = p.n_pre;
  const std::size_t t = p.l.size();
  const std::size_t n_all = k + t;
  // Post periods keep only the rows that involve them (with one post
  // period, every row).
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < big_a.rows; ++i) {
    bool post = false;
    for (std::size_t j = k; j < n_all; ++j) post = post || big_a(i, j) != 0.0;
    if (post || t == 1) rows.push_back(i);
  }
  if (rows.empty()) {
    for (std::size_t i = 0; i < big_a.rows; ++i) rows.push_back(i);
  }
  const Mat g = gamma_matrix(p.l);
  const std::size_t n = rows.size();
  Piece pc;
  pc.moments.x = Mat(n, t - 1);
  pc.moments.sigma = Mat(n, n);
  pc.w.assign(n, 0.0);
  pc.a.assign(n, 0.0);
  Mat arows(n, n_all);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t j = 0; j < n_all; ++j) arows(r, j) = big_a(rows[r], j);
    Vec post(t);
    for (std::size_t j = 0; j < t; ++j) post[j] = arows(r, k + j);
    const Vec agi = solve_row(g, post);
    pc.a[r] = agi[0];
    for (std::size_t j = 1; j < t; ++j) pc.moments.x(r, j - 1) = agi[j];
    for (std::size_t j = 0; j < n_all; ++j) pc.w[r] += arows(r, j) * p.betahat[j];
  }
  // sigma_y = A Sigma A' and the factor A F of the least-favourable draws.
  const Mat& s = *p.sigma;
  Mat as(n, n_all);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t j = 0; j < n_all; ++j) {
      double v = 0.0;
      for (std::size_t q = 0; q < n_all; ++q) v += arows(r, q) * s(q, j);
      as(r, j) = v;
    }
  }
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < n; ++c) {
      double v = 0.0;
      for (std::size_t j = 0; j < n_all; ++j) v += as(r, j) * arows(c, j);
      pc.moments.sigma(r, c) = v;
    }
  }
  const Mat& f = *p.factor;
  Mat af(n, f.cols);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < f.cols; ++c) {
      double v = 0.0;
      for (std::size_t j = 0; j < n_all; ++j) v += arows(r, j) * f(j, c);
      af(r, c) = v;
    }
  }
  pc.options.alpha = p.alpha;
  if (p.hybrid) {
    pc.options.kappa = kKappaShare * p.alpha;
    pc.options.lf_cv =
        least_favourable_cv(pc.moments, af, pc.options.kappa, kLfDraws, kLfSeed, stream, budget);
  } else {
    pc.options.kappa = 0.0;
    pc.options.lf_cv = std::numeric_limits<double>::infinity();
  }
  return pc;
}

bool accepts(const Piece& pc, double theta, LpBudget& budget) {
  Vec y(pc.w.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = pc.w[i] - pc.a[i] * theta;
  return !hybrid_rejects(pc.moments, y, pc.options, budget);
}

// The accepted index range of one piece, if any.
std::optional<std::pair<std::size_t, std::size_t>> search(
    std::size_t n, bool scan_all, const std::function<bool(std::size_t)>& test) {
  if (scan_all) {
    std::optional<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t i = 0; i < n; ++i) {
      if (!test(i)) continue;
      if (!out) out = {i, i};
      out->second = i;
    }
    return out;
  }
  const std::size_t mid = n / 2;
  std::optional<std::size_t> seed;
  if (test(mid)) {
    seed = mid;
  } else {
    for (std::size_t off = 1; off < n; ++off) {
      if (off <= mid && test(mid - off)) {
        seed = mid - off;
        break;
      }
      if (mid + off < n && test(mid + off)) {
        seed = mid + off;
        break;
      }
      if (off > mid && mid + off >= n) break;
    }
  }
  if (!seed) return std::nullopt;
  std::size_t lb = 0;
  if (*seed == 0 || !test(0)) {
    std::size_t lo = 0;
    std::size_t hi = *seed;
    while (lo < hi) {
      const std::size_t m = (lo + hi) / 2;
      if (test(m)) {
        hi = m;
      } else {
        lo = m + 1;
      }
    }
    lb = lo;
  }
  std::size_t ub = n - 1;
  if (*seed == n - 1 || !test(n - 1)) {
    std::size_t lo = *seed;
    std::size_t hi = n - 1;
    while (lo < hi) {
      const std::size_t m = (lo + hi + 1) / 2;
      if (test(m)) {
        lo = m;
      } else {
        hi = m - 1;
      }
    }
    ub = lo;
  }
  return std::pair{lb, ub};
}

}  // namespace

Mat rm_constraints(std::size_t n_pre, std::size_t n_post, double mbar, long s, bool positive) {
  const std::size_t total = n_pre + n_post + 1;
  const std::size_t nd = n_pre + n_post;
  // The difference (s - 1, s) in event time, at columns n_pre + s - 1 and
  // n_pre + s with the reference period at column n_pre.
  const auto at = static_cast<std::size_t>(static_cast<long>(n_pre) + s - 1);
  const double sign = positive ? 1.0 : -1.0;
  Vec v(total, 0.0);
  v[at] = -sign;
  v[at + 1] = sign;
  Mat full(2 * nd, total);
  for (std::size_t r = 0; r < nd; ++r) {
    const double scale = r < n_pre ? 1.0 : mbar;
    for (std::size_t j = 0; j < total; ++j) {
      double diff = 0.0;
      if (j == r) diff = -1.0;
      if (j == r + 1) diff = 1.0;
      full(r, j) = diff - scale * v[j];
      full(nd + r, j) = -diff - scale * v[j];
    }
  }
  std::vector<std::size_t> keep;
  for (std::size_t r = 0; r < 2 * nd; ++r) {
    bool zero = true;
    for (std::size_t j = 0; j < total; ++j) zero = zero && std::abs(full(r, j)) <= kZeroRow;
    if (!zero) keep.push_back(r);
  }
  Mat a(keep.size(), nd);
  for (std::size_t r = 0; r < keep.size(); ++r) {
    for (std::size_t j = 0, c = 0; j < total; ++j) {
      if (j == n_pre) continue;
      a(r, c++) = full(keep[r], j);
    }
  }
  return a;
}

std::vector<double> rm_grid(const RmProblem& p, double mbar) {
  const std::size_t k = p.n_pre;
  const std::size_t t = p.l.size();
  const Mat& s = *p.sigma;
  double var = 0.0;
  double centre = 0.0;
  double reach = 0.0;
  for (std::size_t i = 0; i < t; ++i) {
    for (std::size_t j = 0; j < t; ++j) var += p.l[i] * s(k + i, k + j) * p.l[j];
    centre += p.betahat[k + i] * p.l[i];
    reach += static_cast<double>(i + 1) * std::abs(p.l[i]);
  }
  double max_pre = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    const double next = i + 1 < k ? p.betahat[i + 1] : 0.0;
    max_pre = std::max(max_pre, std::abs(next - p.betahat[i]));
  }
  const double half = mbar * reach * max_pre + 20.0 * std::sqrt(var);
  const double lb = centre - half;
  const double ub = centre + half;
  const std::size_t n = p.grid_points;
  std::vector<double> grid(n);
  const double step = n > 1 ? (ub - lb) / static_cast<double>(n - 1) : 0.0;
  for (std::size_t i = 0; i < n; ++i) grid[i] = static_cast<double>(i) * step + lb;
  if (n > 1) grid[n - 1] = ub;
  return grid;
}

GridInterval rm_confidence_set(const RmProblem& p, double mbar, LpBudget& budget) {
  const std::vector<double> grid = rm_grid(p, mbar);
  const std::size_t t = p.l.size();
  std::optional<std::pair<std::size_t, std::size_t>> hull;
  std::uint64_t stream = 0;
  for (long s = -static_cast<long>(p.n_pre) + 1; s <= 0; ++s) {
    for (const bool positive : {true, false}) {
      const Mat a = rm_constraints(p.n_pre, t, mbar, s, positive);
      const Piece pc = make_piece(p, a, budget, stream++);
      const auto found =
          search(grid.size(), t == 1, [&](std::size_t i) { return accepts(pc, grid[i], budget); });
      if (!found) continue;
      if (!hull) {
        hull = found;
      } else {
        hull->first = std::min(hull->first, found->first);
        hull->second = std::max(hull->second, found->second);
      }
    }
  }
  if (!hull) return {kNaN, kNaN};
  return {grid[hull->first], grid[hull->second]};
}

}  // namespace quintara::inference
