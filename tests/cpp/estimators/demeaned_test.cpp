#include "core/estimators/sc/demeaned.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/panic.hpp"

namespace {

using quintara::estimators::Panel;
using quintara::estimators::ScFit;
using quintara::estimators::sc::FpOptions;
using quintara::linalg::Mat;
using Units = std::vector<std::size_t>;
using Vec = std::vector<double>;
namespace demeaned = quintara::estimators::sc::demeaned;

template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const quintara::Panic& e) {
    return e.what();
  }
  return "<no panic>";
}

TEST(DemeanedFit, OneDonorAddsTheTreatedLevelBack) {
  // Hand computation: m = 2, mu = 4, so the counterfactual is 2 + (5 - 4) = 3;
  // the centred residual is [-1, 1] - [-2, 2] = [1, -1].
  Mat X_pre(2, 1), X_post(1, 1);
  X_pre(0, 0) = 2.0;
  X_pre(1, 0) = 6.0;
  X_post(0, 0) = 5.0;
  const ScFit f = demeaned::fit_series(Vec{1.0, 3.0}, Vec{10.0}, X_pre, X_post, Units{7},
                                       FpOptions{});
  EXPECT_EQ(f.weights, Vec{1.0});
  EXPECT_EQ(f.donor_ids, Units{7});
  EXPECT_EQ(f.counterfactual, Vec{3.0});
  EXPECT_EQ(f.att_path, Vec{7.0});
  EXPECT_EQ(f.att, 7.0);
  EXPECT_EQ(f.pre_rmspe, 1.0);
  EXPECT_EQ(f.post_rmspe, 7.0);
}

TEST(DemeanedFit, RefusesPanelsWithoutTreatedOrDonorUnits) {
  const Mat y(3, 4);
  EXPECT_EQ(panic_text([&] { demeaned::fit_at(Panel::block(y, Units{}, 2), 2, {}); }),
            "no treated units");
  EXPECT_EQ(panic_text([&] { demeaned::fit_at(Panel::block(y, Units{0, 1, 2}, 2), 2, {}); }),
            "no donor (never-treated) units");
}

}  // namespace
