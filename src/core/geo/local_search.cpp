#include "core/geo/local_search.hpp"

#include <algorithm>
#include <compare>
#include <iterator>
#include <set>

#include "core/parallel/pool.hpp"

namespace quintara::geo {

namespace {

using Set = std::vector<std::size_t>;

bool beats(double a, double b) { return std::strong_order(a, b) == std::strong_ordering::greater; }

// The unscored neighbours of `centre`, in lexicographic order of the
// (removed, added) pair; with a budget, only the affordable ones, as the
// searches never propose a set above it.
std::vector<Set> neighbours(const Set& centre, const Set& include, const Set& pool,
                            const std::set<Set>& seen, const SelectionSettings& s) {
  std::vector<Set> out;
  for (const std::size_t r : centre) {
    if (std::binary_search(include.begin(), include.end(), r)) continue;
    for (const std::size_t m : pool) {
      if (std::binary_search(centre.begin(), centre.end(), m)) continue;
      Set c;
      for (const std::size_t i : centre) {
        if (i != r) c.push_back(i);
      }
      c.insert(std::upper_bound(c.begin(), c.end(), m), m);
      if (!seen.contains(c) && s.affordable(c)) out.push_back(std::move(c));
    }
  }
  return out;
}

}  // namespace

std::vector<MarketCandidate> swap_search(const Evaluator& evaluate,
                                         const std::vector<MarketCandidate>& ranked,
                                         std::size_t budget) {
  const SelectionSettings& s = evaluate.settings();
  std::vector<MarketCandidate> scored;
  if (ranked.empty() || budget == 0) return scored;
  const auto [include, pool] = candidate_pool(s);
  std::set<Set> seen;
  for (const MarketCandidate& c : ranked) seen.insert(c.treated);
  MarketCandidate centre = ranked.front();
  std::vector<Set> queue = neighbours(centre.treated, include, pool, seen, s);
  std::size_t next = 0;
  while (next < queue.size() && scored.size() < budget) {
    const std::size_t n = std::min({kSwapBatch, queue.size() - next, budget - scored.size()});
    std::vector<MarketCandidate> batch = parallel::parallel_map<MarketCandidate>(
        n, [&](std::size_t i) { return evaluate(queue[next + i]); });
    next += n;
    const MarketCandidate* best = nullptr;
    for (const MarketCandidate& c : batch) {
      seen.insert(c.treated);
      if (best == nullptr || beats(c.score, best->score)) best = &c;
    }
    const bool moved = best != nullptr && beats(best->score, centre.score);
    if (moved) centre = *best;
    std::move(batch.begin(), batch.end(), std::back_inserter(scored));
    if (moved) {
      queue = neighbours(centre.treated, include, pool, seen, s);
      next = 0;
    }
  }
  return scored;
}

}  // namespace quintara::geo
