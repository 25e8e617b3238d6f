// The state of a SoftImpute fit and its fixed-effects half.
//
// The outcome matrix is modelled as a low-rank part L plus unit effects alpha
// and period effects beta, fitted to the observed cells only. With L held
// fixed, the effects are refitted by alternating means over the observed
// cells; the largest singular value of what the effects leave over sets the
// scale of the nuclear-norm penalty.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/linalg/matrix.hpp"
#include "core/linalg/soft_threshold.hpp"

namespace quintara::estimators::mcnnm {

// One flag per cell in storage order (cell (i, t) at i + t*N): 1 observed.
using Mask = std::vector<std::uint8_t>;

// x for an observed cell, +0.0 otherwise, by masking the bits: a select the
// compiler vectorises (a branch or ?: it keeps scalar, as x may trap), and
// x itself is computed either way, so a non-finite unobserved cell is
// harmless.
inline double observed_or_zero(double x, std::uint8_t observed) {
  const std::uint64_t keep = std::uint64_t{0} - std::uint64_t{observed != 0};
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & keep);
}

// x for an observed cell, otherwise the fallback y, bit for bit.
inline double observed_or(double x, double y, std::uint8_t observed) {
  const std::uint64_t keep = std::uint64_t{0} - std::uint64_t{observed != 0};
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & keep) |
                               (std::bit_cast<std::uint64_t>(y) & ~keep));
}

struct FitState {
  linalg::Mat L;              // N x T low-rank part
  std::vector<double> alpha;  // N unit effects
  std::vector<double> beta;   // T period effects

  static FitState zeros(std::size_t n_units, std::size_t n_periods);
};

// Three alternating sweeps, each alpha then beta, of the means of
// R = Y - L over the observed cells (alpha_i over unit i's periods net of
// beta, beta_t over period t's units net of alpha). A unit or period without
// observed cells keeps its effect. L is not changed.
void update_fe(const linalg::Mat& Y, const Mask& mask, FitState& state);

// Largest singular value of Y - alpha - beta on the observed cells (0
// elsewhere), with the effects fitted from zero by update_fe; 0 for an empty
// matrix.
double sigma_max_fe_residual(const linalg::Mat& Y, const Mask& mask,
                             linalg::ExactSvd method = linalg::ExactSvd::golub_kahan);

}  // namespace quintara::estimators::mcnnm
