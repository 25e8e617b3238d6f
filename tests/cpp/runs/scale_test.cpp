// The normalisation exponent is a function of the largest |y| alone that
// lands it in [256, 512), over the whole float64 range, and options that are
// huge next to the data stay finite.
#include "core/runs/scale.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace quintara::runs;

TEST(Scale, ExponentPutsTheLargestValueIn256To512) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double huge = std::numeric_limits<double>::max();
  struct Case {
    double max_abs;
    int k;
  };
  // Proposition 99's largest value needs no rescaling; the minimum-wage
  // panel's (log employment, 10.44) is multiplied by 32.
  for (const Case c : {Case{296.2, 0}, Case{256.0, 0}, Case{511.9, 0}, Case{512.0, 1},
                       Case{255.9, -1}, Case{10.44, -5}, Case{tiny, -1082}, Case{huge, 1015}}) {
    std::vector<double> v = {0.5 * c.max_abs, -c.max_abs, 0.0};
    EXPECT_EQ(scale_exponent(v), c.k) << c.max_abs;
    EXPECT_EQ(normalise(v), c.k);
    EXPECT_GE(std::fabs(v[1]), 256.0);
    EXPECT_LT(std::fabs(v[1]), 512.0);
    EXPECT_EQ(in_caller_units(v[1], c.k), -c.max_abs);  // exact both ways
  }
  std::vector<double> zeros(4, 0.0);
  EXPECT_EQ(normalise(zeros), 0);
}

TEST(Scale, OptionsCarryTheirPowerOfTheUnitsAndStayFinite) {
  EXPECT_EQ(normalised_option(3.0, 2, 5), 3.0 / 1024.0);
  EXPECT_EQ(normalised_option(3.0, 1, -5), 96.0);
  // A ridge of 1e300 on data of 1e-10 is beyond any Gram matrix, not inf.
  EXPECT_EQ(normalised_option(1e300, 2, -42), 0x1p600);
}

}  // namespace
