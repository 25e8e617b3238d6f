// Ensemble power: the weight rules, and the curve against an oracle built
// from refits of every window for every member, blended by hand.
#include "core/geo/ensemble.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "../support.hpp"
#include "core/geo/curve.hpp"
#include "core/geo/power.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::linalg::Mat;
using quintara::runs::Method;
using Units = std::vector<std::size_t>;
using Weights = std::vector<double>;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Ten units over 18 periods with distinct levels and wiggles.
Mat panel_data() {
  Mat y(10, 18);
  for (std::size_t i = 0; i < 10; ++i) {
    for (std::size_t t = 0; t < 18; ++t) {
      const double id = static_cast<double>(i), td = static_cast<double>(t);
      y(i, t) = 8.0 + id + std::sin(0.7 * id + 0.5 * td) + 0.4 * std::cos(1.9 * td + 2.0 * id);
    }
  }
  return y;
}

TEST(EnsembleWeights, NormalizeClampsDividesAndFallsBackToEqual) {
  EXPECT_EQ(geo::normalize_weights(Weights{2.0, 2.0}), (Weights{0.5, 0.5}));
  EXPECT_EQ(geo::normalize_weights(Weights{1.0, -3.0, 3.0}), (Weights{0.25, 0.0, 0.75}));
  // Divided by the left-to-right sum, not scaled by its reciprocal.
  const double s = (0.1 + 0.2) + 0.7;
  EXPECT_EQ(geo::normalize_weights(Weights{0.1, 0.2, 0.7}), (Weights{0.1 / s, 0.2 / s, 0.7 / s}));
  EXPECT_EQ(geo::normalize_weights(Weights{0.0, -1.0, 0.0}), (Weights{1.0 / 3, 1.0 / 3, 1.0 / 3}));
  EXPECT_TRUE(geo::normalize_weights(Weights{}).empty());
  // A sum that overflows is taken on a power-of-two rescaling: ratios stay.
  const double big = std::numeric_limits<double>::max();
  EXPECT_EQ(geo::normalize_weights(Weights{big, big, 0.0}), (Weights{0.5, 0.5, 0.0}));
  EXPECT_EQ(geo::normalize_weights(Weights{big, big / 4, big / 4, big / 2}),
            (Weights{0.5, 0.125, 0.125, 0.25}));
}

TEST(EnsembleWeights, InverseVariance) {
  const std::vector<std::vector<double>> atts{{1.0, -1.0, 3.0}, {0.5, 0.0, 1.0}, {2.0, 2.0, 2.0}};
  // Sample variances 4, 0.25 and 0; their mean 17/12 sets eps.
  const double v0 = geo::sample_variance(atts[0]), v1 = geo::sample_variance(atts[1]);
  ASSERT_EQ(v0, 4.0);
  ASSERT_EQ(v1, 0.25);
  const double eps = ((v0 + v1) + 0.0) / 3.0 * 1e-6 + 2.2250738585072014e-308;
  const Weights raw{1.0 / (v0 + eps), 1.0 / (v1 + eps), 1.0 / (0.0 + eps)};
  EXPECT_EQ(geo::inverse_variance_weights(atts), geo::normalize_weights(raw));

  // Every variance 0: equal weights, also from four members on, where the
  // raw weights (2^1022 each) overflow their sum.
  for (const std::size_t n : {3u, 4u, 7u}) {
    const std::vector<std::vector<double>> flat(n, std::vector<double>{1.5});
    EXPECT_EQ(geo::inverse_variance_weights(flat), Weights(n, 1.0 / static_cast<double>(n)))
        << n << " members";
  }
}

