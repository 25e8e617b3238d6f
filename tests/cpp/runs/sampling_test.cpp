// The sampling arguments of the staggered entries: their messages, character
// for character, and the dense renumbering of cluster codes.
#include "core/runs/sampling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../support.hpp"

namespace {

using quintara::runs::make_sampling;
using quintara::runs::parse_missing;
using quintara::test::message_of;
using Weights = std::optional<std::vector<double>>;
using Codes = std::optional<std::vector<std::int64_t>>;

TEST(Sampling, Messages) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { make_sampling(Weights{{1.0, 2.0}}, std::nullopt, 3); },
       "weights must have one entry per unit (3); got 2"},
      {[] { make_sampling(Weights{{1.0, 0.0, 2.0}}, std::nullopt, 3); },
       "weights must be positive and finite; weights[1] is 0"},
      {[] { make_sampling(Weights{{-0.5, 1.0, 2.0}}, std::nullopt, 3); },
       "weights must be positive and finite; weights[0] is -0.5"},
      {[&] { make_sampling(Weights{{1.0, 1.0, kNaN}}, std::nullopt, 3); },
       "weights must be positive and finite; weights[2] is NaN"},
      {[&] { make_sampling(Weights{{kInf, 1.0, 1.0}}, std::nullopt, 3); },
       "weights must be positive and finite; weights[0] is inf"},
      // A ratio past 2^1022 puts the smaller weight below the normal doubles.
      {[] { make_sampling(Weights{{4.0, 1.0, 1e-308}}, std::nullopt, 3); },
       "weights span too wide a range: weights[2] is 1e-308 and weights[0] is 4.0; their ratio "
       "must stay below 2^1022"},
      {[] { make_sampling(std::nullopt, Codes{{1, 2, 3, 4}}, 3); },
       "clusters must have one entry per unit (3); got 4"},
      {[] { make_sampling(std::nullopt, Codes{{5, 5, 5}}, 3); },
       "clusters name a single cluster; a cluster-robust standard error needs at least two"},
      {[] { parse_missing("drop"); }, "unknown missing 'drop' (expected refuse/keep)"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(message_of(call), message);
}

TEST(Sampling, WeightsScaledByAPowerOfTwoPuttingTheLargestInOneToTwo) {
  // Exact, so only the ratios are left; weights already there are kept.
  const auto weights = [](std::vector<double> w) {
    return make_sampling(Weights{std::move(w)}, std::nullopt, 3).weight;
  };
  EXPECT_EQ(weights({1.0, 1.5, 1.25}), (std::vector<double>{1.0, 1.5, 1.25}));
  EXPECT_EQ(weights({0.5, 3.0, 1.0}), (std::vector<double>{0.25, 1.5, 0.5}));
  const double top = std::numeric_limits<double>::max(), least = 3e-308;
  EXPECT_EQ(weights({top, top / 4, 4.0}),
            (std::vector<double>{std::ldexp(top, -1023), std::ldexp(top, -1025), 0x1p-1021}));
  EXPECT_EQ(weights({least, 1.0, 1.0}), (std::vector<double>{least, 1.0, 1.0}));
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(weights({tiny, tiny, tiny}), (std::vector<double>{1.0, 1.0, 1.0}));
}

TEST(Sampling, ClusterCodesRenumberedInOrderOfFirstAppearance) {
  const auto s = make_sampling(Weights{{0.5, 1.75, 1.0, 1.5}}, Codes{{40, -7, 40, 9}}, 4);
  EXPECT_EQ(s.weight, (std::vector<double>{0.5, 1.75, 1.0, 1.5}));
  EXPECT_EQ(s.cluster, (std::vector<std::size_t>{0, 1, 0, 2}));
  EXPECT_EQ(s.n_clusters, 3u);
  EXPECT_TRUE(s.weighted() && s.clustered());

  const auto none = make_sampling(std::nullopt, std::nullopt, 4);
  EXPECT_FALSE(none.weighted() || none.clustered());
  EXPECT_EQ(none.weight_of(2), 1.0);
  EXPECT_EQ(none.cluster_of(2), 2u);
  EXPECT_EQ(none.clusters(4), 4u);
  EXPECT_FALSE(parse_missing("refuse"));
  EXPECT_TRUE(parse_missing("keep"));
}

}  // namespace
