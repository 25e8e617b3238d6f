// The shared-matrix scoring of market selection against the refit path it
// replaces (the oracle): the same candidates, scores, powers and MDEs on
// seeded panels, with exclusions, a control pool, weight bounds and both
// methods; and the pieces it rests on (principal Gram columns, the
// controls' time Gram, warm-started solves).
#include "core/geo/shared_evaluate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <tuple>
#include <vector>

#include "../support.hpp"
#include "core/geo/power.hpp"
#include "core/geo/shared_grams.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/gram_columns.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/rng.hpp"

namespace quintara::geo {
namespace {

using Set = std::vector<std::size_t>;
using estimators::sc::Method;

SelectionSettings base(Method method) {
  SelectionSettings s;
  s.method = method;
  s.test_len = 3;
  s.lookback = 8;
  s.min_pre = 2;
  s.target_lift = 0.04;
  return s;
}

void expect_same_candidate(const MarketCandidate& a, const MarketCandidate& b, const char* what) {
  EXPECT_EQ(a.treated, b.treated) << what;
  EXPECT_EQ(a.power_at_target, b.power_at_target) << what;
  ASSERT_EQ(a.mde_pct.has_value(), b.mde_pct.has_value()) << what;
  if (a.mde_pct) {
    EXPECT_NEAR(*a.mde_pct, *b.mde_pct, 1e-9) << what;
  }
  EXPECT_NEAR(a.score, b.score, 1e-10) << what;
  EXPECT_NEAR(a.confidence, b.confidence, 1e-8) << what;
  EXPECT_NEAR(a.pre_fit_rel, b.pre_fit_rel, 1e-9) << what;
  EXPECT_NEAR(a.holdout_pct, b.holdout_pct, 1e-14) << what;
}

struct Variant {
  const char* name;
  Method method;
  Set exclude;
  std::optional<Set> control_pool;
  double min_weight, max_weight;
};

TEST(SharedEvaluate, MatchesTheRefitOnEveryVariant) {
  const Variant variants[] = {
      {"sdid", Method::Sdid, {}, std::nullopt, 0.0, 1.0},
      {"sc", Method::Sc, {}, std::nullopt, 0.0, 1.0},
      {"sdid excluding", Method::Sdid, {4, 9}, std::nullopt, 0.0, 1.0},
      {"sc with a pool", Method::Sc, {}, Set{0, 2, 5, 6, 7, 8, 10, 11, 12, 13}, 0.0, 1.0},
      {"sdid with a pool", Method::Sdid, {13}, Set{1, 3, 5, 7, 8, 9, 10, 11, 12, 13}, 0.0, 1.0},
      {"sdid capped", Method::Sdid, {}, std::nullopt, 0.0, 0.3},
      {"sc floored", Method::Sc, {}, std::nullopt, 0.02, 1.0},
  };
  const Set sets[] = {{0}, {5}, {1, 2}, {0, 6, 11}, {2, 3, 6, 12}, {0, 1, 5, 6, 8}};
  // Fewer markets than periods, and (the last) more: SC's singular Gram
  // matrices, where a warm start needs its uniqueness test.
  const std::tuple<std::size_t, std::size_t, std::uint64_t> panels[] = {
      {14, 30, 3}, {14, 30, 17}, {24, 16, 9}};
  for (const auto& [n_markets, n_periods, seed] : panels) {
    const linalg::Mat y = test::market_panel(n_markets, n_periods, seed);
    for (const Variant& v : variants) {
      SelectionSettings s = base(v.method);
      s.exclude = v.exclude;
      s.control_pool = v.control_pool;
      s.min_weight = v.min_weight;
      s.max_weight = v.max_weight;
      const SharedGrams grams = shared_grams(
          y, window_set(y.cols, s.test_len, s.min_pre, s.lookback), s.test_len, s.method);
      for (const Set& set : sets) {
        bool clash = false;
        for (const std::size_t i : set) {
          for (const std::size_t e : v.exclude) clash = clash || i == e;
        }
        if (clash) continue;
        expect_same_candidate(evaluate_shared(y, grams, set, s), evaluate(y, set, s), v.name);
      }
    }
  }
}

// Methods without a shared path refit, bit for bit. (That a search with the
// shared solver ranks as the refit does is checked through geo_select.)
TEST(SharedEvaluate, TheEvaluatorRefitsMethodsWithoutASharedPath) {
  const linalg::Mat y = test::market_panel(12, 28, 5);
  SelectionSettings s = base(Method::Fp);
  s.solver = Solver::Shared;
  const Set set{1, 4};
  EXPECT_EQ(Evaluator(y, s)(set).score, evaluate(y, set, s).score);
}

TEST(SharedGrams, PrincipalColumnsAndTheControlsTimeGram) {
  const linalg::Mat y = test::market_panel(9, 16, 11);
  const SharedGrams g = shared_grams(y, {{10, 11, 12}}, 3, Method::Sdid);
  ASSERT_EQ(g.span, 15u);
  // A principal submatrix read lazily is the copied block, entry for entry.
  const Set idx{1, 4, 5, 8};
  linalg::GramColumns cols = linalg::GramColumns::principal(g.unit[0], idx);
  for (std::size_t j = 0; j < idx.size(); ++j) {
    EXPECT_EQ(cols.diag(j), g.unit[0](idx[j], idx[j]));
    for (std::size_t i = 0; i < idx.size(); ++i) {
      EXPECT_EQ(cols.col(j)[i], g.unit[0](idx[i], idx[j]));
    }
  }
  // Both branches (the controls summed, or everything downdated) against the
  // centred product formed directly.
  for (const Set& controls : {Set{0, 2, 7}, Set{0, 1, 2, 3, 5, 6, 7, 8}}) {
    const linalg::Mat K = control_time_gram(g, controls);
    linalg::Mat A(controls.size(), g.span);
    for (std::size_t t = 0; t < g.span; ++t) {
      double mu = 0.0;
      for (const std::size_t j : controls) mu += y(j, t);
      mu /= static_cast<double>(controls.size());
      for (std::size_t k = 0; k < controls.size(); ++k) A(k, t) = y(controls[k], t) - mu;
    }
    const linalg::Mat direct = linalg::syrk_ata(A);
    for (std::size_t u = 0; u < g.span; ++u) {
      for (std::size_t t = 0; t < g.span; ++t) {
        EXPECT_NEAR(K(t, u), direct(t, u), 1e-10 * (1.0 + std::fabs(direct(t, u))));
        EXPECT_EQ(K(t, u), K(u, t));
      }
    }
  }
}

// A candidate's time weights begun at the window's all-market weights end
// at the minimiser of a cold reference solve, for control sets leaving out
// a few markets.
TEST(SharedGrams, TheAllMarketTimeStartReachesEachCandidatesMinimiser) {
  for (const std::uint64_t seed : {4u, 23u}) {
    const linalg::Mat y = test::market_panel(40, 34, seed);
    const Set windows{18, 22, 26, 30};
    const SharedGrams g = shared_grams(y, windows, 3, Method::Sdid);
    ASSERT_EQ(g.time_start.size(), windows.size());
    auto rng = linalg::Xoshiro256pp::make(seed);
    for (std::size_t rep = 0; rep < 6; ++rep) {
      Set controls;
      for (std::size_t j = 0; j < y.rows; ++j) controls.push_back(j);
      for (std::size_t k = 0; k <= rep % 5; ++k) {
        controls.erase(controls.begin() +
                       static_cast<std::ptrdiff_t>(rng.gen_range(controls.size())));
      }
      const linalg::Mat K = control_time_gram(g, controls);
      for (std::size_t w = 0; w < windows.size(); ++w) {
        const std::size_t t0 = windows[w];
        const std::vector<double> cold = time_weights(K, t0, 3, {}, linalg::QpPath::kReference);
        const std::vector<double> warm =
            time_weights(K, t0, 3, g.time_start[w], linalg::QpPath::kFast);
        ASSERT_EQ(warm.size(), t0);
        for (std::size_t t = 0; t < t0; ++t) EXPECT_NEAR(warm[t], cold[t], 1e-9) << t;
      }
    }
  }
}

// A start off the simplex is ignored: the cold solve, bit for bit. (Warm
// starts that reach the cold minimiser are checked with the simplex solver.)
TEST(ActiveSet, AStartOffTheSimplexIsIgnored) {
  auto rng = linalg::Xoshiro256pp::make(7);
  for (int rep = 0; rep < 40; ++rep) {
    const std::size_t n = 6 + static_cast<std::size_t>(rng.gen_range(20));
    const std::size_t m = 3 + static_cast<std::size_t>(rng.gen_range(30));
    linalg::Mat X(m, n);
    std::vector<double> y(m);
    for (double& v : X.data) v = rng.next_f64() - 0.5;
    for (double& v : y) v = rng.next_f64() - 0.5;
    const linalg::Mat G = linalg::syrk_ata(X);
    std::vector<double> b(n, 0.0);
    linalg::gemv_t(X, y, b, 1.0, 0.0);
    const double ridge = rep % 2 == 0 ? 0.0 : 0.05;
    const double hi = rep % 3 == 0 ? 0.4 : 1.0;
    linalg::GramColumns c1(G), c3(G);
    const auto cold = linalg::solve_simplex_qp(c1, b, ridge, 0.0, hi);
    const auto ignored =
        linalg::solve_simplex_qp(c3, b, ridge, 0.0, hi, std::vector<double>(n, 0.5));
    EXPECT_EQ(ignored.weights, cold.weights);
  }
}

}  // namespace
}  // namespace quintara::geo