TEST(EnsembleCurve, BlendsEveryMembersRefitsWithTheNullWeights) {
  const Mat y = panel_data();
  const Units treated{6, 1};
  const std::vector<Method> members{Method::Sdid, Method::Sc, Method::Rsc, Method::Sc};
  const std::vector<double> lifts{0.05, 0.0, 0.2};
  const std::size_t test_len = 3, min_pre = 4;
  const std::optional<std::size_t> lookback = 8;
  const std::vector<std::size_t> windows = geo::window_set(18, test_len, min_pre, lookback);
  ASSERT_EQ(windows.size(), 8u);

  const auto refits = [&](double lift) {
    std::vector<std::vector<double>> out;
    for (const Method m : members) {
      out.push_back(geo::window_atts(y, treated, windows, test_len, lift, m, 0.02, 0.5));
    }
    return out;
  };
  const auto blend = [&](const std::vector<std::vector<double>>& atts, const Weights& w) {
    std::vector<double> out;
    for (std::size_t k = 0; k < windows.size(); ++k) {
      double s = 0.0;
      for (std::size_t m = 0; m < members.size(); ++m) s += w[m] * atts[m][k];
      out.push_back(s);
    }
    return out;
  };

  const std::vector<std::vector<double>> null_members = refits(0.0);
  const Weights given{3.0, 1.0, 0.0, 4.0};
  for (const bool inverse_variance : {true, false}) {
    SCOPED_TRACE(inverse_variance ? "inverse variance" : "given weights");
    const Weights w = inverse_variance ? geo::inverse_variance_weights(null_members)
                                       : Weights{0.375, 0.125, 0.0, 0.5};
    std::optional<std::span<const double>> arg;
    if (!inverse_variance) arg = given;
    const geo::EnsemblePower got = geo::power_curve_ensemble(
        y, treated, test_len, min_pre, lifts, members, arg, 0.2, 0.8, lookback, 0.02, 0.5);
    EXPECT_EQ(got.weights, w);
    const std::vector<double> null_atts = blend(null_members, w);
    const geo::PowerResult want = geo::curve_from_atts(
        Method::Ensemble, null_atts, lifts, [&](double lift) { return blend(refits(lift), w); },
        geo::treated_baseline(y, treated), test_len, 0.2, 0.8);
    EXPECT_EQ(got.curve.method, Method::Ensemble);
    EXPECT_EQ(got.curve.n_windows, 8u);
    EXPECT_EQ(bits(got.curve.crit), bits(want.crit));
    EXPECT_EQ(bits(got.curve.se_null), bits(want.se_null));
    EXPECT_EQ(got.curve.mde_pct.has_value(), want.mde_pct.has_value());
    if (want.mde_pct) EXPECT_EQ(bits(*got.curve.mde_cumulative), bits(*want.mde_cumulative));
    ASSERT_EQ(got.curve.points.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      const geo::PowerPoint &a = got.curve.points[k], &b = want.points[k];
      EXPECT_EQ(bits(a.power), bits(b.power)) << k;
      EXPECT_EQ(bits(a.est_mean), bits(b.est_mean)) << k;
      EXPECT_EQ(bits(a.est_lo), bits(b.est_lo)) << k;
      EXPECT_EQ(bits(a.est_hi), bits(b.est_hi)) << k;
    }
  }
}

TEST(EnsembleCurve, OneWindowGivesEqualWeights) {
  const Mat y = panel_data();
  const Units treated{2};
  const std::vector<Method> members{Method::Sc, Method::Asc, Method::Sdid, Method::Fp};
  const geo::EnsemblePower r = geo::power_curve_ensemble(
      y, treated, 4, 4, std::vector<double>{0.0}, members, std::nullopt, 0.1, 0.8, 1, 0.0, 1.0);
  EXPECT_EQ(r.curve.n_windows, 1u);
  EXPECT_EQ(r.weights, Weights(4, 0.25));
  double blended = 0.0;
  for (const Method m : members) {
    const std::vector<std::size_t> last{14};
    blended += 0.25 * geo::window_atts(y, treated, last, 4, 0.0, m, 0.0, 1.0)[0];
  }
  EXPECT_EQ(r.curve.crit, std::fabs(blended));
  EXPECT_EQ(r.curve.se_null, 0.0);
}

TEST(EnsembleCurve, PreconditionsAreInvariants) {
  const Mat y = panel_data();
  const Units treated{0};
  const std::vector<Method> sc{Method::Sc};
  const auto run = [&](std::size_t test_len, std::size_t min_pre, std::span<const Method> members,
                       std::optional<std::span<const double>> weights) {
    return [=, &y, &treated] {
      geo::power_curve_ensemble(y, treated, test_len, min_pre, {}, members, weights, 0.1, 0.8,
                                std::nullopt, 0.0, 1.0);
    };
  };
  using quintara::test::panic_text;
  EXPECT_EQ(panic_text(run(18, 0, sc, std::nullopt)), "test_len out of range");
  EXPECT_EQ(panic_text(run(6, 13, sc, std::nullopt)),
            "not enough periods for the requested pre-window + test_len");
  EXPECT_EQ(panic_text(run(3, 3, {}, std::nullopt)), "ensemble needs at least one member");
  const Weights two{1.0, 1.0};
  EXPECT_EQ(panic_text(run(3, 3, sc, two)), "one ensemble weight per member");
}

}  // namespace
