#include "core/linalg/active_set.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/linalg/factor_columns.hpp"
#include "core/linalg/octet.hpp"
#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

namespace {

constexpr double kKktRel = 1e-12;
// Rounding of one gradient entry is at most about n eps times the scale;
// the tolerance keeps this multiple of it above that.
constexpr double kRoundingTerms = 8.0;
// A pivot squared at or below this share of the tolerance counts as no
// curvature; below half of it the zero-curvature step is sure to descend.
constexpr double kPivotShare = 0.25;
// With a ridge the minimiser's support is typically wide (SDID's unit
// weights): up to kBatch coordinates beside the worst one enter per step,
// those whose multipliers are wrong by at least kBatchShare of the worst.
// Without a ridge supports are narrow and single entries are cheaper.
constexpr std::size_t kBatch = 16;
constexpr double kBatchShare = 0.5;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

// kOut: left out of the problem (a keep mask), at zero weight throughout.
enum class Hold : char { kLower, kUpper, kFree, kOut };

class ActiveSet {
 public:
  ActiveSet(GramColumns& G, std::span<const double> b, double lambda, double lo, double hi,
            QpPath path, std::span<const unsigned char> keep)
      : G_(G), b_(b), lambda_(lambda), n_(b.size()), n_in_(kept_count(keep, b.size())), lo_(lo),
        hi_(hi), upper_binds_(hi < 1.0), fast_(path == QpPath::kFast), keep_(keep) {
    double s = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      if (out(i)) continue;
      s = std::fmax(s, std::fabs(h_diag(i)));
      s = std::fmax(s, std::fabs(b_[i]));
    }
    scale_ = s;
    tol_ = kkt_tolerance(s, n_in_);
    pivot_floor_ = kPivotShare * tol_;
  }

  // The cheapest start: coordinates ordered by their vertex objective
  // 1/2 H_ii - b_i (ties by index), every one at lo, the remaining mass
  // poured in that order up to hi. The last coordinate poured into is free.
  void start() {
    std::vector<std::size_t> order;
    order.reserve(n_in_);
    for (std::size_t i = 0; i < n_; ++i) {
      if (!out(i)) order.push_back(i);
    }
    std::vector<double> key(n_);
    for (std::size_t i = 0; i < n_; ++i) key[i] = 0.5 * h_diag(i) - b_[i];
    const auto before = [&](std::size_t a, std::size_t c) {
      return key[a] < key[c] || (key[a] == key[c] && a < c);
    };
    double remaining = 1.0 - static_cast<double>(n_in_) * lo_;
    const double room = hi_ - lo_;
    // When the first coordinate takes all the mass (the plain simplex) the
    // order past it is never read: its first member is all the sort gives.
    if (room >= remaining) {
      std::iter_swap(order.begin(), std::min_element(order.begin(), order.end(), before));
    } else {
      std::sort(order.begin(), order.end(), before);
    }
    reset_holds();
    std::size_t last = order[0];
    for (const std::size_t i : order) {
      if (remaining <= 0.0) break;
      const double add = std::fmin(remaining, room);
      w_[i] = w_[i] + add;
      remaining = remaining - add;
      if (upper_binds_) hold_[i] = Hold::kUpper;
      last = i;
    }
    hold_[last] = Hold::kFree;
    free_.assign(1, last);
    full_gradient();
  }

