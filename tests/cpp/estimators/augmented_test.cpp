#include "core/estimators/sc/augmented.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "sc_test_support.hpp"

namespace {

using quintara::estimators::Panel;
using sc_test::panic_text;
using Units = std::vector<std::size_t>;
namespace augmented = quintara::estimators::sc::augmented;

TEST(AugmentedFit, RefusesPanelsWithoutTreatedOrDonorUnits) {
  const quintara::linalg::Mat y(3, 4);
  EXPECT_EQ(panic_text([&] { augmented::fit_at(Panel::block(y, Units{}, 2), 2, {}); }),
            "no treated units");
  EXPECT_EQ(panic_text([&] { augmented::fit_at(Panel::block(y, Units{0, 1, 2}, 2), 2, {}); }),
            "no donor units");
}

}  // namespace
