#include "core/estimators/did/sunab.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "core/estimators/within.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/qr.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::did::sunab {

using linalg::Mat;

namespace {

// Ridge of the bread (X'X + kBreadRidge I)^-1: it keeps the factor defined
// when a cell's within-transformed indicator is nearly collinear.
constexpr double kBreadRidge = 1e-10;

struct Cell {
  std::size_t g;
  std::int64_t e;
};

// The panel without its always-treated units, rows kept in order; nullopt
// when there is none to drop (the caller then uses the panel as given).
std::optional<Panel> drop_always_treated(const Panel& panel) {
  std::vector<std::size_t> keep;
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    if (panel.treat_start[i] != std::optional<std::size_t>(0)) keep.push_back(i);
  }
  if (keep.size() == panel.n_units()) return std::nullopt;
  const std::size_t t_len = panel.n_periods();
  Mat y(keep.size(), t_len);
  std::vector<std::optional<std::size_t>> start;
  start.reserve(keep.size());
  for (std::size_t k = 0; k < keep.size(); ++k) {
    for (std::size_t t = 0; t < t_len; ++t) y(k, t) = panel.y(keep[k], t);
    start.push_back(panel.treat_start[keep[k]]);
  }
  return Panel::make(std::move(y), std::move(start));
}

// Weighted sum a.beta and its standard error sqrt(max(a' V a, 0)).
AggEffect aggregate(std::int64_t key, const std::vector<double>& a, const std::vector<double>& beta,
                    const Mat& V) {
  AggEffect out;
  out.key = key;
  double theta = 0.0;
  for (std::size_t p = 0; p < a.size(); ++p) theta += a[p] * beta[p];
  out.estimate = theta;
  const std::vector<double> va = linalg::matvec(V, a);
  out.se = std::sqrt(std::max(linalg::dot(a, va), 0.0));
  return out;
}

// Cohort-size weights over the cells selected by `in`; empty when they carry
// no units.
template <class Pred>
std::vector<double> cell_weights(const std::vector<Cell>& cells,
                                 const std::vector<double>& cohort_size, Pred in) {
  double w = 0.0;
  for (std::size_t p = 0; p < cells.size(); ++p) {
    if (in(cells[p])) w += cohort_size[p];
  }
  if (!(w > 0.0)) return {};
  std::vector<double> a(cells.size(), 0.0);
  for (std::size_t p = 0; p < cells.size(); ++p) {
    if (in(cells[p])) a[p] = cohort_size[p] / w;
  }
  return a;
}

}  // namespace

SaResult fit(const Panel& full) {
  const std::optional<Panel> reduced = drop_always_treated(full);
  const Panel& panel = reduced ? *reduced : full;
  QUINTARA_ASSERT(!panel.never_treated_units().empty(),
                  "Sun\xE2\x80\x93"
                  "Abraham (this variant) uses never-treated units as the reference");
  const std::size_t n = panel.n_units(), t_len = panel.n_periods(), rows = n * t_len;

  std::vector<std::size_t> cohorts = panel.cohorts();
  std::erase(cohorts, std::size_t{0});

  // Every observable relative period of every cohort gets its own cell,
  // except the reference period -1; cells in (g, e) order.
  std::vector<Cell> cells;
  for (const std::size_t g : cohorts) {
    const auto gi = static_cast<std::int64_t>(g);
    for (std::int64_t e = -gi; e <= static_cast<std::int64_t>(t_len) - 1 - gi; ++e) {
      if (e != -1) cells.push_back({g, e});
    }
  }
  const std::size_t n_cells = cells.size();

  std::vector<double> cohort_size(n_cells, 0.0);  // n_g of each cell's cohort
  for (std::size_t p = 0; p < n_cells; ++p) {
    std::size_t count = 0;
    for (const auto& s : panel.treat_start) count += (s == cells[p].g) ? 1 : 0;
    cohort_size[p] = static_cast<double>(count);
  }

  // Design: column p is the within-transformed indicator of cell p, rows in
  // storage order (unit i, period t at i + t*N), like the response.
  Mat X(rows, n_cells);
  for (std::size_t p = 0; p < n_cells; ++p) {
    Mat d(n, t_len);
    const auto t = static_cast<std::size_t>(static_cast<std::int64_t>(cells[p].g) + cells[p].e);
    for (std::size_t i = 0; i < n; ++i) {
      if (panel.treat_start[i] == cells[p].g) d(i, t) = 1.0;
    }
    const Mat z = two_way_within(d);
    std::copy(z.data.begin(), z.data.end(), X.data.begin() + p * rows);
  }
  const Mat yz = two_way_within(panel.y);

  const linalg::Qr qr = linalg::Qr::make(X).expect("SA design QR");
  const std::vector<double> beta = qr.solve_lstsq(yz.data);
  const std::vector<double> fitted = linalg::matvec(X, beta);
  std::vector<double> u(rows);
  for (std::size_t r = 0; r < rows; ++r) u[r] = yz.data[r] - fitted[r];

  // Bread, column by column.
  const linalg::Cholesky chol =
      linalg::Cholesky::new_ridge(linalg::syrk_ata(X), kBreadRidge).expect("XtX SPD");
  Mat bread(n_cells, n_cells);
  std::vector<double> unit(n_cells, 0.0);
  for (std::size_t j = 0; j < n_cells; ++j) {
    unit[j] = 1.0;
    const std::vector<double> col = chol.solve_vec(unit);
    std::copy(col.begin(), col.end(), bread.data.begin() + j * n_cells);
    unit[j] = 0.0;
  }

  // Unit scores S(i, p) = sum over t ascending of u(i, t) X(i + tN, p); the
  // loops run unit-contiguous, each entry still summing its periods in order.
  Mat scores(n, n_cells);
  for (std::size_t p = 0; p < n_cells; ++p) {
    double* s = scores.data.data() + p * n;
    const double* xp = X.data.data() + p * rows;
    for (std::size_t t = 0; t < t_len; ++t) {
      for (std::size_t i = 0; i < n; ++i) {
        const double ui = u[i + t * n];
        if (ui != 0.0) s[i] += ui * xp[i + t * n];
      }
    }
  }
  // Meat: sum over units ascending of s_i s_i^T, which is S^T S.
  const Mat meat = linalg::syrk_ata(scores);
  Mat bm(n_cells, n_cells), cov(n_cells, n_cells);
  linalg::gemm(bread, meat, bm, 1.0, 0.0);
  linalg::gemm(bm, bread, cov, 1.0, 0.0);

  SaResult out;
  std::vector<std::int64_t> periods;
  for (const Cell& c : cells) periods.push_back(c.e);
  std::sort(periods.begin(), periods.end());
  periods.erase(std::unique(periods.begin(), periods.end()), periods.end());
  for (const std::int64_t e : periods) {
    const auto a = cell_weights(cells, cohort_size, [e](const Cell& c) { return c.e == e; });
    if (!a.empty()) out.event.push_back(aggregate(e, a, beta, cov));
  }
  const auto a = cell_weights(cells, cohort_size, [](const Cell& c) { return c.e >= 0; });
  if (!a.empty()) {
    const AggEffect overall = aggregate(0, a, beta, cov);
    out.att = overall.estimate;
    out.se = overall.se;
  }
  return out;
}

}  // namespace quintara::estimators::did::sunab