  // Begins at w0 when it lies in the box and sums to 1 (to 1e-9): the
  // coordinates strictly inside the box are free, the others held at their
  // bound; the largest weight is the first free one (the sum constraint's
  // pivot) and absorbs the sum's rounding. False, changing nothing that
  // start() does not reset, for any other w0.
  bool start_at(std::span<const double> w0) {
    if (w0.size() != n_) return false;
    double sum = 0.0;
    std::size_t big = n_;
    for (std::size_t i = 0; i < n_; ++i) {
      if (out(i)) {
        if (w0[i] != 0.0) return false;
        continue;
      }
      if (!(w0[i] >= lo_ && w0[i] <= hi_)) return false;
      sum += w0[i];
      if (big == n_ || w0[i] > w0[big]) big = i;
    }
    if (big == n_ || !(std::fabs(sum - 1.0) <= 1e-9)) return false;
    reset_holds();
    for (std::size_t i = 0; i < n_; ++i) {
      if (!out(i)) w_[i] = w0[i];
    }
    free_.assign(1, big);
    hold_[big] = Hold::kFree;
    for (std::size_t i = 0; i < n_; ++i) {
      if (i == big || out(i)) continue;
      if (w_[i] <= lo_) {
        w_[i] = lo_;
      } else if (upper_binds_ && w_[i] >= hi_) {
        w_[i] = hi_;
        hold_[i] = Hold::kUpper;
      } else {
        hold_[i] = Hold::kFree;
        free_.push_back(i);
      }
    }
    double rest = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      if (i != big) rest += w_[i];
    }
    w_[big] = std::clamp(1.0 - rest, lo_, upper_binds_ ? hi_ : kInf);
    if (free_.size() > 1) chol_ = std::make_unique_for_overwrite<double[]>(n_ * n_);
    rows_ = 0;
    full_gradient();
    return true;
  }

  SimplexSolution run(std::span<const double> w0 = {}) {
    if (w0.empty() || !start_at(w0)) start();
    const std::size_t cap = 8 * n_in_ + 64;
    bool factored = false, stationary = false, fresh = true;
    for (std::size_t it = 0; it < cap; ++it) {
      if (!factored) {
        const std::size_t bad = refactor();
        if (bad != 0) {
          zero_curvature_step(bad);
          stationary = fresh = false;
          continue;
        }
        factored = true;
      }
      if (!stationary) {
        if (newton_step()) {
          factored = false;
        } else {
          stationary = true;
        }
        fresh = false;
        continue;
      }
      const auto [j, violation] = most_violating();
      if (violation <= tol_) {
        if (fresh) return finished(it, violation);
        // Confirm on a gradient free of the updates' rounding.
        full_gradient();
        fresh = true;
        stationary = free_spread() <= tol_;
        continue;
      }
      enter(j);
      if (!append_row(free_.size() - 1)) {
        zero_curvature_step(free_.size() - 1);
        factored = false;
      } else if (lambda_ > 0.0) {
        enter_batch(violation);
      }
      stationary = fresh = false;
    }
    return fallback(cap);
  }

 private:
  // The answer at a passed KKT test, with its separation: the held
  // multipliers' least (the worst of the violations most_violating has
  // just formed, negated) and the factor's least pivot squared, unless
  // some free coordinate is not in the factor.
  SimplexSolution finished(std::size_t it, double violation) {
    SimplexSolution out{{}, it, std::fmax(violation, free_spread())};
    double worst = -kInf;
    for (std::size_t i = 0; i < n_; ++i) worst = std::fmax(worst, viol_[i]);
    out.held_room = -worst / tol_;
    out.pivot_room = std::numeric_limits<double>::infinity();
    if (rows_ + 1 != free_.size()) {
      out.pivot_room = 0.0;
    } else {
      for (std::size_t r = 0; r < rows_; ++r) {
        const double d = chol_col(r)[r];
        out.pivot_room = std::fmin(out.pivot_room, d * d / scale_);
      }
    }
    out.weights = std::move(w_);
    return out;
  }

  // Whether coordinate i is left out by the keep mask.
  bool out(std::size_t i) const { return !keep_.empty() && keep_[i] == 0; }

  static std::size_t kept_count(std::span<const unsigned char> keep, std::size_t n) {
    if (keep.empty()) return n;
    return static_cast<std::size_t>(
        std::count_if(keep.begin(), keep.end(), [](unsigned char k) { return k != 0; }));
  }

  // Every kept coordinate at lo and held there, every other at zero, out.
  void reset_holds() {
    w_.assign(n_, lo_);
    hold_.assign(n_, Hold::kLower);
    for (std::size_t i = 0; i < n_; ++i) {
      if (out(i)) {
        w_[i] = 0.0;
        hold_[i] = Hold::kOut;
      }
    }
  }

  void enter(std::size_t j) {
    if (!chol_) chol_ = std::make_unique_for_overwrite<double[]>(n_ * n_);
    hold_[j] = Hold::kFree;
    free_.push_back(j);
  }

  // Other held coordinates whose multiplier is wrong by at least a share of
  // the worst enter with it, in index order, so that one Newton step serves
  // several entries; one that would leave the free block without curvature
  // stays out, and the batch ends there. Their rows are factored together
  // (refactor), as appending them one by one would factor them.
  void enter_batch(double worst) {
    const double mean = free_mean();
    const std::size_t first = free_.size();
    Hold was[kBatch];
    for (std::size_t i = 0; i < n_ && free_.size() - first < kBatch; ++i) {
      const double v = violation(i, mean);
      if (!(v > tol_ && v >= kBatchShare * worst)) continue;
      was[free_.size() - first] = hold_[i];
      enter(i);
    }
    const std::size_t bad = refactor();
    if (bad == 0) return;
    for (std::size_t a = bad; a < free_.size(); ++a) hold_[free_[a]] = was[a - first];
    free_.resize(bad);
  }

  double h(std::size_t i, std::size_t j) const {
    const double v = G_.col(j)[i];
    return i == j ? v + lambda_ : v;
  }
  double h_diag(std::size_t i) const { return G_.diag(i) + lambda_; }

  // G w + lambda w - b from scratch, with grad()'s operations (columns of
  // zero weight skipped), reading only the columns of weighted coordinates.
  void full_gradient() {
    g_.assign(n_, 0.0);
    cols_.clear();
    steps_.clear();
    for (std::size_t j = 0; j < n_; ++j) {
      const double t = w_[j] * 1.0;
      if (t == 0.0) continue;
      cols_.push_back(G_.col(j));
      steps_.push_back(t);
    }
    axpy_columns(g_.data(), cols_.data(), steps_.data(), cols_.size(), n_);
    for (std::size_t i = 0; i < n_; ++i) g_[i] = g_[i] + (w_[i] * lambda_ - b_[i]);
  }

  // Reduced Hessian entry for free positions a, c >= 1 (position 0 absorbs
  // the sum constraint).
  double reduced(std::size_t a, std::size_t c) const {
    const std::size_t i = free_[a], j = free_[c], k = free_[0];
    return ((h(i, j) - h(i, k)) - h(k, j)) + h(k, k);
  }

  // The factor is stored by columns (column s at chol_ + s * n_), so both
  // the column sweeps of the forward solves and the dot products of the
  // back solve run down contiguous memory.
  double& chol(std::size_t q, std::size_t s) { return chol_[s * n_ + q]; }
  const double* chol_col(std::size_t s) const { return chol_.get() + s * n_; }

  // Forward solve L y = z over the first q rows, in place, by columns: each
  // entry still subtracts its terms in index order and is then divided by
  // its pivot, as the row-by-row recurrence does, but the entries below a
  // solved one update together, which vectorises.
  void forward_solve(double* z, std::size_t q, double* sum_sq) const {
    linalg::forward_solve(chol_.get(), n_, q, z, sum_sq);
  }

  // Appends free position a (rows 1 .. a-1 factored) to the Cholesky factor
  // of the reduced Hessian; false, with the forward-solved row left in
  // row_, when its pivot carries no curvature.
  bool append_row(std::size_t a) {
    const std::size_t q = a - 1;
    row_.resize(q);
    double piv = reduced(a, a);
    for (std::size_t s = 0; s < q; ++s) row_[s] = reduced(a, s + 1);
    forward_solve(row_.data(), q, &piv);
    if (!(piv > pivot_floor_)) return false;
    for (std::size_t s = 0; s < q; ++s) chol(q, s) = row_[s];
    chol(q, q) = std::sqrt(piv);
    rows_ = a;
    return true;
  }

  // Factors the reduced Hessian of the whole free set; 0 when it succeeds,
  // else the free position whose pivot failed (its row, forward-solved, in
  // row_). Rows of positions before the last removal depend only on the
  // positions before them and are kept. The reference path's right-looking
  // panels and the fast path's left-looking blocks give the same bits but
  // for the fast path's products by the pivot's reciprocal.
  std::size_t refactor() {
    const std::size_t q = free_.size() - 1, r0 = rows_;
    if (r0 >= q) return 0;
    fill_reduced(q, r0);
    double* L = chol_.get();
    const std::size_t bad = fast_ ? factor_blocked(L, n_, q, r0, pivot_floor_)
                                  : factor_panels(L, n_, q, r0, pivot_floor_, false);
    if (bad == 0) {
      rows_ = q;
      return 0;
    }
    const std::size_t k = bad - 1;
    rows_ = k;
    row_.resize(k);
    for (std::size_t j = 0; j < k; ++j) row_[j] = chol(k, j);
    return bad;
  }

  // Rows r0 .. q-1 of the reduced Hessian into the factor's storage, entry
  // for entry reduced()'s value, a column at a time: the pivot's column and
  // entry are read once, each column of G once. The diagonal entry, the one
  // with the ridge, goes first, so the rows below gather without a branch.
  void fill_reduced(std::size_t q, std::size_t r0) {
    const std::size_t k = free_[0];
    const double* __restrict gk = G_.col(k);
    const double hkk = h(k, k);
    const std::size_t* __restrict rows = free_.data();
    // The pivot's column at the free rows, gathered once for every column.
    pivot_col_.resize(q + 1);
    double* __restrict gkf = pivot_col_.data();
    for (std::size_t a = std::min(r0 + 1, q + 1); a <= q; ++a) gkf[a] = gk[rows[a]];
    for (std::size_t c = 1; c <= q; ++c) {
      const std::size_t j = free_[c];
      const double* __restrict gj = G_.col(j);
      const double hkj = gj[k];
      double* __restrict out = chol_.get() + (c - 1) * n_;
      std::size_t a = std::max(c, r0 + 1);
      if (a == c) {
        out[c - 1] = (((gj[j] + lambda_) - gkf[c]) - hkj) + hkk;
        ++a;
      }
      for (; a <= q; ++a) out[a - 1] = ((gj[rows[a]] - gkf[a]) - hkj) + hkk;
    }
  }

  // Solves (L L^T) z = rhs over the first q reduced rows, in place.
  void chol_solve(std::vector<double>& z, std::size_t q, bool forward) {
    if (forward) forward_solve(z.data(), q, nullptr);
    if (fast_) {
      back_solve(chol_.get(), n_, q, z.data());
      return;
    }
    for (std::size_t s = q; s-- > 0;) {
      const double* col = chol_col(s);
      double v = z[s];
      for (std::size_t k = s + 1; k < q; ++k) v -= col[k] * z[k];
      z[s] = v / col[s];
    }
  }

  // Direction over the free positions from reduced coordinates z (positions
  // 1 .. z.size()); position 0 takes minus their sum.
  void direction_from_reduced(const std::vector<double>& z) {
    p_.assign(free_.size(), 0.0);
    double sum = 0.0;
    for (std::size_t s = 0; s < z.size(); ++s) {
      p_[s + 1] = z[s];
      sum += z[s];
    }
    p_[0] = -sum;
  }

  // Newton step on the free set, cut at the first bound; true when a bound
  // blocked it (the blocking coordinate has then left the free set).
  bool newton_step() {
    const std::size_t m = free_.size();
    if (m < 2) return false;
    z_.resize(m - 1);
    const double g0 = g_[free_[0]];
    for (std::size_t s = 0; s + 1 < m; ++s) z_[s] = -(g_[free_[s + 1]] - g0);
    chol_solve(z_, m - 1, true);
    direction_from_reduced(z_);
    const auto [alpha, blocker] = ratio_test();
    if (alpha >= 1.0) {
      move(1.0);
      return false;
    }
    move(alpha);
    drop(blocker);
    return true;
  }

  // At free position a the reduced Hessian has no curvature left: along the
  // null direction (-R^{-1} c, 1) the objective is linear, so the step runs
  // downhill to the first bound, whose coordinate leaves the free set.
  void zero_curvature_step(std::size_t a) {
    const std::size_t q = a - 1;
    z_.assign(row_.begin(), row_.end());
    chol_solve(z_, q, false);
    for (double& v : z_) v = -v;
    z_.push_back(1.0);
    direction_from_reduced(z_);
    double slope = 0.0;
    for (std::size_t s = 0; s < p_.size(); ++s) slope += p_[s] * g_[free_[s]];
    if (slope > 0.0) {
      for (double& v : p_) v = -v;
    }
    const auto [alpha, blocker] = ratio_test();
    move(alpha);
    drop(blocker);
  }

  // Largest step along p_ keeping the free coordinates in the box, and the
  // free position that blocks it (lowest coordinate index on ties).
  std::pair<double, std::size_t> ratio_test() const {
    double best = kInf;
    std::size_t at = 0;
    for (std::size_t s = 0; s < free_.size(); ++s) {
      const double d = p_[s], v = w_[free_[s]];
      double r;
      if (d < 0.0) {
        r = (v - lo_) / -d;
      } else if (d > 0.0 && upper_binds_) {
        r = (hi_ - v) / d;
      } else {
        continue;
      }
      r = std::fmax(r, 0.0);
      if (r < best || (r == best && free_[s] < free_[at])) {
        best = r;
        at = s;
      }
    }
    return {best, at};
  }

  // The gradient takes each moved column's update and then, on that
  // coordinate's own entry, its ridge term, in free order: the columns go
  // four at a time (axpy_columns), and the own entries of a group's four,
  // whose ridge terms fall between its columns, are redone in that order.
  void move(double alpha) {
    cols_.clear();
    steps_.clear();
    moved_.clear();
    for (std::size_t s = 0; s < free_.size(); ++s) {
      const double d = alpha * p_[s];
      if (d == 0.0) continue;
      const std::size_t i = free_[s];
      w_[i] = std::clamp(w_[i] + d, lo_, upper_binds_ ? hi_ : kInf);
      cols_.push_back(G_.col(i));
      steps_.push_back(d);
      moved_.push_back(i);
    }
    const std::size_t m = moved_.size();
    for (std::size_t c0 = 0; c0 < m; c0 += 4) {
      const std::size_t c1 = std::min(c0 + 4, m);
      double own[4];
      for (std::size_t a = c0; a < c1; ++a) own[a - c0] = g_[moved_[a]];
      axpy_columns(g_.data(), cols_.data() + c0, steps_.data() + c0, c1 - c0, n_);
      for (std::size_t a = c0; a < c1; ++a) {
        const std::size_t i = moved_[a];
        double v = own[a - c0];
        for (std::size_t c = c0; c < c1; ++c) {
          v = v + cols_[c][i] * steps_[c];
          if (c == a) v = v + lambda_ * steps_[c];
        }
        g_[i] = v;
      }
    }
  }

  // The leaving pivot (position 0) changes every reduced entry, so the
  // factor is redone; another factored row is deleted from it (fast path)
  // or re-factored with the rows after it (reference path).
  void drop(std::size_t s) {
    if (s == 0) {
      rows_ = 0;
    } else if (s - 1 < rows_) {
      if (fast_) {
        remove_row(chol_.get(), n_, rows_, s - 1);
        rows_ = rows_ - 1;
      } else {
        rows_ = s - 1;
      }
    }
    const std::size_t i = free_[s];
    const bool up = p_[s] > 0.0;
    w_[i] = up ? hi_ : lo_;
    hold_[i] = up ? Hold::kUpper : Hold::kLower;
    free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(s));
  }

  double free_mean() const {
    double s = 0.0;
    for (const std::size_t i : free_) s += g_[i];
    return s / static_cast<double>(free_.size());
  }

  double free_spread() const {
    const double mean = free_mean();
    double worst = 0.0;
    for (const std::size_t i : free_) worst = std::fmax(worst, std::fabs(g_[i] - mean));
    return worst;
  }

  // By how much held coordinate i's multiplier has the wrong sign (> 0: it
  // should enter); -inf for a free coordinate, which no test selects.
  double violation(std::size_t i, double mean) const {
    if (hold_[i] == Hold::kLower) return mean - g_[i];
    if (hold_[i] == Hold::kUpper) return g_[i] - mean;
    return -std::numeric_limits<double>::infinity();
  }

  // The held coordinate whose multiplier has the wrong sign by the most, and
  // by how much (<= 0 when none).
  // violation()'s values go to a scratch row by selects, not branches (the
  // holds follow no pattern a predictor learns), their maximum is taken
  // eight lanes at a time, and the first coordinate reaching it is found
  // after: the same coordinate as a scan keeping the first strict maximum,
  // as a maximum is exact in any order.
  std::pair<std::size_t, double> most_violating() {
    const double mean = free_mean();
    viol_.resize(n_);
    const Hold* __restrict hold = hold_.data();
    const double* __restrict g = g_.data();
    double* __restrict v = viol_.data();
    for (std::size_t i = 0; i < n_; ++i) {
      const double d = mean - g[i];
      v[i] = hold[i] == Hold::kLower ? d : (hold[i] == Hold::kUpper ? -d : -kInf);
    }
    Octet top = Octet{} - kInf;
    std::size_t i = 0;
    for (; i + kOctetLanes <= n_; i += kOctetLanes) {
      Octet x;
      std::memcpy(&x, v + i, sizeof x);
      top = x > top ? x : top;
    }
    double worst = 0.0;
    for (std::size_t l = 0; l < kOctetLanes; ++l) worst = top[l] > worst ? top[l] : worst;
    for (; i < n_; ++i) worst = v[i] > worst ? v[i] : worst;
    if (!(worst > 0.0)) return {0, 0.0};
    std::size_t at = 0;
    while (v[at] != worst) ++at;
    return {at, worst};
  }

  SimplexSolution fallback(std::size_t cap) {
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < n_; ++i) {
      if (!out(i)) kept.push_back(i);
    }
    const std::size_t m = kept.size();
    Mat G(m, m);
    std::vector<double> b(m), w(m);
    for (std::size_t c = 0; c < m; ++c) {
      const double* col = G_.col(kept[c]);
      for (std::size_t a = 0; a < m; ++a) G(a, c) = col[kept[a]];
      b[c] = b_[kept[c]];
      w[c] = w_[kept[c]];
    }
    const SimplexSolution other =
        solve_bounded(G, b, kBoundedMaxIter, lambda_, lo_, hi_, kBoundedTol);
    if (objective(G, b, other.weights, lambda_) < objective(G, b, w, lambda_)) {
      std::vector<double> full(n_, 0.0);
      for (std::size_t c = 0; c < m; ++c) full[kept[c]] = other.weights[c];
      return {std::move(full), other.iterations, other.gap};
    }
    return {std::move(w_), cap, kInf};
  }

  GramColumns& G_;
  std::span<const double> b_;
  double lambda_;
  std::size_t n_, n_in_;
  double lo_, hi_;
  bool upper_binds_;
  bool fast_;
  std::span<const unsigned char> keep_;
  double scale_ = 0.0, tol_ = 0.0, pivot_floor_ = 0.0;
  std::vector<double> w_, g_, row_, z_, p_, viol_, pivot_col_;
  // move()'s and full_gradient()'s columns and steps, and the moved
  // coordinates.
  std::vector<const double*> cols_;
  std::vector<double> steps_;
  std::vector<std::size_t> moved_;
  // Lower Cholesky factor of the reduced Hessian, rows_ rows valid (free
  // positions 1 .. rows_); allocated when a second coordinate enters.
  std::unique_ptr<double[]> chol_;
  std::size_t rows_ = 0;
  std::vector<Hold> hold_;
  std::vector<std::size_t> free_;
};

}  // namespace

