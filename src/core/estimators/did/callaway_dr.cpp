// The balanced group-time cell by inverse probability weighting (ipw) or
// doubly robust (dr) estimation, as DRDID's std_ipw_did_panel and
// drdid_panel, which R did's att_gt runs for those methods on panel data.
//
// On the cell's sample S = G u C (n1 units, D = 1 on G), with x = (1, X) and
// sampling weights iw (relative to their mean; each formula below is
// unchanged by rescaling them):
//
//   ps      weighted logit of D on x over S; without covariates the weighted
//           share of G. Capped at 1 - 1e-6; comparison units with ps >= 0.995
//           are trimmed (weight 0), as DRDID trims them.
//   w_t     iw on G;  w_c = iw ps / (1 - ps) on the untrimmed units of C
//   r       dY (ipw), or dY - x'beta with beta the weighted least-squares fit
//           of dY on x over C (dr)
//   ATT     eta_t - eta_c, eta_t = sum w_t r / W_t, eta_c = sum w_c r / W_c
//
// Influence (this file's scale: SE = sqrt(sum psi^2) / N, DRDID's function
// times N / n1):
//
//   psi_i = N [ w_t,i (r_i - eta_t) / W_t - (w_c,i (r_i - eta_c) + s_i . u) / W_c
//               - iw_i (1 - D_i) r_i x_i . v ]
//
// s_i = iw_i (D_i - ps_i) x_i the logit score, u = H^-1 sum_C w_c (r - eta_c) x
// with H = sum_S iw ps (1 - ps) x x^T (the propensity score's estimation
// effect), and for dr v = (sum_C iw x x^T)^-1 (xbar_t - xbar_c), the w_t- and
// w_c-weighted covariate means (the regression's estimation effect; v = 0
// for ipw).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/estimators/did/callaway_cells.hpp"
#include "core/format.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/logit.hpp"
#include "core/linalg/lstsq.hpp"

namespace quintara::estimators::did::cells {

namespace {

using linalg::Mat;

// DRDID's bounds: fitted scores are capped below 1, comparison units at or
// above the trimming level weigh nothing, and a cell whose fitted score
// reaches the overlap bound is not estimated (R did's overlap check).
constexpr double kPscoreCap = 1.0 - 1e-6;
constexpr double kTrimLevel = 0.995;
constexpr double kOverlapBound = 0.999;

constexpr const char* kSingularScore =
    "the propensity score's information matrix is singular on the covariates (collinear or "
    "constant within the cell)";

// The cell's rows (G, then C, each ascending) with their design (1, X),
// sampling weights, treatment indicator and outcome change.
struct CellRows {
  std::size_t nG = 0, n1 = 0, P = 0;
  std::vector<std::size_t> unit;
  Mat x;  // (1, X) on the cell's rows
  std::vector<double> iw, D, r;

