#include "core/estimators/did/sunab.hpp"

#include "core/estimators/did/sunab_design.hpp"
#include "core/estimators/within.hpp"
#include "core/linalg/kernels.hpp"

// The regression is the one on the dense design of within-transformed cell
// indicators (sunab_dense.cpp), solved without forming that design. On a
// balanced panel the two-way within transformation is an orthogonal
// projection M, so with the raw indicators D:
//   X'X = D'MD, closed form in the cohort sizes (below);
//   X'y = D'(My), sums of the within-transformed outcome by cell;
//   the residual is My - M(D beta), D beta being beta of each unit's cell;
//   unit i's score is f(k_i) (.) v_i taken at each cell's period, with
//   v_i = u_i - mean(u_i) and f(k)_p = [cohort of p is k] - n_{g_p}/N, so the
//   meat is a sum over cohorts (and the never treated) of those f's times
//   the cohort's T x T sum of v_i v_i'.
// Memory is O(N*T + P^2), time O(N*T^2 + G*P^2 + P^3) for G cohorts. The
// sums are ordered differently from the dense solve's, so results agree
// with it to rounding, not bit for bit.
namespace quintara::estimators::did::sunab {

using linalg::Mat;

SaResult fit(const Panel& full) {
  const Design d(full);
  const Panel& panel = d.sample();
  const std::size_t n = panel.n_units(), t_len = panel.n_periods();
  const std::size_t n_cells = d.cells.size(), n_groups = d.cohorts.size() + 1;
  const double n_d = static_cast<double>(n), t_d = static_cast<double>(t_len);

  std::vector<std::size_t> cell_t(n_cells), cell_k(n_cells);
  for (std::size_t p = 0; p < n_cells; ++p) {
    cell_t[p] = d.cells[p].t();
    cell_k[p] = d.cell_cohort(p);
  }

  // D'MD(p, q) = D_p'D_q - D_p'(unit means of D_q) - D_p'(period means of
  // D_q) + D_p'(grand mean of D_q).
  Mat gram(n_cells, n_cells);
  for (std::size_t q = 0; q < n_cells; ++q) {
    const double nq = d.cohort_units[cell_k[q]];
    for (std::size_t p = 0; p < n_cells; ++p) {
      const double np = d.cohort_units[cell_k[p]];
      double v = np * nq / (n_d * t_d);
      if (cell_t[p] == cell_t[q]) v -= np * nq / n_d;
      if (cell_k[p] == cell_k[q]) v -= np / t_d;
      if (p == q) v += np;
      gram(p, q) = v;
    }
  }

  const Mat yz = two_way_within(panel.y);
  std::vector<double> xty(n_cells, 0.0);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = d.unit_cohort[i];
      if (k < d.cohorts.size() && t + 1 != d.cohorts[k]) xty[d.cell(k, t)] += yz(i, t);
    }
  }
  // One factorisation serves the bread and the coefficients: the ridge's
  // pull on beta (relative 1e-10 / smallest eigenvalue) is removed by one
  // step of refinement against the unridged Gram.
  const linalg::Cholesky bread = bread_factor(gram);
  std::vector<double> beta = bread.solve_vec(xty);
  {
    const std::vector<double> g_beta = linalg::matvec(gram, beta);
    std::vector<double> r(n_cells);
    for (std::size_t p = 0; p < n_cells; ++p) r[p] = xty[p] - g_beta[p];
    const std::vector<double> step = bread.solve_vec(r);
    for (std::size_t p = 0; p < n_cells; ++p) beta[p] += step[p];
  }

  // Residual u = My - M(D beta), then v_i = u_i minus its unit mean.
  Mat fitted(n, t_len);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = d.unit_cohort[i];
      if (k < d.cohorts.size() && t + 1 != d.cohorts[k]) fitted(i, t) = beta[d.cell(k, t)];
    }
  }
  Mat v = two_way_within(fitted);
  for (std::size_t r = 0; r < v.data.size(); ++r) v.data[r] = yz.data[r] - v.data[r];
  const std::vector<double> u_mean = unit_means(v);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) v(i, t) -= u_mean[i];
  }

  // Per group h (cohorts, then the never treated): sum over its units of
  // v_i v_i', from its rows gathered in unit order.
  std::vector<std::vector<std::size_t>> members(n_groups);
  for (std::size_t i = 0; i < n; ++i) members[d.unit_cohort[i]].push_back(i);
  Mat meat(n_cells, n_cells);
  std::vector<double> f(n_cells);
  for (std::size_t h = 0; h < n_groups; ++h) {
    if (members[h].empty()) continue;
    Mat rows(members[h].size(), t_len);
    for (std::size_t t = 0; t < t_len; ++t) {
      for (std::size_t r = 0; r < members[h].size(); ++r) rows(r, t) = v(members[h][r], t);
    }
    const Mat vv = linalg::syrk_ata(rows);
    for (std::size_t p = 0; p < n_cells; ++p) {
      f[p] = (cell_k[p] == h ? 1.0 : 0.0) - d.cohort_units[cell_k[p]] / n_d;
    }
    for (std::size_t q = 0; q < n_cells; ++q) {
      for (std::size_t p = 0; p < n_cells; ++p) {
        meat(p, q) += f[p] * f[q] * vv(cell_t[p], cell_t[q]);
      }
    }
  }
  return summarize(d, beta, bread, meat);
}

}  // namespace quintara::estimators::did::sunab
