// The group-time cell of a panel with missing cells, taken as repeated
// cross-sections of the two periods t (post) and b (base):
//
//   ATT = (ybar_G,t - ybar_G,b) - mean over G's observations of x'(beta_t - beta_b)
//
// beta_s the weighted least-squares fit of the level on (1, x) over the
// comparison units observed at s, the last mean over every treated
// observation of either period. Each observation's influence (the treated
// means, the treated average of the fitted change, each period's regression)
// is summed into its unit, so a unit seen in both periods carries both terms.
// On a balanced panel this is the panel cell of callaway.cpp up to rounding.

#include "core/estimators/did/callaway_cells.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/lstsq.hpp"

namespace quintara::estimators::did::cells {

namespace {

using linalg::Mat;

std::vector<std::size_t> observed_at(const Mat& Y, std::span<const std::size_t> units,
                                     std::size_t period) {
  std::vector<std::size_t> out;
  for (const std::size_t i : units) {
    if (!std::isnan(Y(i, period))) out.push_back(i);
  }
  return out;
}

// The regressors (1, x), or the intercept alone when `X` is null.
struct Regressors {
  const Mat* X = nullptr;

  std::size_t cols() const { return X != nullptr ? X->cols + 1 : 1; }
  double at(std::size_t i, std::size_t k) const { return k == 0 ? 1.0 : (*X)(i, k - 1); }
  double dot(std::size_t i, std::span<const double> c) const {
    return X != nullptr ? dot_row(*X, i, c) : 0.0 + 1.0 * c[0];
  }
};

// One period's comparison fit: beta, u = A^-1 xbar_G with A the weighted
// mean of x x^T over the period's comparison observations (the estimation
// effect of beta on the treated average), and their total weight.
struct PeriodFit {
  std::vector<double> beta;
  std::vector<double> u;
  double weight = 0.0;
};

std::optional<PeriodFit> fit_period(const Mat& Y, const Regressors& R, const Sampling& s,
                                    std::span<const std::size_t> rows, std::size_t period,
                                    std::span<const double> xbar_g) {
  double total = 0.0;
  for (const std::size_t i : rows) total += s.weight_of(i);
  const std::size_t P = R.cols();
  if (P == 1) {  // the weighted mean, and A = 1
    double sum = 0.0;
    for (const std::size_t i : rows) sum += s.weight_of(i) * Y(i, period);
    return PeriodFit{{sum / total}, {1.0}, total};
  }
  Mat design(rows.size(), P);
  std::vector<double> y(rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double root = std::sqrt(s.weight_of(rows[r]));
    for (std::size_t k = 0; k < P; ++k) design(r, k) = root * R.at(rows[r], k);
    y[r] = root * Y(rows[r], period);
  }
  auto beta = linalg::ols(design, y);
  if (!beta) return std::nullopt;
  Mat A = linalg::syrk_ata(design);
  for (double& a : A.data) a = a / total;
  auto chol = linalg::Cholesky::new_ridge(A, kGramRidge);
  if (!chol) return std::nullopt;
  return PeriodFit{std::move(beta).value(), chol.value().solve_vec(xbar_g), total};
}

struct Rows {
  std::vector<std::size_t> g1, g0, c1, c0;  // G and C observed at t, at b
};

// The cell with regressors R; none when a comparison fit fails.
std::optional<GroupTimeAtt> fit_with(const Panel& panel, const Sampling& s, const Rows& rows,
                                     const Regressors& R, std::size_t t, std::size_t b) {
  const Mat& Y = panel.y;
  const double n = static_cast<double>(panel.n_units());
  const auto w = [&](std::size_t i) { return s.weight_of(i); };

  // Weighted mean of x over the treated observations of both periods.
  double w_g1 = 0.0, w_g0 = 0.0;
  for (const std::size_t i : rows.g1) w_g1 += w(i);
  for (const std::size_t i : rows.g0) w_g0 += w(i);
  const double w_g = w_g1 + w_g0;
  std::vector<double> xbar_g(R.cols(), 0.0);
  for (std::size_t k = 0; k < R.cols(); ++k) {
    double sum = 0.0;
    for (const std::size_t i : rows.g1) sum += w(i) * R.at(i, k);
    for (const std::size_t i : rows.g0) sum += w(i) * R.at(i, k);
    xbar_g[k] = sum / w_g;
  }
  const auto post = fit_period(Y, R, s, rows.c1, t, xbar_g);
  const auto base = fit_period(Y, R, s, rows.c0, b, xbar_g);
  if (!post || !base) return std::nullopt;

  const auto change = [&](std::size_t i) { return R.dot(i, post->beta) - R.dot(i, base->beta); };
  double sum_1 = 0.0, sum_0 = 0.0, sum_m = 0.0;
  for (const std::size_t i : rows.g1) sum_1 += w(i) * Y(i, t);
  for (const std::size_t i : rows.g0) sum_0 += w(i) * Y(i, b);
  for (const std::size_t i : rows.g1) sum_m += w(i) * change(i);
  for (const std::size_t i : rows.g0) sum_m += w(i) * change(i);
  const double eta_1 = sum_1 / w_g1, eta_0 = sum_0 / w_g0, eta_c = sum_m / w_g;

  const double p_g1 = w_g1 / n, p_g0 = w_g0 / n, p_g = w_g / n;
  const double p_c1 = post->weight / n, p_c0 = base->weight / n;
  std::vector<double> psi(panel.n_units(), 0.0);
  for (const std::size_t i : rows.g1) {
    psi[i] += w(i) * (Y(i, t) - eta_1) / p_g1 - w(i) * (change(i) - eta_c) / p_g;
  }
  for (const std::size_t i : rows.g0) {
    psi[i] += -w(i) * (Y(i, b) - eta_0) / p_g0 - w(i) * (change(i) - eta_c) / p_g;
  }
  for (const std::size_t j : rows.c1) {
    psi[j] -= w(j) * (Y(j, t) - R.dot(j, post->beta)) * R.dot(j, post->u) / p_c1;
  }
  for (const std::size_t j : rows.c0) {
    psi[j] += w(j) * (Y(j, b) - R.dot(j, base->beta)) * R.dot(j, base->u) / p_c0;
  }
  return GroupTimeAtt{std::move(psi), 0, t, 0, (eta_1 - eta_0) - eta_c, 0.0};
}

}  // namespace

std::optional<GroupTimeAtt> fit_repeated(const Panel& panel, const Sampling& sampling,
                                         std::span<const std::size_t> G,
                                         std::span<const std::size_t> C, std::size_t g,
                                         std::size_t t, std::size_t b) {
  const Mat& Y = panel.y;
  const Rows rows{observed_at(Y, G, t), observed_at(Y, G, b), observed_at(Y, C, t),
                  observed_at(Y, C, b)};
  if (rows.g1.empty() || rows.g0.empty() || rows.c1.empty() || rows.c0.empty()) {
    return std::nullopt;
  }
  // Covariates adjust the cell only when each period's comparison fit has
  // more observations than coefficients; otherwise, or when a fit fails, the
  // cell is the unadjusted difference of the four means.
  std::optional<GroupTimeAtt> cell;
  if (const Mat* X = panel.covariates ? &*panel.covariates : nullptr) {
    if (rows.c1.size() > X->cols + 1 && rows.c0.size() > X->cols + 1) {
      cell = fit_with(panel, sampling, rows, Regressors{X}, t, b);
    }
  }
  if (!cell) cell = fit_with(panel, sampling, rows, Regressors{}, t, b);
  cell->cohort = g;
  cell->event_time = static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g);
  return cell;
}

}  // namespace quintara::estimators::did::cells
