// The sampling arguments of the staggered entries: their messages, character
// for character, and the dense renumbering of cluster codes.
#include "core/runs/sampling.hpp"

#include <gtest/gtest.h>

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
      {[] { make_sampling(std::nullopt, Codes{{1, 2, 3, 4}}, 3); },
       "clusters must have one entry per unit (3); got 4"},
      {[] { make_sampling(std::nullopt, Codes{{5, 5, 5}}, 3); },
       "clusters name a single cluster; a cluster-robust standard error needs at least two"},
      {[] { parse_missing("drop"); }, "unknown missing 'drop' (expected refuse/keep)"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(message_of(call), message);
}

TEST(Sampling, ClusterCodesRenumberedInOrderOfFirstAppearance) {
  const auto s = make_sampling(Weights{{0.5, 2.0, 1.0, 3.0}}, Codes{{40, -7, 40, 9}}, 4);
  EXPECT_EQ(s.weight, (std::vector<double>{0.5, 2.0, 1.0, 3.0}));
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
