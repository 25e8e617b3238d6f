#include "core/geo/selection.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <iterator>
#include <limits>
#include <set>
#include <utility>

#include "core/geo/diagnostics.hpp"
#include "core/geo/local_search.hpp"
#include "core/geo/power.hpp"
#include "core/geo/shared_evaluate.hpp"
#include "core/geo/shared_grams.hpp"
#include "core/geo/sized_search.hpp"
#include "core/geo/types.hpp"
#include "core/linalg/rng.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::geo {

namespace {

// A 128-bit unsigned integer, a GCC and Clang extension; __extension__ keeps
// -Wpedantic quiet about it.
__extension__ typedef unsigned __int128 U128;

using Set = std::vector<std::size_t>;

Set sorted_unique(Set v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

// The entries of ascending `v` not in `drop` (any order, repeats allowed).
Set without(const Set& v, Set drop) {
  drop = sorted_unique(std::move(drop));
  Set out;
  std::set_difference(v.begin(), v.end(), drop.begin(), drop.end(), std::back_inserter(out));
  return out;
}

// n * factor, saturating: a huge n_candidates must not wrap the limit to a
// small number.
std::uint64_t attempt_limit(std::size_t n, std::uint64_t factor) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  return n > max / factor ? max : static_cast<std::uint64_t>(n) * factor;
}

// How many distinct sets of `lo` to `hi` markets a pool of p holds, counted
// up to `cap`. A random search stops once it has found them all: every later
// pass could only repeat one, and a small pool would otherwise keep drawing
// until the attempt limit, which a huge n_candidates puts out of reach.
std::size_t distinct_sets(std::size_t p, std::size_t lo, std::size_t hi, std::size_t cap) {
  U128 total = 0, c = 1;  // c = C(p, s)
  for (std::size_t s = 0; s <= hi && s <= p; ++s) {
    if (s >= lo) {
      total += c;
      if (total >= cap) return cap;
    }
    c = c * (p - s) / (s + 1);
  }
  return static_cast<std::size_t>(total);
}

// The candidates in production order, with the seen-set that drops repeats.
class CandidateList {
 public:
  explicit CandidateList(const SelectionSettings& s) : settings_(s) {}

  void offer(Set c) {
    std::sort(c.begin(), c.end());
    // Empty only with no include set and nothing drawn from an empty pool.
    if (c.empty() || !seen_.insert(c).second || !settings_.affordable(c)) return;
    sets_.push_back(std::move(c));
  }
  std::size_t size() const { return sets_.size(); }
  std::vector<Set> take() { return std::move(sets_); }

 private:
  const SelectionSettings& settings_;
  std::set<Set> seen_;
  std::vector<Set> sets_;
};

// The include set plus the markets of [first, last).
Set with_markets(const Set& include, Set::const_iterator first, Set::const_iterator last) {
  Set c = include;
  c.insert(c.end(), first, last);
  return c;
}

// Random passes until `wanted` candidates exist or `limit` passes were made.
// Each pass calls size_draw() first (how many shuffled markets to take), then
// shuffles a fresh copy of the sorted pool; a pass counts whether or not its
// set was new. The stream's gen_range is the multiply-high draw that rejects
// low words below (2^64 - n) mod n, and its shuffle is Fisher-Yates from the
// back (position i - 1 swapped with a draw in [0, i)): the sets depend on both.
template <class SizeDraw>
void random_search(CandidateList& out, const Set& include, const Set& pool, std::size_t wanted,
                   std::uint64_t limit, linalg::Xoshiro256pp& rng, SizeDraw size_draw) {
  for (std::uint64_t attempts = 0; out.size() < wanted && attempts < limit; ++attempts) {
    const std::size_t take = std::min<std::size_t>(size_draw(), pool.size());
    Set shuffled = pool;
    rng.shuffle(shuffled);
    out.offer(with_markets(include, shuffled.begin(),
                           shuffled.begin() + static_cast<std::ptrdiff_t>(take)));
  }
}

// include + {m} for every pool market m, in pool order.
void single_additions(CandidateList& out, const Set& include, const Set& pool) {
  for (auto it = pool.begin(); it != pool.end(); ++it) out.offer(with_markets(include, it, it + 1));
}

}  // namespace

