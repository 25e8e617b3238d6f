// The method list: the two name rules (and the message of the runs' parse),
// the fixed options each caller family passes, and the position link between
// Method and ScMethod.
#include "core/estimators/sc/method.hpp"

#include <gtest/gtest.h>

#include <string>

#include "../support.hpp"
#include "core/runs/methods.hpp"

namespace {

using namespace quintara::estimators::sc;
using quintara::runs::parse_method;

constexpr Method kFitted[] = {Method::Sc, Method::Asc, Method::Sdid, Method::Fp, Method::Rsc};

std::string unknown(const std::string& name) {
  return quintara::test::message_of([&] { parse_method(name); });
}

TEST(Methods, NamesDisplayAndCaseRules) {
  EXPECT_EQ(method_from_name("sDiD"), Method::Sdid);
  EXPECT_EQ(method_from_name("dsc"), Method::Fp);
  EXPECT_EQ(method_from_name("FP"), Method::Fp);
  for (const char* bad : {"", " sc", "ensemble", "ENSEMBLE", "scx"}) {
    EXPECT_FALSE(method_from_name(bad).has_value()) << bad;
  }
  EXPECT_EQ(unknown(" sc"), "unknown method ' sc' (expected sc/asc/sdid/fp/rsc)");
  EXPECT_EQ(unknown(""), "unknown method '' (expected sc/asc/sdid/fp/rsc)");
  // The batched fits match exactly: no case folding, no alias.
  EXPECT_EQ(method_from_exact_name("asc"), Method::Asc);
  for (const char* bad : {"SC", "dsc", ""}) EXPECT_FALSE(method_from_exact_name(bad)) << bad;

  std::string shown;
  for (int m = 0; m <= static_cast<int>(Method::Ensemble); ++m) {
    shown += std::string(display_name(static_cast<Method>(m))) + " ";
  }
  EXPECT_EQ(shown, "SC ASC SDID FP RSC ENSEMBLE ");
}

TEST(Methods, OptionsRunTheNamedEstimator) {
  for (const Method m : kFitted) {
    EXPECT_EQ(method_of(geo_method(m, 0.0, 1.0)), m);
    EXPECT_EQ(method_of(batch_method(m, 0.0, 1.0, 0.0, 1.0)), m);
  }
  // The option values themselves are checked end to end: fit_many against
  // the single-fit entries, geo_power against refits with the geo options.
}

TEST(Methods, EnsembleIsNeverFitted) {
  const std::string msg =
      "internal error: entered unreachable code: Ensemble is combined across methods, not a "
      "single fit";
  EXPECT_EQ(quintara::test::panic_text([] { geo_method(Method::Ensemble, 0.0, 1.0); }), msg);
  EXPECT_EQ(quintara::test::panic_text([] { batch_method(Method::Ensemble, 0, 1, 0, 1); }), msg);
}

}  // namespace
