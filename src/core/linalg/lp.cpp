#include "core/linalg/lp.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/format.hpp"

namespace quintara::linalg {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// A reduced cost below -kCostTol improves; an entry above kPivotTol may pivot.
constexpr double kCostTol = 1e-9;
constexpr double kPivotTol = 1e-9;
// Phase one's residual infeasibility relative to the largest right-hand side.
constexpr double kFeasTol = 1e-8;

// How an original variable is written in the non-negative standard-form
// columns: x = offset + sign * z[col] (- z[col + 1] when split).
struct VarMap {
  double offset = 0.0;
  double sign = 1.0;
  std::size_t col = 0;
  bool split = false;
};

// The standard form min c'z, A z = b, z >= 0, b >= 0, as a row-major tableau
// with one column per structural, slack and artificial variable and the
// right-hand side last; the objective row is kept apart.
struct Tableau {
  std::size_t m = 0;
  std::size_t n = 0;               // columns before the right-hand side
  std::size_t n_real = 0;          // structural and slack columns; artificials follow
  std::vector<double> t;           // m x (n + 1)
  std::vector<double> cost;        // length n (phase two's costs)
  std::vector<std::size_t> basis;  // basic column of each row
  std::vector<double> d;           // reduced costs, length n + 1 (last: -objective)

