// Golden-output stability of the resampling routines (results must never
// change for a seed) and the cases the Python entry cannot reach.
#include "core/inference/bootstrap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using namespace quintara::inference;
using Vec = std::vector<double>;

const Vec kSeries{0.4, 1.3, -0.2, 2.2, 0.9, 1.7, -0.8, 0.1, 1.1, 0.6};

// Seed 7, block_len 3, 200 replicates, level 0.9 on kSeries: outputs of the
// code as first released, printed with %.17g (replicates 0, 1 and 199).
TEST(Bootstrap, BlockAndStationaryStability) {
  const BootstrapResult b = block_bootstrap_mean(kSeries, 3, 200, 7, 0.9);
  EXPECT_EQ(b.replicates[0], 0.38000000000000006);
  EXPECT_EQ(b.replicates[1], 0.35999999999999999);
  EXPECT_EQ(b.replicates[199], 0.86999999999999988);
  EXPECT_EQ(b.interval.se, 0.23340563069945636);
  EXPECT_EQ(b.interval.lower, 0.3695);
  EXPECT_EQ(b.interval.upper, 1.1214999999999993);
  const BootstrapResult s = stationary_bootstrap_mean(kSeries, 3, 200, 7, 0.9);
  EXPECT_EQ(s.replicates[0], 0.67999999999999994);
  EXPECT_EQ(s.replicates[1], 0.71000000000000019);
  EXPECT_EQ(s.replicates[199], 0.65999999999999992);
  EXPECT_EQ(s.interval.se, 0.18222366702522641);
  EXPECT_EQ(s.interval.lower, 0.40000000000000002);
  EXPECT_EQ(s.interval.upper, 1.0009999999999997);

  EXPECT_EQ(block_bootstrap_mean(kSeries, 1, 40, 5, 0.95).replicates,
            block_bootstrap_mean(kSeries, 0, 40, 5, 0.95).replicates);
  for (auto* f : {&block_bootstrap_mean, &stationary_bootstrap_mean}) {
    const BootstrapResult e = f(Vec{}, 3, 20, 1, 0.9);  // the interval of [0.0]
    EXPECT_TRUE(e.replicates.empty() && e.interval.lower == 0.0 && e.interval.upper == 0.0);
    EXPECT_EQ(e.interval.se, 0.0);
  }
}

// Seed 8, 99 replicates, level 0.9 on the two event times below: crit of the
// code as first released, printed with %.17g; then degenerate inputs.
TEST(MultiplierBands, StabilityAndDegenerateInputs) {
  const std::vector<Vec> ifs{{1.0, -2.0, 0.5, 0.25}, {0.3, 0.3, -0.9, 1.1}};
  const EventBands g = multiplier_event_bands(ifs, Vec{0.1, -0.2}, Vec{0.4, 0.25}, 99, 8, 0.9);
  EXPECT_EQ(g.crit, 2.6985171611325662);
  EXPECT_EQ(g.bands[1], std::make_pair(-0.2 - g.crit * 0.25, -0.2 + g.crit * 0.25));

  EXPECT_TRUE(multiplier_event_bands({}, Vec{}, Vec{}, 10, 0, 0.9).bands.empty());
  const EventBands flat =
      multiplier_event_bands(std::vector<Vec>{{}, {}}, Vec{1.0, 2.0}, Vec{0.5, 0.5}, 10, 0, 0.9);
  EXPECT_EQ(flat.crit, 0.0);
  const EventBands none =
      multiplier_event_bands(std::vector<Vec>{{1.0, -1.0}}, Vec{1.0}, Vec{0.5}, 0, 0, 0.9);
  EXPECT_TRUE(std::isnan(none.crit) && std::isnan(none.bands[0].first) &&
              std::isnan(none.bands[0].second));
}

}  // namespace