CandidatePool candidate_pool(const SelectionSettings& s) {
  CandidatePool out;
  out.include = sorted_unique(s.include);
  Set drop = s.exclude;
  drop.insert(drop.end(), out.include.begin(), out.include.end());
  out.pool = without(sorted_unique(s.eligible), std::move(drop));
  return out;
}

std::vector<Set> candidate_sets(const SelectionSettings& s) {
  if (s.search == Search::Sized) return sized_candidate_sets(s);
  const auto [include, pool] = candidate_pool(s);
  const std::size_t k = include.size(), p = pool.size();
  linalg::Xoshiro256pp rng = linalg::Xoshiro256pp::make(s.seed);
  CandidateList out(s);

  if (!s.exact_size) {
    if (k > 0) out.offer(include);
    if (k < s.max_treated) single_additions(out, include, pool);
    const std::size_t room = s.max_treated > k ? s.max_treated - k : 0;
    if (room > 1 && p > 1) {
      // The size is drawn before the shuffle, on every pass: 2 <= size <= room.
      // The random sets are larger than those above, so all of them are new.
      const std::size_t wanted = std::min(
          s.n_candidates, out.size() + distinct_sets(p, 2, std::min(room, p), s.n_candidates));
      random_search(out, include, pool, wanted, attempt_limit(s.n_candidates, 20), rng,
                    [&] { return 2 + static_cast<std::size_t>(rng.gen_range(room - 1)); });
    }
    return out.take();
  }

  const std::size_t exact = std::max<std::size_t>(*s.exact_size, 1);
  QUINTARA_ASSERT(k <= exact, "candidate_sets: include larger than exact_size");
  const std::size_t need = exact - k;
  if (need == 0) {
    out.offer(include);
  } else if (need == 1) {
    single_additions(out, include, pool);
  } else {
    // An empty set is never offered: with no include set and an empty pool
    // there is nothing to find.
    const std::size_t take = std::min(need, p);
    const std::size_t reachable =
        take == 0 && k == 0 ? 0 : distinct_sets(p, take, take, s.n_candidates);
    random_search(out, include, pool, std::min(s.n_candidates, reachable),
                  attempt_limit(s.n_candidates, 40), rng, [&] { return need; });
  }
  return out.take();
}

std::vector<double> selection_lifts(double target_lift) {
  return {0.0, 0.5 * target_lift, target_lift, 1.5 * target_lift, 2.0 * target_lift};
}

double candidate_score(double power_at_target, double confidence, std::optional<double> mde_pct) {
  // By the MDE's magnitude: a go-dark design's MDE is negative, and a
  // smaller decrease is the better design as a smaller increase is.
  const double bonus = mde_pct ? 0.05 / (1.0 + std::fabs(*mde_pct)) : 0.0;
  return power_at_target * (0.5 + confidence * 0.005) + bonus;
}

std::vector<std::size_t> fit_rows(std::size_t n_units, std::span<const std::size_t> treated_sorted,
                                  const SelectionSettings& s) {
  Set controls;
  if (s.control_pool) {
    controls = sorted_unique(*s.control_pool);
  } else {
    controls.resize(n_units);
    for (std::size_t i = 0; i < n_units; ++i) controls[i] = i;
  }
  Set drop = s.exclude;
  drop.insert(drop.end(), treated_sorted.begin(), treated_sorted.end());
  Set rows = without(controls, std::move(drop));
  rows.insert(rows.end(), treated_sorted.begin(), treated_sorted.end());
  std::sort(rows.begin(), rows.end());
  return rows;
}

namespace {

MarketCandidate evaluate_rows(const linalg::Mat& y, std::span<const std::size_t> treated_sorted,
                              const SelectionSettings& s);

}  // namespace

MarketCandidate scored_candidate(const PowerResult& curve, const Diagnostics& d,
                                 std::span<const std::size_t> treated_sorted, double target_lift) {
  MarketCandidate c;
  // The first point within 1e-12 of the target (the third for any target
  // lift of at least 2e-12); a tiny target may match an earlier point.
  for (const PowerPoint& point : curve.points) {
    if (std::fabs(point.lift - target_lift) < 1e-12) {
      c.power_at_target = point.power;
      break;
    }
  }
  c.mde_pct = curve.mde_pct;
  c.treated.assign(treated_sorted.begin(), treated_sorted.end());
  c.holdout_pct = d.holdout_pct;
  c.pre_fit_rel = d.pre_fit_rel;
  c.stability_score = d.stability_score;
  c.confidence = d.confidence;
  c.score = candidate_score(c.power_at_target, d.confidence, c.mde_pct);
  return c;
}

