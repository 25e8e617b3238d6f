// The conformal test below the Python surface: the null-imposed refit
// against fits written out here, its permutation equivariance, the interval
// ends as the roots of p(tau) > 1 - level, and the whole line when the test
// cannot reject.
#include "core/inference/conformal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <variant>
#include <vector>

#include "../support.hpp"
#include "core/estimators/sc/null_refit.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/simplex.hpp"

namespace {

namespace est = quintara::estimators;
using est::Panel;
using est::sc::NullRefit;
using est::sc::ScMethod;
using quintara::inference::conformal_p;
using quintara::inference::conformal_test;
using quintara::inference::ConformalOptions;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;

const std::vector<ScMethod> kMethods{{est::sc::ScOptions{}},
                                     {est::sc::FpOptions{}},
                                     {est::sc::AscOptions{}},
                                     {est::sc::SdidOptions{}}};

// Row 0 treated: a mix of the first donors plus noise, and `effect` from t0.
Mat panel(std::size_t J, std::size_t T, std::size_t t0, double effect, std::uint64_t seed) {
  Mat y = quintara::test::market_panel(J + 1, T, seed);
  for (std::size_t t = 0; t < T; ++t) {
    y(0, t) = 0.5 * y(1, t) + 0.3 * y(2, t) + 0.2 * y(3, t) + 0.3 * std::sin(1.7 * t) +
              (t >= t0 ? effect : 0.0);
  }
  return y;
}

Mat donors_of(const Mat& y) {
  Mat X(y.cols, y.rows - 1);
  for (std::size_t j = 0; j + 1 < y.rows; ++j) {
    for (std::size_t t = 0; t < y.cols; ++t) X(t, j) = y(j + 1, t);
  }
  return X;
}

std::vector<double> row0(const Mat& y) {
  std::vector<double> r(y.cols);
  for (std::size_t t = 0; t < y.cols; ++t) r[t] = y(0, t);
  return r;
}

TEST(NullRefit, ResidualsAreTheInSampleFitsOverAllPeriods) {
  const Mat y = panel(6, 24, 16, 0.0, 3);
  const Mat X = donors_of(y);
  const std::vector<double> yt = row0(y);
  // SC: simplex weights on all T, y - X w.
  const std::vector<double> w = quintara::linalg::sc_weights(X.view(), yt, 0.0).weights;
  const std::vector<double> fitted = quintara::linalg::matvec(X.view(), w);
  const std::vector<double> r_sc = NullRefit(kMethods[0], X.view(), 1).residual(yt);
  for (std::size_t t = 0; t < yt.size(); ++t) EXPECT_EQ(r_sc[t], yt[t] - fitted[t]);
  // FP and SDID fit the treated level freely: their residuals sum to zero.
  for (const std::size_t m : {1, 3}) {
    double s = 0.0;
    for (const double v : NullRefit(kMethods[m], X.view(), 1).residual(yt)) s += v;
    EXPECT_NEAR(s, 0.0, 1e-9) << m;
  }
}

TEST(NullRefit, PermutingThePeriodsPermutesTheResidual) {
  // What makes the permutation test valid: the refit does not see time order
  // (SDID does, through its noise level, and is left out).
  const std::size_t T = 20;
  const Mat y = panel(5, T, 14, 0.0, 7);
  const Mat X = donors_of(y);
  const std::vector<double> yt = row0(y);
  std::vector<std::size_t> perm(T);
  for (std::size_t t = 0; t < T; ++t) perm[t] = (7 * t + 3) % T;
  Mat Xp(T, X.cols);
  std::vector<double> yp(T);
  for (std::size_t t = 0; t < T; ++t) {
    yp[t] = yt[perm[t]];
    for (std::size_t j = 0; j < X.cols; ++j) Xp(t, j) = X(perm[t], j);
  }
  for (std::size_t m = 0; m < 3; ++m) {
    const std::vector<double> r = NullRefit(kMethods[m], X.view(), 1).residual(yt);
    const std::vector<double> rp = NullRefit(kMethods[m], Xp.view(), 1).residual(yp);
    for (std::size_t t = 0; t < T; ++t) EXPECT_NEAR(rp[t], r[perm[t]], 1e-7) << m << " " << t;
  }
}

TEST(Conformal, IntervalEndsAreTheRootsOfTheTest) {
  const std::size_t T = 40, t0 = 30;
  const Mat y = panel(8, T, t0, 4.0, 11);
  const Panel p = Panel::block(y, Units{0}, t0);
  const Mat X = donors_of(y);
  const std::vector<double> yt = row0(y);
  for (const ScMethod& m : kMethods) {
    const est::ScFit fit = m.fit_at(p, t0);
    ConformalOptions o;
    o.level = 0.9;
    const auto r = conformal_test(p, t0, m, fit, o);
    const NullRefit refit(m, X.view(), 1);
    const auto p_at = [&](double tau) { return conformal_p(refit, yt, t0, tau, std::nullopt); };
    const double alpha = quintara::inference::test_alpha(o.level);
    EXPECT_EQ(r.p_value, p_at(0.0));
    const double width = std::fabs(fit.att) + fit.pre_rmspe;
    for (const double end : {r.interval.lower, r.interval.upper}) {
      if (std::isinf(end)) {
        // ASC's augmentation, refitted on all periods, absorbs much of a
        // step through the donors' drift: far-off effects stay accepted.
        EXPECT_GT(p_at(end < 0 ? -1e6 * width : 1e6 * width), alpha);
        continue;
      }
      const double tol = 1e-5 * width, out = end < fit.att ? -tol : tol;
      EXPECT_GT(p_at(end), alpha);
      EXPECT_LE(p_at(end + out), alpha);
    }
    if (!std::holds_alternative<est::sc::AscOptions>(m.options)) {
      // An effect of 4 against noise of about 1 is found: 0 is rejected.
      EXPECT_LE(r.p_value, alpha);
      EXPECT_GT(r.interval.lower, 0.0);
      EXPECT_LT(r.interval.upper, 2.0 * fit.att);
    }
    ASSERT_EQ(r.pointwise_lower.size(), T - t0);
    for (std::size_t s = 0; s < T - t0; ++s) {
      EXPECT_LE(r.pointwise_lower[s], fit.att_path[s]);
      EXPECT_GE(r.pointwise_upper[s], fit.att_path[s]);
    }
  }
}

TEST(TestAlpha, APValueAtTheNominalSizeRejects) {
  // 1 - 0.9 is 0.09999999999999998 in floating point: p = 3/30 must still
  // reject at level 0.9, or every test with p-values k / 30 loses a step.
  using quintara::inference::least_accepted_count;
  using quintara::inference::rejects;
  EXPECT_TRUE(rejects(3.0 / 30.0, 0.9));
  EXPECT_FALSE(rejects(4.0 / 30.0, 0.9));
  EXPECT_TRUE(rejects(1.0 / 20.0, 0.95));
  EXPECT_EQ(least_accepted_count(29, 0.9), 3u);   // (3 + 1) / 30 is the least accepted p
  EXPECT_EQ(least_accepted_count(19, 0.95), 1u);  // (1 + 1) / 20
  EXPECT_EQ(least_accepted_count(9, 0.5), 5u);
}

TEST(Conformal, TooFewPeriodsToRejectGiveTheWholeLine) {
  // 12 windows: p >= 1/12 > 0.05 for every tau.
  const std::size_t T = 12, t0 = 9;
  const Panel p = Panel::block(panel(4, T, t0, 50.0, 5), Units{0}, t0);
  const est::ScFit fit = kMethods[0].fit_at(p, t0);
  const auto r = conformal_test(p, t0, kMethods[0], fit, ConformalOptions{});
  constexpr double kInf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(r.interval.lower, -kInf);
  EXPECT_EQ(r.interval.upper, kInf);
  EXPECT_EQ(r.n_windows, T);
  EXPECT_EQ(r.window, T - t0);
}

}  // namespace
