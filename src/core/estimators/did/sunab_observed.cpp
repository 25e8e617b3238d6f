#include "core/estimators/did/sunab.hpp"
#include "core/estimators/did/sunab_design.hpp"
#include "core/estimators/observed_within.hpp"
#include "core/linalg/kernels.hpp"

// The saturated regression on the observed cells, by Frisch-Waugh-Lovell:
// every cell indicator and the outcome are replaced by their residuals on
// the unit and period effects (ObservedWithin, weighted), so with W the unit
// weights and M that weighted projection, X'WMX = X'W(MX) needs only each
// transformed column read at its own cell's observations, and the residual
// is My - M(X beta). The closed forms of the complete panel do not hold here,
// so each cell's column is transformed (twice: for the Gram, then for the
// scores) at O(N T) each, and nothing of size N T P is stored.
namespace quintara::estimators::did::sunab {

using linalg::Mat;

namespace {

// Indicator of cell p on the sample: 1 at its period for its cohort's units.
Mat cell_indicator(const Design& d, std::size_t p) {
  const Panel& panel = d.sample();
  Mat x(panel.n_units(), panel.n_periods());
  const std::size_t t = d.cells[p].t(), k = d.cell_cohort(p);
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    if (d.unit_cohort[i] == k) x(i, t) = 1.0;
  }
  return x;
}

// sum over cell p's observed units of w_i z(i, t_p).
double cell_sum(const Design& d, const ObservedWithin& within, const Sampling& s, std::size_t p,
                const Mat& z) {
  const std::size_t t = d.cells[p].t(), k = d.cell_cohort(p);
  double v = 0.0;
  for (std::size_t i = 0; i < z.rows; ++i) {
    if (d.unit_cohort[i] == k && within.observed(i, t)) v += s.weight_of(i) * z(i, t);
  }
  return v;
}

}  // namespace

SaResult fit_observed(const Panel& full, const Sampling& full_sampling) {
  Design d(full);
  const Panel& panel = d.sample();
  const Sampling s = full_sampling.subset(d.kept);
  const std::size_t n = panel.n_units(), t_len = panel.n_periods(), n_cells = d.cells.size();
  const ObservedWithin within(panel.y, s.weight);

  d.cell_mass.assign(n_cells, 0.0);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = d.unit_cohort[i];
      if (k < d.cohorts.size() && t + 1 != d.cohorts[k] && within.observed(i, t)) {
        d.cell_mass[d.cell(k, t)] += s.weight_of(i);
      }
    }
  }

  const Mat yz = within.residual(panel.y);
  Mat gram(n_cells, n_cells);
  std::vector<double> xty(n_cells);
  for (std::size_t q = 0; q < n_cells; ++q) {
    const Mat zq = within.residual(cell_indicator(d, q));
    for (std::size_t p = q; p < n_cells; ++p) gram(p, q) = cell_sum(d, within, s, p, zq);
    xty[q] = cell_sum(d, within, s, q, yz);
  }
  for (std::size_t q = 0; q < n_cells; ++q) {
    for (std::size_t p = 0; p < q; ++p) gram(p, q) = gram(q, p);
  }
  const linalg::Cholesky bread = bread_factor(gram);
  std::vector<double> beta = bread.solve_vec(xty);
  {
    const std::vector<double> g_beta = linalg::matvec(gram, beta);
    std::vector<double> r(n_cells);
    for (std::size_t p = 0; p < n_cells; ++p) r[p] = xty[p] - g_beta[p];
    const std::vector<double> step = bread.solve_vec(r);
    for (std::size_t p = 0; p < n_cells; ++p) beta[p] += step[p];
  }

  Mat fitted(n, t_len);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = d.unit_cohort[i];
      if (k < d.cohorts.size() && t + 1 != d.cohorts[k]) fitted(i, t) = beta[d.cell(k, t)];
    }
  }
  Mat u = within.residual(fitted);
  for (std::size_t r = 0; r < u.data.size(); ++r) u.data[r] = yz.data[r] - u.data[r];

  // Cluster scores: row c holds sum over its units of w_i sum_t z_p(i, t) u(i, t).
  Mat scores(s.clusters(n), n_cells);
  for (std::size_t p = 0; p < n_cells; ++p) {
    const Mat zp = within.residual(cell_indicator(d, p));
    std::vector<double> v(n, 0.0);
    for (std::size_t t = 0; t < t_len; ++t) {
      for (std::size_t i = 0; i < n; ++i) v[i] += zp(i, t) * u(i, t);
    }
    for (std::size_t i = 0; i < n; ++i) scores(s.cluster_of(i), p) += s.weight_of(i) * v[i];
  }
  SaResult out = summarize(d, beta, bread, linalg::syrk_ata(scores), &gram);
  out.n_clusters = s.clusters(n);
  out.n_observations = within.n_observed();
  return out;
}

}  // namespace quintara::estimators::did::sunab
