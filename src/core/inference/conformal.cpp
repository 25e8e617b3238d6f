#include "core/inference/conformal.hpp"

#include <cmath>
#include <utility>

#include "core/estimators/sc/cpasc.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::inference {

namespace est = quintara::estimators;

namespace {

// The search's first step: the spread of the pre-period fit, the natural
// unit of an effect; 1 when the fit is exact.
double step_of(double pre_rmspe) {
  return pre_rmspe > 0.0 && std::isfinite(pre_rmspe) ? pre_rmspe : 1.0;
}

// Rows [0, t0) and row `extra` of X.
linalg::Mat pre_rows_and(const linalg::MatView& X, std::size_t t0, std::size_t extra) {
  linalg::Mat out(t0 + 1, X.cols);
  for (std::size_t j = 0; j < X.cols; ++j) {
    for (std::size_t t = 0; t < t0; ++t) out(t, j) = X(t, j);
    out(t0, j) = X(extra, j);
  }
  return out;
}

// The effect at which the null refit's post-period residuals average zero:
// tau <- tau + mean(post residual at tau), a contraction whenever the refit
// absorbs part of a shift (an intercept, a ridge), stopped at 1e-9 of `step`.
double centred_effect(const est::sc::NullRefit& refit, std::span<const double> y, std::size_t t0,
                      double tau, double step) {
  std::vector<double> shifted(y.size());
  for (int i = 0; i < 100; ++i) {
    for (std::size_t t = 0; t < y.size(); ++t) shifted[t] = t < t0 ? y[t] : y[t] - tau;
    const std::vector<double> r = refit.residual(shifted);
    double mean = 0.0;
    for (std::size_t t = t0; t < r.size(); ++t) mean += r[t];
    mean /= static_cast<double>(r.size() - t0);
    tau = tau + mean;
    if (!(std::fabs(mean) > 1e-9 * step)) break;
  }
  return tau;
}

// Misses each end's search steps through: a probe up to 2^6 times past the
// first rejected one may still extend the end.
constexpr int kMaxMisses = 6;

// Constant effects are a model; where the effect path is not constant the
// accepted set can break into pieces. The search starts from the fit's
// effect, from the effect that centres the refit's post-period residuals
// (where the test rejects the fit's, as SDID's time weights may make it) and
// from 0, and reports the hull of what they reach.
TestInterval invert(const est::sc::NullRefit& refit, std::span<const double> y, std::size_t t0,
                    std::optional<std::size_t> block_len, double estimate, double step,
                    double level, double* p_at_zero) {
  const auto accepts = [&](double tau) {
    return !rejects(conformal_p(refit, y, t0, tau, block_len), level);
  };
  const double p0 = conformal_p(refit, y, t0, 0.0, block_len);
  if (p_at_zero != nullptr) *p_at_zero = p0;
  std::vector<double> starts{estimate};
  if (!accepts(estimate)) starts.push_back(centred_effect(refit, y, t0, estimate, step));
  if (!rejects(p0, level)) starts.push_back(0.0);
  return invert_by_search(accepts, starts, step, kMaxMisses, p0, level);
}

}  // namespace

double conformal_p(const est::sc::NullRefit& refit, std::span<const double> y, std::size_t t0,
                   double tau, std::optional<std::size_t> block_len) {
  std::vector<double> shifted(y.begin(), y.end());
  for (std::size_t t = t0; t < shifted.size(); ++t) shifted[t] = shifted[t] - tau;
  return est::sc::cpasc::block_permutation_p(refit.residual(shifted), t0, block_len);
}

ConformalResult conformal_test(const est::Panel& panel, std::size_t t0,
                               const est::sc::ScMethod& method, const est::ScFit& fit,
                               const ConformalOptions& options) {
  const est::BlockSeries b = est::block_series(panel, t0);
  const std::size_t T = b.treated_mean.size();
  QUINTARA_ASSERT(t0 >= 1 && t0 < T, "conformal test: needs a pre- and a post-period");
  const std::span<const double> y = b.treated_mean;
  const double step = step_of(fit.pre_rmspe);

  ConformalResult r;
  r.n_windows = T;
  r.window = options.block_len ? std::min(*options.block_len, T) : T - t0;
  const est::sc::NullRefit refit(method, b.donor_x.view(), b.n_treated);
  r.interval = invert(refit, y, t0, options.block_len, fit.att, step, options.level, &r.p_value);
  r.null_residual = refit.residual(y);
  if (!options.pointwise) return r;

  // One post period at a time, each on the pre-period and itself alone.
  const std::size_t P = T - t0;
  const std::vector<TestInterval> points =
      parallel::parallel_map<TestInterval>(P, [&](std::size_t s) {
        const linalg::Mat X = pre_rows_and(b.donor_x.view(), t0, t0 + s);
        std::vector<double> ys(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(t0));
        ys.push_back(y[t0 + s]);
        const est::sc::NullRefit one(method, X.view(), b.n_treated);
        return invert(one, ys, t0, std::size_t{1}, fit.att_path[s], step, options.level, nullptr);
      });
  for (const TestInterval& i : points) {
    r.pointwise_lower.push_back(i.lower);
    r.pointwise_upper.push_back(i.upper);
  }
  return r;
}

}  // namespace quintara::inference
