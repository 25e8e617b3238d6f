#include "core/estimators/did/sunab_dense.hpp"

#include <algorithm>

#include "core/estimators/did/sunab_design.hpp"
#include "core/estimators/within.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/qr.hpp"

namespace quintara::estimators::did::sunab {

using linalg::Mat;

SaResult fit_dense(const Panel& full) {
  const Design d(full);
  const Panel& panel = d.sample();
  const std::size_t n = panel.n_units(), t_len = panel.n_periods(), rows = n * t_len;
  const std::size_t n_cells = d.cells.size();

  // Column p is the within-transformed indicator of cell p, rows in storage
  // order (unit i, period t at i + t*N), like the response.
  Mat X(rows, n_cells);
  for (std::size_t p = 0; p < n_cells; ++p) {
    Mat ind(n, t_len);
    const std::size_t t = d.cells[p].t();
    for (std::size_t i = 0; i < n; ++i) {
      if (panel.treat_start[i] == d.cells[p].g) ind(i, t) = 1.0;
    }
    const Mat z = two_way_within(ind);
    std::copy(z.data.begin(), z.data.end(), X.data.begin() + p * rows);
  }
  const Mat yz = two_way_within(panel.y);

  const linalg::Qr qr = linalg::Qr::make(X).expect("SA design QR");
  const std::vector<double> beta = qr.solve_lstsq(yz.data);
  const std::vector<double> fitted = linalg::matvec(X, beta);
  std::vector<double> u(rows);
  for (std::size_t r = 0; r < rows; ++r) u[r] = yz.data[r] - fitted[r];

  // Unit scores S(i, p) = sum over t ascending of u(i, t) X(i + tN, p).
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
  return summarize(d, beta, bread_factor(linalg::syrk_ata(X)), linalg::syrk_ata(scores));
}

}  // namespace quintara::estimators::did::sunab
