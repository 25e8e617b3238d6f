#include "core/estimators/sc/demeaned.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "sc_test_support.hpp"

namespace {

using quintara::estimators::Panel;
using sc_test::panic_text;
using Units = std::vector<std::size_t>;
namespace demeaned = quintara::estimators::sc::demeaned;

TEST(DemeanedFit, RefusesPanelsWithoutTreatedOrDonorUnits) {
  const quintara::linalg::Mat y(3, 4);
  EXPECT_EQ(panic_text([&] { demeaned::fit_at(Panel::block(y, Units{}, 2), 2, {}); }),
            "no treated units");
  EXPECT_EQ(panic_text([&] { demeaned::fit_at(Panel::block(y, Units{0, 1, 2}, 2), 2, {}); }),
            "no donor (never-treated) units");
}

}  // namespace
