// SoftImpute with unit and period fixed effects: nuclear-norm penalised
// matrix completion of the cells a mask leaves unobserved.
//
// Each iteration refits the effects, fills the unobserved cells of the
// effect-free outcomes with the current low-rank part, and soft-thresholds
// the singular values of the result by lambda (an exact Golub-Kahan SVD
// that forms only the surviving components). With a rank cap the
// thresholding runs on a randomized truncated SVD, which is what keeps large
// panels affordable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>

#include "core/estimators/mcnnm/fixed_effects.hpp"
#include "core/linalg/matrix.hpp"
#include "core/linalg/soft_threshold.hpp"

namespace quintara::estimators::mcnnm {

struct McnnmOptions {
  std::optional<double> lambda;         // none: chosen on held-out cells
  std::optional<std::size_t> max_rank;  // set: randomized truncated thresholding
  std::size_t max_iter = 200;
  double tol = 1e-5;
  std::uint64_t seed = 0;  // the hold-out draw and the randomized SVD
  // The exact SVD without a rank cap (and for the penalty scale); Jacobi is
  // kept as the reference the tests compare the fast path with.
  linalg::ExactSvd exact_svd = linalg::ExactSvd::golub_kahan;
};

// At most options.max_iter thresholding steps from `start`, stopping once the
// relative change of L, sqrt(sum (L_new - L)^2 / sum L^2), falls below
// options.tol (the absolute change while L is zero) or the change is within
// rounding noise of the observed data; a last update_fe follows in every
// case. Non-convergence is not an error.
FitState soft_impute_fe(const linalg::Mat& Y, const Mask& mask, const McnnmOptions& options,
                        FitState start, double lambda);

// How the options scale with the outcome: lambda in its units (it is
// subtracted from singular values of the residual); max_iter, tol (a
// relative change), the rank cap and the seed are unitless.
struct Traits {
  using Options = McnnmOptions;
  static constexpr std::tuple<> kSquaredOptions{};
  static constexpr std::tuple kOutcomeOptions{&McnnmOptions::lambda};
};

}  // namespace quintara::estimators::mcnnm
