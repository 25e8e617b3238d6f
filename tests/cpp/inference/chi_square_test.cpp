#include "core/inference/chi_square.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using quintara::inference::chi_square_sf;

TEST(ChiSquareSf, ClosedFormsOnBothSidesOfTheSwitch) {
  // dof 1: erfc(sqrt(x / 2)); dof 2: e^(-x/2); dof 4: e^(-x/2) (1 + x/2). The
  // series serves x / 2 < dof / 2 + 1, the continued fraction the rest.
  for (const double x : {1e-6, 0.3, 2.9, 3.1, 8.0, 40.0, 700.0}) {
    EXPECT_NEAR(chi_square_sf(x, 1), std::erfc(std::sqrt(x / 2)),
                1e-14 + 1e-13 * std::erfc(std::sqrt(x / 2)));
    EXPECT_NEAR(chi_square_sf(x, 2), std::exp(-x / 2), 1e-14 + 1e-13 * std::exp(-x / 2));
    const double four = std::exp(-x / 2) * (1 + x / 2);
    EXPECT_NEAR(chi_square_sf(x, 4), four, 1e-14 + 1e-13 * four);
  }
}

TEST(ChiSquareSf, AgainstScipyAndAtTheEdges) {
  // scipy 1.17.1, scipy.stats.chi2.sf(x, k).
  const struct {
    double x;
    std::size_t k;
    double want;
  } cases[] = {{3.5, 7, 0.8352254826103422},
               {40.0, 30, 0.10486428110798468},
               {200.0, 150, 0.003973185970821635},
               {1e-3, 1, 0.9747728793699604},
               {60.0, 3, 5.878230727906921e-13}};
  for (const auto& c : cases) EXPECT_NEAR(chi_square_sf(c.x, c.k), c.want, 1e-13 * c.want);
  EXPECT_EQ(chi_square_sf(0.0, 3), 1.0);
  EXPECT_EQ(chi_square_sf(-1.0, 3), 1.0);
  EXPECT_EQ(chi_square_sf(INFINITY, 3), 0.0);
  EXPECT_TRUE(std::isnan(chi_square_sf(NAN, 3)));
}

}  // namespace
