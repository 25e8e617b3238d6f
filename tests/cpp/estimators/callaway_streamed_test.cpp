// The streamed Callaway & Sant'Anna fit against the cell-wise one it
// replaces on complete panels without covariates, weights or clusters:
// every estimate, standard error, influence value and covariance entry must
// be the same double, across comparison groups, base periods, anticipation,
// event windows and panels longer than one streaming block.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/estimators/did/callaway.hpp"
#include "core/linalg/rng.hpp"

namespace {

using namespace quintara::estimators;
using did::AggEffect;
using quintara::linalg::Mat;
using quintara::linalg::Xoshiro256pp;

// Unbalanced cohorts (one of them treated from period 0, one adopting
// late and rare), never-treated units unless `never` is false, unit and
// period effects, growing effects and noise that makes every mean round.
Panel random_panel(std::uint64_t seed, std::size_t N, std::size_t T, bool never) {
  auto rng = Xoshiro256pp::make(seed);
  const std::vector<std::optional<std::size_t>> pool = {std::nullopt, 0, 2, 2, 2, 3, 5, 5, T - 1,
                                                        std::nullopt, 4};
  Mat y(N, T);
  TreatStarts start(N);
  for (std::size_t i = 0; i < N; ++i) {
    do {
      start[i] = pool[static_cast<std::size_t>(rng.next_f64() * pool.size()) % pool.size()];
    } while (!never && !start[i]);
    const double level = 10.0 * rng.next_f64() - 5.0;
    for (std::size_t t = 0; t < T; ++t) {
      const double effect = start[i] && t >= *start[i] ? 0.7 * double(t - *start[i] + 1) : 0.0;
      y(i, t) = level + 0.1 * double(t) + effect + rng.next_f64() - 0.5;
    }
  }
  return Panel::make(std::move(y), std::move(start));
}

void expect_same(std::span<const double> a, std::span<const double> b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << what << " unit " << i;
}

void expect_same(const std::vector<AggEffect>& a, const std::vector<AggEffect>& b,
                 const std::string& what, bool influences) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].key, b[k].key) << what;
    EXPECT_EQ(a[k].estimate, b[k].estimate) << what << " " << a[k].key;
    EXPECT_EQ(a[k].se, b[k].se) << what << " " << a[k].key;
    if (influences) expect_same(a[k].influence, b[k].influence, what);
  }
}

void expect_same(const std::optional<AggEffect>& a, const std::optional<AggEffect>& b,
                 const std::string& what, bool influences) {
  ASSERT_EQ(a.has_value(), b.has_value()) << what;
  if (a) {
    expect_same(std::vector<AggEffect>{*a}, std::vector<AggEffect>{*b}, what, influences);
  }
}

// `fast` streamed, `ref` cell-wise with every influence function stored.
void expect_same(const did::CsResult& fast, const did::CsResult& ref, bool influences) {
  ASSERT_EQ(fast.cells.size(), ref.cells.size());
  for (std::size_t r = 0; r < ref.cells.size(); ++r) {
    const did::GroupTimeAtt &f = fast.cells[r], &c = ref.cells[r];
    EXPECT_EQ(f.cohort, c.cohort);
    EXPECT_EQ(f.period, c.period);
    EXPECT_EQ(f.event_time, c.event_time);
    EXPECT_EQ(f.att, c.att) << "cell " << r;
    EXPECT_EQ(f.se, c.se) << "cell " << r;
    if (influences) expect_same(f.influence, c.influence, "cell " + std::to_string(r));
    if (!influences) {
      EXPECT_TRUE(f.influence.empty());
    }
  }
  expect_same(fast.event_study, ref.event_study, "event", influences);
  expect_same(fast.groups, ref.groups, "group", influences);
  expect_same(fast.calendar, ref.calendar, "calendar", influences);
  expect_same(fast.dynamic_overall, ref.dynamic_overall, "dynamic", influences);
  expect_same(fast.calendar_overall, ref.calendar_overall, "calendar overall", influences);
  if (influences) expect_same(fast.overall_influence, ref.overall_influence, "overall");
  EXPECT_EQ(fast.overall_att, ref.overall_att);
  EXPECT_EQ(fast.overall_se, ref.overall_se);
  EXPECT_EQ(fast.group_overall_att, ref.group_overall_att);
  EXPECT_EQ(fast.group_overall_se, ref.group_overall_se);

  ASSERT_TRUE(fast.event_cov.has_value());
  const Mat cov = did::influence_covariance(ref.event_study, {});
  ASSERT_EQ(fast.event_cov->rows, cov.rows);
  expect_same(fast.event_cov->data, cov.data, "event covariance");
}

