#include "core/estimators/sc/augmented.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/panic.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::estimators::ScFit;
using quintara::estimators::sc::AscOptions;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;
using Vec = std::vector<double>;
namespace augmented = quintara::estimators::sc::augmented;

template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const quintara::Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

TEST(AugmentedFit, IdenticalDonorsLeaveNothingToAugment) {
  // Two identical donors: the centred pre-period matrix is zero, so the
  // default penalty is 0 and no (singular) system may be factored; with a
  // given penalty the augmentation is exactly zero. Weights stay uniform.
  Mat X_pre(3, 2), X_post(2, 2);
  const Vec donor_pre{1.0, 4.0, 2.0}, donor_post{3.0, 5.0};
  for (std::size_t j = 0; j < 2; ++j) {
    for (std::size_t t = 0; t < 3; ++t) X_pre(t, j) = donor_pre[t];
    for (std::size_t s = 0; s < 2; ++s) X_post(s, j) = donor_post[s];
  }
  for (const std::optional<double> lambda : {std::optional<double>{}, std::optional(2.0)}) {
    const ScFit f = augmented::fit_series(Vec{2.0, 3.0, 2.0}, Vec{6.0, 6.0}, X_pre, X_post,
                                          Units{1, 2}, AscOptions{lambda, 0.0, 0.0, 1.0});
    EXPECT_EQ(f.weights, (Vec{0.5, 0.5}));
    EXPECT_EQ(f.counterfactual, donor_post);
    EXPECT_EQ(f.att_path, (Vec{3.0, 1.0}));
  }
}

TEST(AugmentedFit, RefusesPanelsWithoutTreatedOrDonorUnits) {
  const Mat y(3, 4);
  EXPECT_EQ(panic_text([&] { augmented::fit_at(Panel::block(y, Units{}, 2), 2, {}); }),
            "no treated units");
  EXPECT_EQ(panic_text([&] { augmented::fit_at(Panel::block(y, Units{0, 1, 2}, 2), 2, {}); }),
            "no donor units");
}

}  // namespace