  double& at(std::size_t i, std::size_t j) { return t[i * (n + 1) + j]; }
  double at(std::size_t i, std::size_t j) const { return t[i * (n + 1) + j]; }
  double rhs(std::size_t i) const { return at(i, n); }
};

void check_program(const LinearProgram& lp) {
  const std::size_t nv = lp.c.size();
  auto shape = [&](const Mat& a, const std::vector<double>& b, const char* name) {
    if (a.rows != b.size() || (a.rows > 0 && a.cols != nv)) {
      panic(format("linear program: {} is {}x{} with {} right-hand sides for {} variables", name,
                   a.rows, a.cols, b.size(), nv));
    }
    for (const double v : a.data) {
      if (!std::isfinite(v)) panic(format("linear program: non-finite entry in {}", name));
    }
    for (const double v : b) {
      if (!std::isfinite(v))
        panic(format("linear program: non-finite right-hand side of {}", name));
    }
  };
  shape(lp.a_ub, lp.b_ub, "a_ub");
  shape(lp.a_eq, lp.b_eq, "a_eq");
  if ((!lp.lower.empty() && lp.lower.size() != nv) ||
      (!lp.upper.empty() && lp.upper.size() != nv)) {
    panic("linear program: bounds do not match the variables");
  }
  for (std::size_t j = 0; j < nv; ++j) {
    const double lo = lp.lower.empty() ? 0.0 : lp.lower[j];
    const double hi = lp.upper.empty() ? kInf : lp.upper[j];
    if (!std::isfinite(lp.c[j]) || std::isnan(lo) || std::isnan(hi) || !(lo <= hi) || lo == kInf ||
        hi == -kInf) {
      panic(format("linear program: bad cost or bounds of variable {}", j));
    }
  }
}

// One row of the standard form before its slack or artificial is attached.
struct Row {
  std::vector<double> a;
  double b = 0.0;
  bool inequality = false;
};

std::vector<VarMap> map_variables(const LinearProgram& lp, std::size_t& n_struct,
                                  std::vector<Row>& bound_rows) {
  std::vector<VarMap> map(lp.c.size());
  n_struct = 0;
  for (std::size_t j = 0; j < lp.c.size(); ++j) {
    const double lo = lp.lower.empty() ? 0.0 : lp.lower[j];
    const double hi = lp.upper.empty() ? kInf : lp.upper[j];
    VarMap& v = map[j];
    v.col = n_struct;
    if (std::isfinite(lo)) {
      v.offset = lo;
      ++n_struct;
      if (std::isfinite(hi)) bound_rows.push_back({{static_cast<double>(v.col)}, hi - lo, true});
    } else if (std::isfinite(hi)) {
      v.offset = hi;
      v.sign = -1.0;
      ++n_struct;
    } else {
      v.split = true;
      n_struct += 2;
    }
  }
  return map;
}

// The program's rows in the standard-form columns, right-hand sides shifted by
// the offsets; bound rows hold their column index in a[0] until expanded here.
std::vector<Row> standard_rows(const LinearProgram& lp, const std::vector<VarMap>& map,
                               std::size_t n_struct, std::vector<Row> bound_rows) {
  std::vector<Row> rows;
  auto add = [&](const Mat& a, const std::vector<double>& b, bool inequality) {
    for (std::size_t i = 0; i < a.rows; ++i) {
      Row r{std::vector<double>(n_struct, 0.0), b[i], inequality};
      for (std::size_t j = 0; j < map.size(); ++j) {
        const double aij = a(i, j);
        if (aij == 0.0) continue;
        r.b -= aij * map[j].offset;
        r.a[map[j].col] += aij * map[j].sign;
        if (map[j].split) r.a[map[j].col + 1] -= aij;
      }
      rows.push_back(std::move(r));
    }
  };
  add(lp.a_ub, lp.b_ub, true);
  add(lp.a_eq, lp.b_eq, false);
  for (Row& br : bound_rows) {
    const auto col = static_cast<std::size_t>(br.a[0]);
    br.a.assign(n_struct, 0.0);
    br.a[col] = 1.0;
    rows.push_back(std::move(br));
  }
  return rows;
}

// Slack columns for the inequalities, then one artificial for each row whose
// slack cannot start basic (an equality, or an inequality negated to make its
// right-hand side non-negative).
Tableau build(const std::vector<Row>& rows, std::size_t n_struct, std::vector<double> costs) {
  Tableau tb;
  tb.m = rows.size();
  std::size_t n_slack = 0;
  std::size_t n_art = 0;
  for (const Row& r : rows) {
    if (r.inequality) ++n_slack;
    if (!r.inequality || r.b < 0.0) ++n_art;
  }
  tb.n_real = n_struct + n_slack;
  tb.n = tb.n_real + n_art;
  tb.t.assign(tb.m * (tb.n + 1), 0.0);
  tb.basis.assign(tb.m, 0);
  costs.resize(tb.n, 0.0);
  tb.cost = std::move(costs);
  std::size_t slack = n_struct;
  std::size_t art = tb.n_real;
  for (std::size_t i = 0; i < tb.m; ++i) {
    const Row& r = rows[i];
    const double s = r.b < 0.0 ? -1.0 : 1.0;
    for (std::size_t j = 0; j < n_struct; ++j) tb.at(i, j) = s * r.a[j];
    tb.at(i, tb.n) = s * r.b;
    if (r.inequality) {
      tb.at(i, slack) = s;
      if (s > 0.0) tb.basis[i] = slack;
      ++slack;
    }
    if (!r.inequality || s < 0.0) {
      tb.at(i, art) = 1.0;
      tb.basis[i] = art++;
    }
  }
  return tb;
}

void pivot(Tableau& tb, std::size_t r, std::size_t q) {
  const std::size_t w = tb.n + 1;
  const double p = tb.at(r, q);
  for (std::size_t j = 0; j < w; ++j) tb.at(r, j) /= p;
  tb.at(r, q) = 1.0;
  for (std::size_t i = 0; i < tb.m; ++i) {
    const double f = tb.at(i, q);
    if (i == r || f == 0.0) continue;
    for (std::size_t j = 0; j < w; ++j) tb.at(i, j) -= f * tb.at(r, j);
    tb.at(i, q) = 0.0;
  }
  const double f = tb.d[q];
  if (f != 0.0) {
    for (std::size_t j = 0; j < w; ++j) tb.d[j] -= f * tb.at(r, j);
    tb.d[q] = 0.0;
  }
  tb.basis[r] = q;
}

// Reduced costs of `cost` for the current basis.
void price(Tableau& tb, const std::vector<double>& cost) {
  tb.d.assign(tb.n + 1, 0.0);
  for (std::size_t j = 0; j < tb.n; ++j) tb.d[j] = cost[j];
  for (std::size_t i = 0; i < tb.m; ++i) {
    const double cb = cost[tb.basis[i]];
    if (cb == 0.0) continue;
    for (std::size_t j = 0; j <= tb.n; ++j) tb.d[j] -= cb * tb.at(i, j);
  }
}

// Simplex iterations over the columns below `n_enter`; returns optimal,
// unbounded or iteration_limit.
LpStatus iterate(Tableau& tb, std::size_t n_enter, std::size_t max_iter, std::size_t& iterations) {
  for (;;) {
    std::size_t q = n_enter;
    for (std::size_t j = 0; j < n_enter; ++j) {
      if (tb.d[j] < -kCostTol) {
        q = j;
        break;
      }
    }
    if (q == n_enter) return LpStatus::optimal;
    if (iterations >= max_iter) return LpStatus::iteration_limit;
    std::size_t r = tb.m;
    double best = kInf;
    for (std::size_t i = 0; i < tb.m; ++i) {
      const double a = tb.at(i, q);
      if (a <= kPivotTol) continue;
      const double ratio = std::max(tb.rhs(i), 0.0) / a;
      const double tie = 1e-12 * std::max(1.0, std::abs(best));
      if (r == tb.m || ratio < best - tie || (ratio <= best + tie && tb.basis[i] < tb.basis[r])) {
        if (r == tb.m || ratio < best - tie) best = ratio;
        r = i;
      }
    }
    if (r == tb.m) return LpStatus::unbounded;
    pivot(tb, r, q);
    ++iterations;
  }
}

// Pivots every artificial still basic (at level zero) out on a real column;
// a row with no such column is redundant and keeps its artificial at zero.
void drive_out_artificials(Tableau& tb) {
  for (std::size_t i = 0; i < tb.m; ++i) {
    if (tb.basis[i] < tb.n_real) continue;
    for (std::size_t j = 0; j < tb.n_real; ++j) {
      if (std::abs(tb.at(i, j)) > kPivotTol) {
        pivot(tb, i, j);
        break;
      }
    }
  }
}

std::vector<double> recover(const Tableau& tb, const std::vector<VarMap>& map) {
  std::vector<double> z(tb.n, 0.0);
  for (std::size_t i = 0; i < tb.m; ++i) z[tb.basis[i]] = tb.rhs(i);
  std::vector<double> x(map.size());
  for (std::size_t j = 0; j < map.size(); ++j) {
    const VarMap& v = map[j];
    x[j] = v.offset + v.sign * z[v.col];
    if (v.split) x[j] -= z[v.col + 1];
  }
  return x;
}

}  // namespace