  double row_dot(std::size_t k, std::span<const double> coef) const {
    double s = 0.0;
    for (std::size_t c = 0; c < P; ++c) s += x(k, c) * coef[c];
    return s;
  }
};

// Raises the cell's CellFitError with a reason.
struct Fail {
  std::size_t g, t, b;
  [[noreturn]] void operator()(const std::string& why) const { throw CellFitError(g, t, b, why); }
};

CellRows cell_rows(const Panel& panel, const Sampling& sampling, std::span<const std::size_t> G,
                   std::span<const std::size_t> C, std::size_t t, std::size_t b) {
  const Mat& Y = panel.y;
  const Mat* X = panel.covariates ? &*panel.covariates : nullptr;
  const std::size_t K = X != nullptr ? X->cols : 0;
  CellRows cell;
  cell.nG = G.size();
  cell.n1 = cell.nG + C.size();
  cell.P = K + 1;
  const std::size_t n1 = cell.n1;
  cell.x = Mat(n1, cell.P);
  cell.unit.resize(n1);
  std::copy(G.begin(), G.end(), cell.unit.begin());
  std::copy(C.begin(), C.end(), cell.unit.begin() + static_cast<std::ptrdiff_t>(cell.nG));
  cell.iw.resize(n1);
  cell.D.assign(n1, 0.0);
  cell.r.resize(n1);
  for (std::size_t k = 0; k < n1; ++k) {
    const std::size_t i = cell.unit[k];
    cell.x(k, 0) = 1.0;
    for (std::size_t c = 0; c < K; ++c) cell.x(k, c + 1) = (*X)(i, c);
    cell.iw[k] = sampling.weight_of(i);
    if (k < cell.nG) cell.D[k] = 1.0;
    cell.r[k] = Y(i, t) - Y(i, b);
  }
  return cell;
}

// The propensity score of being in G, before the cap; refused where the
// overlap condition fails.
std::vector<double> propensity(const CellRows& cell, const Fail& fail) {
  std::vector<double> ps(cell.n1);
  if (cell.P == 1) {
    double wg = 0.0, wc = 0.0;
    for (std::size_t k = 0; k < cell.nG; ++k) wg += cell.iw[k];
    for (std::size_t k = cell.nG; k < cell.n1; ++k) wc += cell.iw[k];
    std::fill(ps.begin(), ps.end(), wg / (wg + wc));
  } else {
    linalg::LogitFit fit = linalg::logit(cell.x, cell.D, cell.iw);
    if (fit.status == linalg::LogitStatus::Singular) {
      fail(kSingularScore);
    }
    if (fit.status == linalg::LogitStatus::Separated) {
      fail(
          "the covariates separate the cohort from its comparison units (fitted propensity "
          "scores run to 0 and 1: the overlap condition fails)");
    }
    if (fit.status == linalg::LogitStatus::NotConverged) {
      fail(format("the propensity score on the covariates did not converge in {} Newton steps",
                  fit.iterations));
    }
    ps = std::move(fit.prob);
  }
  const double ps_max = *std::max_element(ps.begin(), ps.end());
  if (!(ps_max < kOverlapBound)) {
    fail(
        format("the fitted propensity score reaches {:.6} (at least {}: the overlap condition "
               "fails)",
               ps_max, kOverlapBound));
  }
  return ps;
}

// w_t and w_c with their totals; caps ps in place.
struct CellWeights {
  std::vector<double> wt, wc;
  double Wt = 0.0, Wc = 0.0;
};

CellWeights cell_weights(const CellRows& cell, std::vector<double>& ps, const Fail& fail) {
  CellWeights w{std::vector<double>(cell.n1, 0.0), std::vector<double>(cell.n1, 0.0)};
  for (std::size_t k = 0; k < cell.n1; ++k) {
    ps[k] = std::min(ps[k], kPscoreCap);
    if (k < cell.nG) {
      w.wt[k] = cell.iw[k];
    } else if (ps[k] < kTrimLevel) {
      w.wc[k] = cell.iw[k] * ps[k] / (1.0 - ps[k]);
    }
  }
  for (std::size_t k = 0; k < cell.nG; ++k) w.Wt += w.wt[k];
  for (std::size_t k = cell.nG; k < cell.n1; ++k) w.Wc += w.wc[k];
  if (!(w.Wc > 0.0)) {
    fail(format("every comparison unit has a propensity score of at least {} and is trimmed",
                kTrimLevel));
  }
  return w;
}

// dr: replaces r by the residual of the comparison units' weighted outcome
// regression and returns v, the regression's estimation effect.
std::vector<double> regression_adjust(CellRows& cell, const CellWeights& w, const Fail& fail) {
  const std::size_t nG = cell.nG, n1 = cell.n1, P = cell.P, nC = n1 - nG;
  Mat design(nC, P);
  std::vector<double> dy(nC);
  for (std::size_t j = 0; j < nC; ++j) {
    const double root = std::sqrt(cell.iw[nG + j]);
    for (std::size_t c = 0; c < P; ++c) design(j, c) = root * cell.x(nG + j, c);
    dy[j] = root * cell.r[nG + j];
  }
  const auto gram = linalg::factor_nonsingular(linalg::syrk_ata(design));
  std::optional<std::vector<double>> beta;
  if (nC >= P && gram) {
    if (auto fit = linalg::ols(design, dy)) beta = std::move(fit).value();
  }
  if (!beta) {
    fail(
        format("the comparison units' outcome regression on the covariates is singular ({} "
               "units for {} coefficients, or collinear covariates)",
               nC, P));
  }
  for (std::size_t k = 0; k < n1; ++k) cell.r[k] = cell.r[k] - cell.row_dot(k, *beta);
  std::vector<double> xbar(P, 0.0);  // xbar_t - xbar_c
  for (std::size_t c = 0; c < P; ++c) {
    double st = 0.0, sc = 0.0;
    for (std::size_t k = 0; k < nG; ++k) st += w.wt[k] * cell.x(k, c);
    for (std::size_t k = nG; k < n1; ++k) sc += w.wc[k] * cell.x(k, c);
    xbar[c] = st / w.Wt - sc / w.Wc;
  }
  return gram->solve_vec(xbar);
}

}  // namespace

GroupTimeAtt fit_propensity(const Panel& panel, const Sampling& sampling, EstMethod method,
                            std::span<const std::size_t> G, std::span<const std::size_t> C,
                            std::size_t g, std::size_t t, std::size_t b) {
  QUINTARA_ASSERT(method != EstMethod::Reg, "fit_propensity: reg has its own cells");
  const Fail fail{g, t, b};
  CellRows cell = cell_rows(panel, sampling, G, C, t, b);
  std::vector<double> ps = propensity(cell, fail);
  const CellWeights w = cell_weights(cell, ps, fail);
  const std::vector<double> v =
      method == EstMethod::Dr ? regression_adjust(cell, w, fail) : std::vector<double>(cell.P, 0.0);
  const std::size_t nG = cell.nG, n1 = cell.n1, P = cell.P;
  const std::vector<double>& iw = cell.iw;
  const std::vector<double>& r = cell.r;

  double sum_t = 0.0, sum_c = 0.0;
  for (std::size_t k = 0; k < nG; ++k) sum_t += w.wt[k] * r[k];
  for (std::size_t k = nG; k < n1; ++k) sum_c += w.wc[k] * r[k];
  const double eta_t = sum_t / w.Wt;
  const double eta_c = sum_c / w.Wc;

  // Estimation effect of the propensity score: u = H^-1 M2.
  std::vector<double> info_w(n1), m2(P, 0.0);
  for (std::size_t k = 0; k < n1; ++k) info_w[k] = iw[k] * ps[k] * (1.0 - ps[k]);
  for (std::size_t c = 0; c < P; ++c) {
    double s = 0.0;
    for (std::size_t k = nG; k < n1; ++k) s += w.wc[k] * (r[k] - eta_c) * cell.x(k, c);
    m2[c] = s;
  }
  const auto info = linalg::factor_nonsingular(linalg::weighted_gram(cell.x, info_w));
  if (!info) {
    fail(kSingularScore);
  }
  const std::vector<double> u = info->solve_vec(m2);

  const double n = static_cast<double>(panel.n_units());
  std::vector<double> psi(panel.n_units(), 0.0);
  for (std::size_t k = 0; k < n1; ++k) {
    const double score_u = iw[k] * (cell.D[k] - ps[k]) * cell.row_dot(k, u);
    double value = w.wt[k] * (r[k] - eta_t) / w.Wt - (w.wc[k] * (r[k] - eta_c) + score_u) / w.Wc;
    if (k >= nG) value = value - iw[k] * r[k] * cell.row_dot(k, v);
    psi[cell.unit[k]] = n * value;
  }

  const auto e = static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g);
  return GroupTimeAtt{std::move(psi), g, t, e, eta_t - eta_c, 0.0};
}

}  // namespace quintara::estimators::did::cells
