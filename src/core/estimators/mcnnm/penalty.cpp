#include "core/estimators/mcnnm/penalty.hpp"

#include <cmath>
#include <utility>

#include "core/linalg/means.hpp"
#include "core/linalg/rng.hpp"

namespace quintara::estimators::mcnnm {

namespace {

constexpr double kHoldOutShare = 0.2;
// Grid index used when the draw held nothing out (a tiny panel): a middle
// penalty rather than either end.
constexpr std::size_t kFallbackIndex = 5;

// Mean squared error of the fitted values L + alpha + beta on the held-out
// cells, summed in storage order.
double validation_error(const linalg::Mat& Y, const FitState& state,
                        const std::vector<std::size_t>& cells) {
  const std::size_t N = Y.rows;
  return linalg::mean_div(cells.size(), [&](std::size_t k) {
    const std::size_t p = cells[k], i = p % N, t = p / N;
    const double e = Y.data[p] - ((state.L.data[p] + state.alpha[i]) + state.beta[t]);
    return e * e;
  });
}

}  // namespace

std::array<double, 10> lambda_grid(double sigma) {
  const double half = sigma / 2.0;
  const double q = (0.01 * sigma) / half;
  std::array<double, 10> grid{};
  grid[0] = half;
  for (std::size_t k = 1; k <= 8; ++k) {
    grid[k] = half * std::pow(q, static_cast<double>(k) / 9.0);
  }
  grid[9] = q * half;
  return grid;
}

HoldOut hold_out(const Mask& mask, std::uint64_t seed) {
  HoldOut h{mask, {}};
  linalg::Xoshiro256pp rng = linalg::Xoshiro256pp::make(seed);
  for (std::size_t p = 0; p < mask.size(); ++p) {
    if (!mask[p]) continue;
    if (rng.next_f64() < kHoldOutShare) {
      h.train[p] = 0;
      h.cells.push_back(p);
    }
  }
  return h;
}

double choose_lambda(const linalg::Mat& Y, const Mask& mask, const McnnmOptions& options,
                     double sigma) {
  if (options.lambda) return *options.lambda;
  if (!(sigma > 0.0)) return kTinyLambda;
  const std::array<double, 10> grid = lambda_grid(sigma);
  const HoldOut h = hold_out(mask, options.seed);
  if (h.cells.empty()) return grid[kFallbackIndex];

  // Down the grid from the largest penalty, each fit warm-started from the
  // last; a tie keeps the earlier, larger penalty.
  FitState state = FitState::zeros(Y.rows, Y.cols);
  double best_lambda = grid[0], best_error = 0.0;
  for (std::size_t k = 0; k < grid.size(); ++k) {
    state = soft_impute_fe(Y, h.train, options, std::move(state), grid[k]);
    const double error = validation_error(Y, state, h.cells);
    if (k == 0 || error < best_error) {
      best_lambda = grid[k];
      best_error = error;
    }
  }
  return best_lambda;
}

}  // namespace quintara::estimators::mcnnm
