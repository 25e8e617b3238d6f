// The nuclear-norm penalty of an MC-NNM fit when none is given.
//
// The scale is the largest singular value sigma of what the fixed effects
// leave over. Ten penalties from sigma/2 down to sigma/100, evenly spaced on
// the log scale, are fitted in turn (each warm-started from the last) on the
// observed cells minus a random fifth held out, and the penalty with the
// smallest held-out squared error wins. The held-out cells come from one
// seeded stream, one uniform per observed cell in storage order, so a seed
// always gives the same split and the same penalty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/estimators/mcnnm/fixed_effects.hpp"
#include "core/estimators/mcnnm/softimpute.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::mcnnm {

// The penalty used when the residual scale is 0 (an exactly additive
// panel): the smallest positive normal float64.
inline constexpr double kTinyLambda = 2.2250738585072014e-308;

// sigma/2, (sigma/2) q^(k/9) for k = 1..8, q (sigma/2); q = (0.01 sigma) /
// (sigma/2).
std::array<double, 10> lambda_grid(double sigma);

struct HoldOut {
  Mask train;                      // the observed mask minus the held-out cells
  std::vector<std::size_t> cells;  // held-out storage positions, ascending
};

// Each observed cell is held out when its uniform draw is below 0.2;
// unobserved cells draw nothing.
HoldOut hold_out(const Mask& mask, std::uint64_t seed);

// options.lambda when given (no draws); else kTinyLambda when sigma <= 0;
// else the hold-out choice on the grid of sigma, the sixth grid value when
// nothing was held out. `sigma` is sigma_max_fe_residual(Y, mask).
double choose_lambda(const linalg::Mat& Y, const Mask& mask, const McnnmOptions& options,
                     double sigma);

}  // namespace quintara::estimators::mcnnm
