// Ensemble power: the weight rules, and the curve against an oracle built
// from refits of every window for every member, blended by hand.
#include "core/geo/ensemble.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <vector>

#include "../support.hpp"
#include "core/geo/curve.hpp"
#include "core/geo/power.hpp"
#include "power_bits.hpp"

namespace {

namespace geo = quintara::geo;
using quintara::estimators::sc::Method;
using Weights = std::vector<double>;

TEST(EnsembleWeights, NormalizeClampsDividesAndFallsBackToEqual) {
  EXPECT_EQ(geo::normalize_weights(Weights{1.0, -3.0, 3.0}), (Weights{0.25, 0.0, 0.75}));
  // Divided by the left-to-right sum, not scaled by its reciprocal.
  const double s = (0.1 + 0.2) + 0.7;
  EXPECT_EQ(geo::normalize_weights(Weights{0.1, 0.2, 0.7}), (Weights{0.1 / s, 0.2 / s, 0.7 / s}));
  EXPECT_EQ(geo::normalize_weights(Weights{0.0, -1.0, 0.0}), (Weights{1.0 / 3, 1.0 / 3, 1.0 / 3}));
  EXPECT_TRUE(geo::normalize_weights(Weights{}).empty());
  // A sum that overflows is taken on a power-of-two rescaling: ratios stay.
  const double big = std::numeric_limits<double>::max();
  EXPECT_EQ(geo::normalize_weights(Weights{big, big / 4, big / 4, big / 2}),
            (Weights{0.5, 0.125, 0.125, 0.25}));
}

TEST(EnsembleWeights, InverseVariance) {
  // Sample variances 4, 0.25 and 0; their mean 17/12 sets eps.
  const std::vector<std::vector<double>> atts{{1.0, -1.0, 3.0}, {0.5, 0.0, 1.0}, {2.0, 2.0, 2.0}};
  const double eps = ((4.0 + 0.25) + 0.0) / 3.0 * 1e-6 + 2.2250738585072014e-308;
  const Weights raw{1.0 / (4.0 + eps), 1.0 / (0.25 + eps), 1.0 / (0.0 + eps)};
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
  const quintara::linalg::Mat y = quintara::test::market_panel(10, 18, 7);
  const std::vector<std::size_t> treated{6, 1};
  const std::vector<Method> members{Method::Sdid, Method::Sc, Method::Rsc, Method::Sc};
  const std::vector<double> lifts{0.05, 0.0, 0.2};
  const std::vector<std::size_t> windows = geo::window_set(18, 3, 4, 8);
  const auto refits = [&](double lift) {
    std::vector<std::vector<double>> out;
    for (const Method m : members) {
      out.push_back(geo::window_atts(y, treated, windows, 3, lift, m, 0.02, 0.5));
    }
    return out;
  };
  const auto blended = [&](double lift, const Weights& w) {
    const std::vector<std::vector<double>> atts = refits(lift);
    std::vector<double> out(windows.size(), 0.0);
    for (std::size_t k = 0; k < windows.size(); ++k) {
      for (std::size_t m = 0; m < members.size(); ++m) out[k] += w[m] * atts[m][k];
    }
    return out;
  };
  const Weights given{3.0, 1.0, 0.0, 4.0};
  for (const bool inverse_variance : {true, false}) {
    SCOPED_TRACE(inverse_variance ? "inverse variance" : "given weights");
    const Weights w = inverse_variance ? geo::inverse_variance_weights(refits(0.0))
                                       : Weights{0.375, 0.125, 0.0, 0.5};
    std::optional<std::span<const double>> arg;
    if (!inverse_variance) arg = given;
    const geo::EnsemblePower got =
        geo::power_curve_ensemble(y, treated, 3, 4, lifts, members, arg, 0.2, 0.8, 8, 0.02, 0.5);
    EXPECT_EQ(got.weights, w);
    const geo::PowerResult want = geo::curve_from_atts(
        Method::Ensemble, blended(0.0, w), lifts, [&](double l) { return blended(l, w); },
        geo::treated_baseline(y, treated), 3, 0.2, 0.8);
    EXPECT_EQ(quintara::test::power_bits(got.curve), quintara::test::power_bits(want));
  }
}

}  // namespace
