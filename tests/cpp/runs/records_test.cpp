// The __repr__ templates of the eight result classes. Most of these records
// cannot be produced from Python until their estimators exist, so their
// texts are pinned here on hand-built records.
#include "core/runs/records.hpp"

#include <gtest/gtest.h>

using namespace quintara::runs;

TEST(Repr, ScResultWithAndWithoutPValue) {
  PyScResult r;
  r.att = 1.2345678;
  r.pre_rmspe = 0.1;
  r.post_rmspe = 2.0;
  r.donor_ids = {4, 5, 6};
  EXPECT_EQ(repr(r), "SCResult(att=1.234568, pre_rmspe=0.1000, post_rmspe=2.0000, n_donors=3)");
  r.p_value = 0.05;
  EXPECT_EQ(repr(r),
            "SCResult(att=1.234568, p=0.0500, pre_rmspe=0.1000, post_rmspe=2.0000, n_donors=3)");
}

TEST(Repr, DidCpascAndBacon) {
  PyDidResult d;
  d.att = -0.5;
  d.se = 0.125;
  d.event_time = {-2, 0, 1};
  EXPECT_EQ(repr(d), "DiDResult(att=-0.500000, se=0.125000, n_event_times=3)");

  PyCpascResult c;
  c.att = 2.0;
  c.p_value = 0.25;
  c.unit_ids = {1, 2};
  EXPECT_EQ(repr(c), "CPASCResult(att=2.000000, p=0.2500, n_treated=2)");

  PyBaconComponent k;
  k.kind = "treated_vs_untreated";
  k.treated_cohort = 2;
  k.weight = 0.5;
  k.estimate = 1.25;
  EXPECT_EQ(repr(k),
            "BaconComponent(kind=treated_vs_untreated, treated=2, comparison=None, "
            "weight=0.5000, estimate=1.2500)");
  k.comparison_cohort = 3;
  EXPECT_EQ(repr(k),
            "BaconComponent(kind=treated_vs_untreated, treated=2, comparison=Some(3), "
            "weight=0.5000, estimate=1.2500)");

  PyBaconResult b;
  b.twfe = 1.0;
  b.forbidden_weight = 0.125;
  b.components = {k, k};
  EXPECT_EQ(repr(b), "BaconResult(twfe=1.000000, forbidden_weight=0.1250, n_components=2)");
}

TEST(Repr, GeoRecords) {
  PyPowerResult p;
  p.method = "sdid";
  p.n_windows = 7;
  EXPECT_EQ(repr(p), "PowerResult(method=sdid, mde_pct=None, n_windows=7)");
  p.mde_pct = 0.05;
  EXPECT_EQ(repr(p), "PowerResult(method=sdid, mde_pct=Some(0.05), n_windows=7)");
  p.mde_pct = 1.0;  // integral values keep their decimal point
  EXPECT_EQ(repr(p), "PowerResult(method=sdid, mde_pct=Some(1.0), n_windows=7)");

  PyGeoDiagnostics g;
  g.confidence = 81.7;
  g.holdout_pct = 0.125;
  g.warnings = {"a", "b"};
  EXPECT_EQ(repr(g), "GeoDiagnostics(confidence=82, holdout=12.5%, n_warnings=2)");

  PyMarketCandidate m;
  m.treated = {0, 4, 7};
  m.power_at_target = 0.8123;
  m.confidence = 64.0;
  m.score = 0.51234;
  EXPECT_EQ(repr(m), "MarketCandidate(treated=[0, 4, 7], power=0.81, confidence=64, score=0.512)");
  m.treated = {};
  EXPECT_EQ(repr(m), "MarketCandidate(treated=[], power=0.81, confidence=64, score=0.512)");
}
