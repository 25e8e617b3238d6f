// Market selection: search for candidate treated-market sets and rank them.
//
// Candidates are produced sequentially from one random stream (the included
// markets alone, every single addition from the pool, then random sets drawn
// from the pool until enough distinct sets exist or an attempt limit is
// reached), so the list depends only on the settings and the seed. Each
// candidate is then scored by its own power curve at the target lift and its
// design diagnostics; candidates are evaluated in parallel and each power
// curve opens nested loops on the same pool, so results are identical for any
// number of workers. The ranking is a stable sort by score, best first.
// Generation, evaluation and ranking are also reachable one by one, so that
// the evaluation can be split across processes and merged to the same list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/sc/method.hpp"
#include "core/geo/curve.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

// How the candidate sets are produced: Random is the search described
// above; Sized counts the budget across the requested sizes
// (sized_search.hpp).
enum class Search { Random, Sized };

// How candidates are scored: Refit fits every window of every candidate
// from its copied block; Shared poses the same fits from matrices formed
// once per search (shared_evaluate.hpp), for SDID and SC (other methods
// refit). The two agree to rounding.
enum class Solver { Refit, Shared };

// One search request, read-only once built. Index lists may hold repeats and
// need not be sorted; the search sorts and de-duplicates them.
struct SelectionSettings {
  std::optional<std::size_t> exact_size;  // every candidate this size (0 counts as 1)
  std::optional<std::size_t> lookback;    // passed to the power curve
  std::vector<std::size_t> eligible;      // markets that may be added
  std::vector<std::size_t> include;       // markets forced into every candidate
  std::vector<std::size_t> exclude;       // markets neither treated nor controls
  // The only markets a candidate's fits use as controls, when given; every
  // market neither excluded nor in the candidate otherwise.
  std::optional<std::vector<std::size_t>> control_pool;
  std::size_t max_treated = 1;  // largest size when exact_size is absent
  std::size_t test_len = 1;
  double target_lift = 0.05;  // fraction at which power is read
  double alpha = 0.1;
  double target_power = 0.8;
  std::size_t min_pre = 2;  // effective pre-window length
  std::size_t n_candidates = 200;
  std::uint64_t seed = 0;
  double min_weight = 0.0;
  double max_weight = 1.0;
  estimators::sc::Method method = estimators::sc::Method::Sdid;
  Search search = Search::Random;
  // Extra evaluations spent improving the best candidate by single swaps
  // (local_search.hpp) before the final ranking; 0 for none.
  std::size_t swaps = 0;
  Alternative alternative = Alternative::TwoSided;  // of every candidate's detection test
  Solver solver = Solver::Refit;
  // With a budget, a set's required investment is the sum of its markets'
  // costs (one per market, caller's units); sets above the budget are never
  // proposed.
  std::optional<double> budget;
  std::vector<double> market_cost;

  bool affordable(std::span<const std::size_t> set) const {
    if (!budget) return true;
    double cost = 0.0;
    for (const std::size_t i : set) cost += market_cost[i];
    return cost <= *budget;
  }
};

// One evaluated set.
struct MarketCandidate {
  std::optional<double> mde_pct;     // of the candidate's power curve
  std::vector<std::size_t> treated;  // ascending, no repeats
  double power_at_target = 0.0;
  double holdout_pct = 0.0, pre_fit_rel = 0.0;  // from the diagnostics
  double stability_score = 0.0, confidence = 0.0;
  double score = 0.0;
};

// The include set and the pool the searches add markets from: the eligible
// markets neither included nor excluded; both ascending, without repeats.
struct CandidatePool {
  std::vector<std::size_t> include;
  std::vector<std::size_t> pool;
};
CandidatePool candidate_pool(const SelectionSettings& settings);

// The candidate sets in production order, each ascending, all distinct, none
// empty. Pure: no fitting, so the search is testable on its own.
std::vector<std::vector<std::size_t>> candidate_sets(const SelectionSettings& settings);

// The lifts every candidate's curve is read at: 0, t/2, t, 3t/2, 2t.
std::vector<double> selection_lifts(double target_lift);

// Power at the target times a confidence factor in [0.5, 1], plus a small
// bonus for a smaller minimal detectable effect (by magnitude: a go-dark
// design's is negative).
double candidate_score(double power_at_target, double confidence, std::optional<double> mde_pct);

// The rows a candidate's fits see: the candidate and its controls,
// ascending. Every row when nothing is excluded and no control pool is set.
std::vector<std::size_t> fit_rows(std::size_t n_units, std::span<const std::size_t> treated_sorted,
                                  const SelectionSettings& settings);

// Scores one candidate set (ascending, no repeats, leaving a donor) on the
// rows fit_rows gives, so that excluded markets and markets outside the
// control pool never enter its fits or diagnostics. The settings must have
// passed the entry's checks.
MarketCandidate evaluate(const linalg::Mat& y, std::span<const std::size_t> treated_sorted,
                         const SelectionSettings& settings);

struct SharedGrams;
struct Diagnostics;

// The candidate record from its power curve and diagnostics: power read at
// the target lift, the MDE, the diagnostics' numbers and the score.
MarketCandidate scored_candidate(const PowerResult& curve, const Diagnostics& diagnostics,
                                 std::span<const std::size_t> treated_sorted, double target_lift);

// Scores the candidates of one search on y, which must outlive it, with the
// settings' solver: for Shared, the shared matrices are formed once, here,
// and read by every call (safe from several workers at once).
class Evaluator {
 public:
  Evaluator(const linalg::Mat& y, const SelectionSettings& settings);
  ~Evaluator();
  Evaluator(const Evaluator&) = delete;
  Evaluator& operator=(const Evaluator&) = delete;

  // evaluate(y, treated_sorted, settings), or its shared counterpart.
  MarketCandidate operator()(std::span<const std::size_t> treated_sorted) const;
  // Every set, in parallel; results in set order.
  std::vector<MarketCandidate> all(const std::vector<std::vector<std::size_t>>& sets) const;
  const linalg::Mat& panel() const { return y_; }
  const SelectionSettings& settings() const { return settings_; }

 private:
  const linalg::Mat& y_;
  const SelectionSettings& settings_;
  std::unique_ptr<const SharedGrams> grams_;
};

// Scores every set, in parallel; results in set order.
std::vector<MarketCandidate> evaluate_all(const linalg::Mat& y,
                                          const std::vector<std::vector<std::size_t>>& sets,
                                          const SelectionSettings& settings);

// The ranking order: indices of `scores`, highest score first under the IEEE
// total order, equal scores in index order (a stable sort).
std::vector<std::size_t> rank_order(std::span<const double> scores);

// Stable sort by score, highest first under the IEEE total order; equal
// scores keep their order. The same order as rank_order.
void rank_candidates(std::vector<MarketCandidate>& candidates);

// Every distinct candidate the search produced, evaluated, best first.
std::vector<MarketCandidate> select_markets(const linalg::Mat& y,
                                            const SelectionSettings& settings);

}  // namespace quintara::geo
