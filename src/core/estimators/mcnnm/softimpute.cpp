#include "core/estimators/mcnnm/softimpute.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/linalg/soft_threshold.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::mcnnm {

namespace {

// Rounding units of the data's norm below which a step of L is noise.
constexpr double kNoiseUnits = 64.0;

}  // namespace

FitState soft_impute_fe(const linalg::Mat& Y, const Mask& mask, const McnnmOptions& options,
                        FitState state, double lambda) {
  const std::size_t N = Y.rows, T = Y.cols;
  QUINTARA_ASSERT_EQ(mask.size(), N * T, "soft_impute_fe: mask size");
  // A step within a few rounding units of the observed data is noise: with a
  // vanishing penalty L follows the rounding residue of Y - alpha - beta
  // (a constant panel with a trend, say), whose relative change never falls
  // below tol, and only the iteration budget would end the loop.
  double y_sq = 0.0;
  for (std::size_t p = 0; p < N * T; ++p) {
    if (mask[p]) y_sq += Y.data[p] * Y.data[p];
  }
  const double noise = kNoiseUnits * std::numeric_limits<double>::epsilon() * std::sqrt(y_sq);
  // Z, the next L and the SVD's storage live across the iterations: fresh
  // panel-sized buffers every step would have the allocator map and unmap
  // their pages each time, a cost on the order of the SVD's own.
  linalg::Mat Z(N, T), next(N, T);
  linalg::SvtWorkspace work;
  for (std::size_t iter = 0; iter < options.max_iter; ++iter) {
    update_fe(Y, mask, state);
    // Observed cells net of the effects; unobserved ones take the current
    // low-rank value, so thresholding only ever fits the observed data.
    for (std::size_t t = 0; t < T; ++t) {
      const double b = state.beta[t];
      for (std::size_t i = 0; i < N; ++i) {
        const std::size_t p = i + t * N;
        Z.data[p] = observed_or((Y.data[p] - state.alpha[i]) - b, state.L.data[p], mask[p]);
      }
    }
    // The same seed at every iteration: the test matrix of the randomized
    // SVD stays fixed, so the iteration map itself does not change.
    if (options.max_rank) {
      next = linalg::svt_truncated(Z, *options.max_rank, options.seed, lambda).x;
    } else if (options.exact_svd == linalg::ExactSvd::golub_kahan) {
      linalg::svt_into(Z, lambda, work, next);
    } else {
      next = linalg::svt(Z, lambda, options.exact_svd).x;
    }
    double d = 0.0, s = 0.0;
    for (std::size_t p = 0; p < N * T; ++p) {
      const double diff = next.data[p] - state.L.data[p];
      d += diff * diff;
      s += state.L.data[p] * state.L.data[p];
    }
    std::swap(state.L, next);
    if ((s > 0.0 && std::sqrt(d / s) < options.tol) || (s == 0.0 && std::sqrt(d) < options.tol) ||
        std::sqrt(d) <= noise) {
      break;
    }
  }
  update_fe(Y, mask, state);
  return state;
}

}  // namespace quintara::estimators::mcnnm
