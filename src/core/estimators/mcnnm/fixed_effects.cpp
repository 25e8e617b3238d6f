#include "core/estimators/mcnnm/fixed_effects.hpp"

#include <algorithm>

#include "core/panic.hpp"

namespace quintara::estimators::mcnnm {

namespace {

// Alternating sweeps of the effect means. Each sweep refits alpha from the
// current beta, then beta from the new alpha; three sweeps settle the
// effects well enough between two thresholding steps.
constexpr int kSweeps = 3;

// unit_sum[i] += the observed residual of unit i in period t net of
// beta[t]. An unobserved cell adds +0.0, which leaves a sum started at +0.0
// unchanged bit for bit, so the loop runs without a branch.
void add_period(const linalg::Mat& Y, const Mask& mask, const FitState& state, std::size_t t,
                double* unit_sum) {
  const std::size_t N = Y.rows;
  const double* y = Y.data.data() + t * N;
  const double* l = state.L.data.data() + t * N;
  const std::uint8_t* m = mask.data() + t * N;
  const double b = state.beta[t];
  for (std::size_t i = 0; i < N; ++i) unit_sum[i] += observed_or_zero((y[i] - l[i]) - b, m[i]);
}

// beta[t] from the current alpha: each period's sum over units in order,
// four periods side by side so their serial sums overlap. With next_sum,
// every finished period is at once added to the next sweep's unit sums
// (periods still in ascending order), while its cells are in cache.
void period_means(const linalg::Mat& Y, const Mask& mask, FitState& state,
                  const std::vector<std::size_t>& period_count, double* next_sum) {
  const std::size_t N = Y.rows, T = Y.cols;
  const double* alpha = state.alpha.data();
  constexpr std::size_t kWays = 4;
  const auto finish = [&](std::size_t period, double sum) {
    const std::size_t count = period_count[period];
    if (count > 0) state.beta[period] = sum / static_cast<double>(count);
    if (next_sum != nullptr) add_period(Y, mask, state, period, next_sum);
  };
  std::size_t t = 0;
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

  // A unit's cells are strided in storage, so its sums run period by period
  // over all units at once; each unit's sum still adds its periods in
  // ascending order.
  std::vector<std::size_t> unit_count(N, 0), period_count(T, 0);
  for (std::size_t t = 0; t < T; ++t) {
    const std::uint8_t* m = mask.data() + t * N;
    for (std::size_t i = 0; i < N; ++i) {
      unit_count[i] += m[i];
      period_count[t] += m[i];
    }
  }
  std::vector<double> unit_sum(N, 0.0);
  for (std::size_t t = 0; t < T; ++t) add_period(Y, mask, state, t, unit_sum.data());
  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    for (std::size_t i = 0; i < N; ++i) {
      if (unit_count[i] > 0) alpha[i] = unit_sum[i] / static_cast<double>(unit_count[i]);
    }
    // The next sweep's unit sums are gathered during this sweep's period
    // pass, from each new beta[t] as soon as it is known.
    const bool more = sweep + 1 < kSweeps;
    if (more) std::fill(unit_sum.begin(), unit_sum.end(), 0.0);
    period_means(Y, mask, state, period_count, more ? unit_sum.data() : nullptr);
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
