#include "core/estimators/mcnnm/fixed_effects.hpp"

#include <algorithm>

#include "core/panic.hpp"

namespace quintara::estimators::mcnnm {

namespace {

// Alternating sweeps of the effect means. Each sweep refits alpha from the
// current beta, then beta from the new alpha; three sweeps settle the
// effects well enough between two thresholding steps.
constexpr int kSweeps = 3;

// beta[t] from the current alpha: each period's sum over units in order,
// four periods side by side so their serial sums overlap; an unobserved cell
// adds +0.0 (no change to a sum started at +0.0).
void period_means(const linalg::Mat& Y, const Mask& mask, FitState& state) {
  const std::size_t N = Y.rows, T = Y.cols;
  const double* alpha = state.alpha.data();
  constexpr std::size_t kWays = 4;
  std::size_t t = 0;
  const auto finish = [&](std::size_t period, double sum) {
    std::size_t count = 0;
    const std::uint8_t* m = mask.data() + period * N;
    for (std::size_t i = 0; i < N; ++i) count += m[i];
    if (count > 0) state.beta[period] = sum / static_cast<double>(count);
  };
  for (; t + kWays <= T; t += kWays) {
    double sum[kWays] = {};
    for (std::size_t i = 0; i < N; ++i) {
      for (std::size_t w = 0; w < kWays; ++w) {
        const std::size_t p = i + (t + w) * N;
        const double r = (Y.data[p] - state.L.data[p]) - alpha[i];
        sum[w] += observed_or_zero(r, mask[p]);
      }
    }
    for (std::size_t w = 0; w < kWays; ++w) finish(t + w, sum[w]);
  }
  for (; t < T; ++t) {
    double sum = 0.0;
    for (std::size_t i = 0; i < N; ++i) {
      const std::size_t p = i + t * N;
      const double r = (Y.data[p] - state.L.data[p]) - alpha[i];
      sum += observed_or_zero(r, mask[p]);
    }
    finish(t, sum);
  }
}

}  // namespace

FitState FitState::zeros(std::size_t n_units, std::size_t n_periods) {
  return {linalg::Mat(n_units, n_periods), std::vector<double>(n_units, 0.0),
          std::vector<double>(n_periods, 0.0)};
}

void update_fe(const linalg::Mat& Y, const Mask& mask, FitState& state) {
  const std::size_t N = Y.rows, T = Y.cols;
  QUINTARA_ASSERT_EQ(mask.size(), N * T, "update_fe: mask size");
  QUINTARA_ASSERT_EQ(state.L.data.size(), N * T, "update_fe: L size");
  QUINTARA_ASSERT_EQ(state.alpha.size(), N, "update_fe: alpha size");
  QUINTARA_ASSERT_EQ(state.beta.size(), T, "update_fe: beta size");
  double* alpha = state.alpha.data();
  double* beta = state.beta.data();

  // A unit's cells are strided in storage, so its sums run period by period
  // over all units at once; each unit's sum still adds its periods in
  // ascending order.
  std::vector<std::size_t> unit_count(N, 0);
  for (std::size_t t = 0; t < T; ++t) {
    const std::uint8_t* m = mask.data() + t * N;
    for (std::size_t i = 0; i < N; ++i) unit_count[i] += m[i];
  }
  std::vector<double> unit_sum(N);
  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    std::fill(unit_sum.begin(), unit_sum.end(), 0.0);
    for (std::size_t t = 0; t < T; ++t) {
      const double* y = Y.data.data() + t * N;
      const double* l = state.L.data.data() + t * N;
      const std::uint8_t* m = mask.data() + t * N;
      const double b = beta[t];
      // An unobserved cell adds +0.0, which leaves a sum started at +0.0
      // unchanged bit for bit, so the loop runs without a branch.
      for (std::size_t i = 0; i < N; ++i) {
        const double r = (y[i] - l[i]) - b;
        unit_sum[i] += observed_or_zero(r, m[i]);
      }
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (unit_count[i] > 0) alpha[i] = unit_sum[i] / static_cast<double>(unit_count[i]);
    }
    period_means(Y, mask, state);
  }
}

double sigma_max_fe_residual(const linalg::Mat& Y, const Mask& mask, linalg::ExactSvd method) {
  const std::size_t N = Y.rows, T = Y.cols;
  FitState state = FitState::zeros(N, T);
  update_fe(Y, mask, state);
  linalg::Mat E(N, T);
  for (std::size_t t = 0; t < T; ++t) {
    for (std::size_t i = 0; i < N; ++i) {
      const std::size_t p = i + t * N;
      if (mask[p]) E.data[p] = (Y.data[p] - state.alpha[i]) - state.beta[t];
    }
  }
  return linalg::sigma_max(E, method);
}

}  // namespace quintara::estimators::mcnnm