const char* lp_status_name(LpStatus status) {
  switch (status) {
    case LpStatus::optimal: return "optimal";
    case LpStatus::infeasible: return "infeasible";
    case LpStatus::unbounded: return "unbounded";
    case LpStatus::iteration_limit: break;
  }
  return "iteration limit";
}

LpSolution solve_lp(const LinearProgram& lp, std::size_t max_iter) {
  check_program(lp);
  std::size_t n_struct = 0;
  std::vector<Row> bound_rows;
  const std::vector<VarMap> map = map_variables(lp, n_struct, bound_rows);
  const std::vector<Row> rows = standard_rows(lp, map, n_struct, std::move(bound_rows));
  std::vector<double> costs(n_struct, 0.0);
  for (std::size_t j = 0; j < map.size(); ++j) {
    costs[map[j].col] += lp.c[j] * map[j].sign;
    if (map[j].split) costs[map[j].col + 1] -= lp.c[j];
  }
  Tableau tb = build(rows, n_struct, std::move(costs));

  LpSolution out;
  if (tb.n > tb.n_real) {
    std::vector<double> phase_one(tb.n, 0.0);
    for (std::size_t j = tb.n_real; j < tb.n; ++j) phase_one[j] = 1.0;
    price(tb, phase_one);
    const LpStatus s = iterate(tb, tb.n, max_iter, out.iterations);
    if (s == LpStatus::iteration_limit) {
      out.status = s;
      return out;
    }
    double scale = 1.0;
    for (std::size_t i = 0; i < tb.m; ++i) scale = std::max(scale, std::abs(tb.rhs(i)));
    for (const Row& r : rows) scale = std::max(scale, std::abs(r.b));
    if (-tb.d[tb.n] > kFeasTol * scale) {
      out.status = LpStatus::infeasible;
      return out;
    }
    drive_out_artificials(tb);
  }
  price(tb, tb.cost);
  out.status = iterate(tb, tb.n_real, max_iter, out.iterations);
  if (out.status != LpStatus::optimal) return out;
  out.x = recover(tb, map);
  out.objective = 0.0;
  for (std::size_t j = 0; j < out.x.size(); ++j) out.objective += lp.c[j] * out.x[j];
  return out;
}

}  // namespace quintara::linalg