double kkt_tolerance(double scale, std::size_t n) {
  const double s = std::fmax(scale, std::numeric_limits<double>::min());
  return s * (kKktRel + kRoundingTerms * static_cast<double>(n) * kEps);
}

// The factor updates and gradient sweeps dominate the solve.
QUINTARA_WIDE_CLONES SimplexSolution solve_simplex_qp(GramColumns& G, std::span<const double> b,
                                                      double lambda, double lo, double hi,
                                                      std::span<const double> start, QpPath path,
                                                      std::span<const unsigned char> keep) {
  const std::size_t n = b.size();
  const auto kept = [&](std::size_t i) { return keep.empty() || keep[i] != 0; };
  std::size_t m = 0;
  for (std::size_t i = 0; i < n; ++i) m += kept(i) ? 1 : 0;
  if (m == 0) return {std::vector<double>(n, 0.0), 0, 0.0};
  const double u = 1.0 / static_cast<double>(m);
  const auto uniform = [&]() {
    std::vector<double> w(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) w[i] = kept(i) ? u : 0.0;
    return SimplexSolution{std::move(w), 0, 0.0};
  };
  // The box made feasible as the projection makes it; it always holds 1/m.
  const double lo2 = std::fmin(u, std::fmax(0.0, lo));
  const double hi2 = std::fmin(1.0, std::fmax(u, hi));
  // A box pinned at 1/m leaves one feasible point.
  if (lo2 >= u || hi2 <= u) return uniform();
  // A Gram matrix with a zero diagonal is zero: with b = 0 every point is a
  // minimiser, and the one of least norm (the limit of a vanishing ridge) is
  // the uniform point. SDID meets this with one pre-period.
  bool flat = true;
  for (std::size_t i = 0; i < n && flat; ++i) {
    flat = !kept(i) || (G.diag(i) + lambda == 0.0 && b[i] == 0.0);
  }
  if (flat) return uniform();
  return ActiveSet(G, b, lambda, lo2, hi2, path, keep).run(start);
}

SimplexSolution solve_simplex_qp(GramColumns& G, std::span<const double> b, double lambda,
                                 double lo, double hi, std::span<const double> start) {
  return solve_simplex_qp(G, b, lambda, lo, hi, start, QpPath::kReference);
}

SimplexSolution solve_simplex_qp(GramColumns& G, std::span<const double> b, double lambda,
                                 double lo, double hi) {
  return solve_simplex_qp(G, b, lambda, lo, hi, {});
}

SimplexSolution solve_simplex_qp(const MatView& G, std::span<const double> b, double lambda,
                                 double lo, double hi) {
  GramColumns columns(G);
  return solve_simplex_qp(columns, b, lambda, lo, hi);
}

}  // namespace quintara::linalg
