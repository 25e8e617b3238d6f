// The balanced group-time cell under sampling weights: the unweighted cell of
// callaway.cpp with every mean a weighted mean, the outcome regression a
// weighted least-squares fit, and each unit's influence scaled by its weight.

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

// sum of w_i value(i) over the listed units, and sum of w_i.
template <class F>
std::pair<double, double> weighted_sum(std::span<const std::size_t> units, const Sampling& s,
                                       F&& value) {
  double sw = 0.0, total = 0.0;
  for (const std::size_t i : units) {
    sw += s.weight[i] * value(i);
    total += s.weight[i];
  }
  return {sw, total};
}

}  // namespace

GroupTimeAtt fit_weighted(const Panel& panel, const Sampling& sampling,
                          std::span<const std::size_t> G, std::span<const std::size_t> C,
                          std::size_t g, std::size_t t, std::size_t b) {
  const std::size_t N = panel.n_units();
  const double n = static_cast<double>(N);
  const Mat& Y = panel.y;
  const Mat* X = panel.covariates ? &*panel.covariates : nullptr;
  const std::vector<double>& w = sampling.weight;

  std::vector<double> resid(N, 0.0);  // dY - m(x), filled on G and C
  for (const std::size_t i : G) resid[i] = Y(i, t) - Y(i, b);
  for (const std::size_t j : C) resid[j] = Y(j, t) - Y(j, b);

  // Weighted least squares as OLS on rows scaled by sqrt(w); the scaled
  // design also gives the weighted Gram matrix of the estimation effect.
  std::optional<std::vector<double>> beta;
  Mat design;
  if (X != nullptr && C.size() > X->cols + 1) {
    const std::size_t K = X->cols;
    design = Mat(C.size(), K + 1);
    std::vector<double> dy(C.size());
    for (std::size_t r = 0; r < C.size(); ++r) {
      const double root = std::sqrt(w[C[r]]);
      design(r, 0) = root;
      for (std::size_t k = 0; k < K; ++k) design(r, k + 1) = root * (*X)(C[r], k);
      dy[r] = root * resid[C[r]];
    }
    auto fit = linalg::ols(design, dy);
    if (fit) beta = std::move(fit).value();
  }
  if (beta) {
    for (const std::size_t i : G) resid[i] = resid[i] - dot_row(*X, i, *beta);
    for (const std::size_t j : C) resid[j] = resid[j] - dot_row(*X, j, *beta);
  }

  const auto [sum_g, w_g] = weighted_sum(G, sampling, [&](std::size_t i) { return resid[i]; });
  const auto [sum_c, w_c] = weighted_sum(C, sampling, [&](std::size_t j) { return resid[j]; });
  const double mu_g = sum_g / w_g;
  const double mu_c = sum_c / w_c;
  const double p_g = w_g / n;
  const double p_c = w_c / n;

  std::vector<double> psi(N, 0.0);
  for (const std::size_t i : G) psi[i] = w[i] * (resid[i] - mu_g) / p_g;
  for (const std::size_t j : C) psi[j] = -w[j] * (resid[j] - mu_c) / p_c;

  // Estimation effect of beta: A = weighted mean of x_j x_j^T over C, v =
  // difference of the weighted treated and comparison covariate means.
  if (beta) {
    const std::size_t K = X->cols;
    Mat A = linalg::syrk_ata(design);
    for (double& a : A.data) a = a / w_c;
    std::vector<double> v(K + 1, 0.0);
    for (std::size_t k = 0; k < K; ++k) {
      const double xg = weighted_sum(G, sampling, [&](std::size_t i) { return (*X)(i, k); }).first;
      const double xc = weighted_sum(C, sampling, [&](std::size_t j) { return (*X)(j, k); }).first;
      v[k + 1] = xg / w_g - xc / w_c;
    }
    auto chol = linalg::Cholesky::new_ridge(A, kGramRidge);
    if (chol) {
      const std::vector<double> u = chol.value().solve_vec(v);
      for (const std::size_t j : C) psi[j] = psi[j] - w[j] * dot_row(*X, j, u) * resid[j] / p_c;
    }
  }

  const auto e = static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g);
  return GroupTimeAtt{std::move(psi), g, t, e, mu_g - mu_c, 0.0};
}

}  // namespace quintara::estimators::did::cells
