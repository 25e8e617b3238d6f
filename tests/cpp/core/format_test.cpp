// Number formatting inside messages and reprs (the non-finite and small
// values are pinned through the validator messages).
#include "core/format.hpp"

#include <gtest/gtest.h>

using quintara::format;
using quintara::format_float_debug;
using quintara::format_shortest;

TEST(Format, ShortestRoundTripPositional) {
  EXPECT_EQ(format_shortest(1.0), "1");
  EXPECT_EQ(format_shortest(0.1), "0.1");
  EXPECT_EQ(format_shortest(-0.0), "-0");
  EXPECT_EQ(format_shortest(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(format_shortest(1e21), "1000000000000000000000");
  EXPECT_EQ(format_shortest(5e-324).size(), 326u);  // "0." then 323 zeros and "5"
}

TEST(Format, PlaceholdersAndPrecision) {
  EXPECT_EQ(format("{} and {}", 3, 2.5), "3 and 2.5");
  EXPECT_EQ(format("{:.4}", 1.5), "1.5000");
  EXPECT_EQ(format("{:.4} (= 1/{1})", 1.0 / 3.0, std::size_t{3}), "0.3333 (= 1/3)");
  EXPECT_EQ(format("[1, {}) (panel has {0} periods); got {}", 10, 12),
            "[1, 10) (panel has 10 periods); got 12");
  EXPECT_EQ(format("{:.0}|{:.1}%", 72.5, 12.5), "72|12.5%");  // ties round to even
  EXPECT_EQ(format("{{literal}} {}", "x"), "{literal} x");
  EXPECT_EQ(format("{}", -7), "-7");
}

TEST(Format, DebugFloatAlwaysShowsThePoint) {
  EXPECT_EQ(format_float_debug(1.0), "1.0");
  EXPECT_EQ(format_float_debug(0.05), "0.05");
  EXPECT_EQ(format_float_debug(1e-7), "1e-7");
  EXPECT_EQ(format_float_debug(1.5e16), "1.5e16");
}