TEST(CallawayStreamed, IsTheCellwiseFitBitForBit) {
  // 40000 units span three streaming blocks, the last one partial; 30
  // periods give dozens of event times, so many groups of covariance sums.
  const std::pair<std::size_t, std::size_t> shapes[] = {{37, 8}, {40000, 8}, {300, 30}};
  for (const auto& [N, T] : shapes) {
    for (const bool never : {true, false}) {
      const Panel panel = random_panel(N + (never ? 1 : 2), N, T, never);
      for (const bool not_yet : {false, true}) {
        if (!never && !not_yet) continue;
        for (const std::size_t d : {std::size_t{0}, std::size_t{1}}) {
          for (const bool varying : {false, true}) {
            SCOPED_TRACE("N=" + std::to_string(N) + " T=" + std::to_string(T) +
                         " never=" + std::to_string(never) + " notyet=" + std::to_string(not_yet) +
                         " d=" + std::to_string(d) + " varying=" + std::to_string(varying));
            const did::CsResult ref =
                did::fit_with_anticipation(panel, not_yet, d, varying, {}, did::EstMethod::Reg, {},
                                           {.cellwise = true, .complete = {}});
            // Told the panel is complete, or left to find out: the same fit.
            for (const std::optional<bool> known : {std::optional<bool>{}, std::optional(true)}) {
              for (const bool influences : {true, false}) {
                const did::CsResult fast =
                    did::fit_with_anticipation(panel, not_yet, d, varying, {}, did::EstMethod::Reg,
                                               {}, {.influences = influences, .complete = known});
                expect_same(fast, ref, influences);
              }
            }
          }
        }
      }
    }
  }
}

TEST(CallawayStreamed, KeepsTheEventWindowsOfTheCellwiseFit) {
  const Panel panel = random_panel(5, 300, 8, true);
  const std::vector<did::EventWindow> windows = {
      {-2, 3, std::nullopt}, {std::nullopt, std::nullopt, 2}, {0, std::nullopt, 1}, {9, 9, {}}};
  for (const did::EventWindow& w : windows) {
    for (const bool not_yet : {false, true}) {
      const did::CsResult ref = did::fit_with_anticipation(
          panel, not_yet, 0, true, {}, did::EstMethod::Reg, w, {.cellwise = true, .complete = {}});
      const did::CsResult fast =
          did::fit_with_anticipation(panel, not_yet, 0, true, {}, did::EstMethod::Reg, w);
      expect_same(fast, ref, true);
    }
  }
}

TEST(CallawayStreamed, FindsLateCohortsPastThePeriodTables) {
  // Adoption periods on both sides of 64 (the cohort bit set) and of 256
  // (the class table): every unit must still land in its own cohort. Ten
  // classes: more than one vector of per-class entries.
  const std::size_t N = 40, T = 300;
  auto rng = Xoshiro256pp::make(11);
  const std::vector<std::optional<std::size_t>> pool = {std::nullopt, 3,   63,  64,  100,
                                                        150,          200, 255, 256, 290};
  Mat y(N, T);
  TreatStarts start(N);
  for (std::size_t i = 0; i < N; ++i) {
    start[i] = pool[i % pool.size()];
    for (std::size_t t = 0; t < T; ++t) {
      y(i, t) = (start[i] && t >= *start[i] ? 1.0 : 0.0) + rng.next_f64();
    }
  }
  const Panel panel = Panel::make(std::move(y), std::move(start));
  EXPECT_EQ(panel.cohorts(), (std::vector<std::size_t>{3, 63, 64, 100, 150, 200, 255, 256, 290}));
  const did::CsResult ref = did::fit_with_anticipation(
      panel, true, 0, false, {}, did::EstMethod::Reg, {}, {.cellwise = true, .complete = {}});
  const did::CsResult fast = did::fit_with_anticipation(panel, true, 0, false);
  expect_same(fast, ref, true);
  ASSERT_EQ(fast.groups.size(), 9u);
  for (std::size_t k = 0; k < 9; ++k) EXPECT_EQ(fast.groups[k].key, *pool[k + 1]);
}

}  // namespace