MarketCandidate evaluate(const linalg::Mat& y, std::span<const std::size_t> treated_sorted,
                         const SelectionSettings& s) {
  if (s.exclude.empty() && !s.control_pool) return evaluate_rows(y, treated_sorted, s);
  const Set rows = fit_rows(y.rows, treated_sorted, s);
  linalg::Mat sub(rows.size(), y.cols);
  Set treated;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t j = 0; j < y.cols; ++j) sub(r, j) = y(rows[r], j);
    if (std::binary_search(treated_sorted.begin(), treated_sorted.end(), rows[r])) {
      treated.push_back(r);
    }
  }
  MarketCandidate c = evaluate_rows(sub, treated, s);
  c.treated.assign(treated_sorted.begin(), treated_sorted.end());
  return c;
}

namespace {

MarketCandidate evaluate_rows(const linalg::Mat& y, std::span<const std::size_t> treated_sorted,
                              const SelectionSettings& s) {
  const std::vector<double> lifts = selection_lifts(s.target_lift);
  const PowerResult curve =
      power_curve(y, treated_sorted, s.test_len, s.min_pre, lifts, s.method, s.alpha,
                  s.target_power, s.lookback, s.min_weight, s.max_weight, s.alternative);
  return scored_candidate(curve, diagnostics(y, treated_sorted, s.test_len), treated_sorted,
                          s.target_lift);
}

}  // namespace

namespace {

// Best first: a higher score under the IEEE total order.
bool ranks_before(double a, double b) {
  return std::strong_order(a, b) == std::strong_ordering::greater;
}

}  // namespace

Evaluator::Evaluator(const linalg::Mat& y, const SelectionSettings& s) : y_(y), settings_(s) {
  if (s.solver != Solver::Shared || !shares_grams(s.method)) return;
  const std::vector<std::size_t> windows = window_set(y.cols, s.test_len, s.min_pre, s.lookback);
  // A window set the curve would refuse is left to the refit path's checks.
  if (windows.empty() || s.test_len < 1 || s.test_len >= y.cols) return;
  grams_ = std::make_unique<const SharedGrams>(shared_grams(y, windows, s.test_len, s.method));
}

Evaluator::~Evaluator() = default;

MarketCandidate Evaluator::operator()(std::span<const std::size_t> treated_sorted) const {
  if (grams_) return evaluate_shared(y_, *grams_, treated_sorted, settings_);
  return evaluate(y_, treated_sorted, settings_);
}

std::vector<MarketCandidate> Evaluator::all(const std::vector<Set>& sets) const {
  // Each candidate is one task; a refit's power curve opens its own loops
  // on the same pool.
  return parallel::parallel_map<MarketCandidate>(sets.size(),
                                                 [&](std::size_t i) { return (*this)(sets[i]); });
}

std::vector<MarketCandidate> evaluate_all(const linalg::Mat& y, const std::vector<Set>& sets,
                                          const SelectionSettings& settings) {
  return Evaluator(y, settings).all(sets);
}

std::vector<std::size_t> rank_order(std::span<const double> scores) {
  std::vector<std::size_t> order(scores.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return ranks_before(scores[a], scores[b]);
  });
  return order;
}

void rank_candidates(std::vector<MarketCandidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const MarketCandidate& a, const MarketCandidate& b) {
                     return ranks_before(a.score, b.score);
                   });
}

std::vector<MarketCandidate> select_markets(const linalg::Mat& y,
                                            const SelectionSettings& settings) {
  const Evaluator evaluator(y, settings);
  std::vector<MarketCandidate> out = evaluator.all(candidate_sets(settings));
  rank_candidates(out);
  if (settings.swaps > 0) {
    std::vector<MarketCandidate> more = swap_search(evaluator, out, settings.swaps);
    std::move(more.begin(), more.end(), std::back_inserter(out));
    rank_candidates(out);
  }
  return out;
}

}  // namespace quintara::geo
