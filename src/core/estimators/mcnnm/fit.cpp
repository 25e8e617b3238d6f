#include "core/estimators/mcnnm/fit.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "core/estimators/mcnnm/penalty.hpp"
#include "core/format.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::mcnnm {

namespace {

// Steps of the final warm-started path, sigma/2 to the chosen penalty.
constexpr std::size_t kPathSteps = 5;

// The final fit on every observed cell.
FitState final_fit(const linalg::Mat& Y, const Mask& mask, const McnnmOptions& options,
                   double sigma, double lambda) {
  FitState state = FitState::zeros(Y.rows, Y.cols);
  const double half = sigma / 2.0;
  if (!(sigma > 0.0 && half > lambda)) {
    return soft_impute_fe(Y, mask, options, std::move(state), lambda);
  }
  const double rho = lambda / half;
  for (std::size_t j = 0; j < kPathSteps; ++j) {
    const double step = half * std::pow(rho, static_cast<double>(j) / (kPathSteps - 1));
    state = soft_impute_fe(Y, mask, options, std::move(state), step);
  }
  return state;
}

}  // namespace

Mask observed_mask(const Panel& panel) {
  const std::size_t N = panel.n_units(), T = panel.n_periods();
  Mask mask(N * T, 1);
  for (std::size_t i = 0; i < N; ++i) {
    const auto& g = panel.treat_start[i];
    if (!g) continue;
    for (std::size_t t = *g; t < T; ++t) mask[i + t * N] = 0;
  }
  return mask;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const McnnmOptions& options) {
  const linalg::Mat& Y = panel.y;
  const std::size_t N = Y.rows, T = Y.cols;
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) panic("no treated units");
  if (t0 > T) panic(format("mcnnm: t0 {} > n_periods {}", t0, T));

  const Mask mask = observed_mask(panel);
  // One scale serves the penalty grid and the final path: both are taken on
  // the full observed mask.
  const double sigma = sigma_max_fe_residual(Y, mask, options.exact_svd);
  const double lambda = choose_lambda(Y, mask, options, sigma);
  const FitState state = final_fit(Y, mask, options, sigma, lambda);

  const auto fitted = [&](std::size_t i, std::size_t t) {
    return (state.L.data[i + t * N] + state.alpha[i]) + state.beta[t];
  };
  const std::size_t P = T - t0;
  const double inv_n = 1.0 / static_cast<double>(treated.size());
  ScFit fit;
  fit.att_path.resize(P);
  fit.counterfactual.resize(P);
  fit.treated_post.resize(P);
  for (std::size_t s = 0; s < P; ++s) {
    const std::size_t t = t0 + s;
    double f = 0.0, y = 0.0, gap = 0.0;
    for (const std::size_t i : treated) {
      const double fi = fitted(i, t), yi = Y.data[i + t * N];
      f += fi;
      y += yi;
      gap += yi - fi;
    }
    fit.counterfactual[s] = f * inv_n;
    fit.treated_post[s] = y * inv_n;
    fit.att_path[s] = gap * inv_n;
  }
  const double n_post = static_cast<double>(P > 0 ? P : 1);
  double sum = 0.0;
  for (const double a : fit.att_path) sum += a;
  fit.att = sum / n_post;

  // The completed treated rows before the treatment, averaged as after it.
  fit.synthetic_pre.resize(t0);
  for (std::size_t t = 0; t < t0; ++t) {
    double f = 0.0;
    for (const std::size_t i : treated) f += fitted(i, t);
    fit.synthetic_pre[t] = f * inv_n;
  }

  double sq = 0.0;
  for (const std::size_t i : treated) {
    for (std::size_t t = 0; t < t0; ++t) {
      const double e = Y.data[i + t * N] - fitted(i, t);
      sq += e * e;
    }
  }
  const std::size_t n_pre = treated.size() * t0;
  fit.pre_rmspe = n_pre == 0 ? 0.0 : std::sqrt(sq / static_cast<double>(n_pre));

  // The spread of the post-period gaps around their mean, not their size.
  double spread = 0.0;
  for (const double a : fit.att_path) spread += (a - fit.att) * (a - fit.att);
  fit.post_rmspe = std::sqrt(spread / n_post);
  return fit;
}

}  // namespace quintara::estimators::mcnnm
