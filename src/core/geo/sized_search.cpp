#include "core/geo/sized_search.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <set>
#include <utility>

#include "core/linalg/rng.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

namespace {

using Set = std::vector<std::size_t>;

// C(p, a) in double precision, exact while it stays below 2^53: each step
// multiplies by (p - s) and divides by (s + 1) in that order, and the running
// product C(p, s) (p - s) is divisible by s + 1.
double binomial(std::size_t p, std::size_t a) {
  if (a > p) return 0.0;
  double c = 1.0;
  for (std::size_t s = 0; s < a; ++s) {
    c = c * static_cast<double>(p - s) / static_cast<double>(s + 1);
  }
  return std::round(c);
}

// Equal shares of the budget, the sizes that fit in their share taken whole
// and their leftover handed on; the last shares' remainder goes to the
// smallest open sizes, one set each.
void fill_quotas(std::vector<SizeCount>& rows, std::size_t budget) {
  std::vector<std::size_t> open;
  for (std::size_t r = 0; r < rows.size(); ++r) open.push_back(r);
  while (!open.empty()) {
    const std::size_t share = budget / open.size();
    std::vector<std::size_t> still;
    for (const std::size_t r : open) {
      if (rows[r].distinct <= static_cast<double>(share)) {
        rows[r].taken = static_cast<std::size_t>(rows[r].distinct);
        rows[r].exhaustive = true;
        budget -= rows[r].taken;
      } else {
        still.push_back(r);
      }
    }
    if (still.size() == open.size()) {
      const std::size_t extra = budget - share * still.size();
      for (std::size_t i = 0; i < still.size(); ++i) rows[still[i]].taken = share + (i < extra);
      return;
    }
    open = std::move(still);
  }
}

// Every a-subset of the pool in lexicographic order of positions.
std::vector<Set> all_subsets(const Set& pool, std::size_t a) {
  std::vector<Set> out;
  const std::size_t p = pool.size();
  if (a == 0 || a > p) return out;
  std::vector<std::size_t> idx(a);
  for (std::size_t i = 0; i < a; ++i) idx[i] = i;
  while (true) {
    Set s(a);
    for (std::size_t i = 0; i < a; ++i) s[i] = pool[idx[i]];
    out.push_back(std::move(s));
    std::size_t i = a;
    while (i > 0 && idx[i - 1] == p - a + i - 1) --i;
    if (i == 0) return out;
    ++idx[i - 1];
    for (std::size_t j = i; j < a; ++j) idx[j] = idx[j - 1] + 1;
  }
}

Set with_include(const Set& include, Set added) {
  added.insert(added.end(), include.begin(), include.end());
  std::sort(added.begin(), added.end());
  return added;
}

// Distinct a-subsets of the pool drawn at random until `quota` affordable
// ones are found (returned: how many); the over-budget draws are counted in
// `row`. `seen` holds every draw of the size so far.
std::size_t draw_subsets(std::vector<Set>& out, const CandidatePool& pools,
                         const SelectionSettings& s, std::size_t a, std::size_t quota,
                         std::set<Set>& seen, SizeCount& row, linalg::Xoshiro256pp& rng) {
  Set work = pools.pool;
  const std::size_t p = work.size();
  std::size_t found = 0;
  // Fewer than a quarter of the sets are ever seen (quota < distinct / 4), so
  // a draw repeats with probability below 1/4: without a budget this bound is
  // never the one that stops the search.
  const std::uint64_t limit = 64 * static_cast<std::uint64_t>(quota) + 64;
  for (std::uint64_t attempt = 0; found < quota && attempt < limit; ++attempt) {
    for (std::size_t i = 0; i < a; ++i) {
      const std::size_t j = i + static_cast<std::size_t>(rng.gen_range(p - i));
      std::swap(work[i], work[j]);
    }
    Set c(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(a));
    std::sort(c.begin(), c.end());
    if (!seen.insert(c).second) continue;
    Set full = with_include(pools.include, std::move(c));
    if (!s.affordable(full)) {
      ++row.over_budget;
      continue;
    }
    out.push_back(std::move(full));
    ++found;
  }
  QUINTARA_ASSERT(s.budget || found == quota, "sized search: random draws ran out of attempts");
  return found;
}

// A seeded choice of k of `sets` (the first k positions of a partial
// shuffle), appended to `out` in their order in `sets`; the others stay in
// `sets`, in order.
void take_some(std::vector<Set>& sets, std::size_t k, std::vector<Set>& out,
               linalg::Xoshiro256pp& rng) {
  if (k >= sets.size()) {
    std::move(sets.begin(), sets.end(), std::back_inserter(out));
    sets.clear();
    return;
  }
  std::vector<std::size_t> pick(sets.size());
  for (std::size_t i = 0; i < pick.size(); ++i) pick[i] = i;
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t j = i + static_cast<std::size_t>(rng.gen_range(pick.size() - i));
    std::swap(pick[i], pick[j]);
  }
  std::vector<unsigned char> chosen(sets.size(), 0);
  for (std::size_t i = 0; i < k; ++i) chosen[pick[i]] = 1;
  std::vector<Set> rest;
  for (std::size_t i = 0; i < sets.size(); ++i) {
    (chosen[i] ? out : rest).push_back(std::move(sets[i]));
  }
  sets = std::move(rest);
}

// What a size has left to offer a second pass: an enumerated size its
// affordable sets not taken, a sampled one the draws it has seen.
struct SizeState {
  bool sampled = false;
  std::vector<Set> rest;
  std::set<Set> seen;
};

}  // namespace

std::vector<SizeCount> sized_plan(const SelectionSettings& s) {
  const CandidatePool pools = candidate_pool(s);
  const std::size_t k = pools.include.size(), p = pools.pool.size();
  std::vector<SizeCount> rows;
  std::size_t lo = 1, hi = 0;
  if (s.exact_size) {
    const std::size_t exact = std::max<std::size_t>(*s.exact_size, 1);
    QUINTARA_ASSERT(k <= exact, "sized_plan: include larger than exact_size");
    lo = hi = exact - k;
  } else {
    hi = s.max_treated > k ? s.max_treated - k : 0;
  }
  std::size_t budget = s.n_candidates;
  // The include set alone, when it is a candidate, is one set of its own.
  if (k > 0 && (!s.exact_size || hi == 0)) {
    rows.push_back({k, 1.0, 1, true});
    budget = budget > 1 ? budget - 1 : 0;
  }
  std::vector<SizeCount> added;
  for (std::size_t a = std::max<std::size_t>(lo, 1); a <= hi && a <= p; ++a) {
    added.push_back({k + a, binomial(p, a), 0, false});
  }
  fill_quotas(added, std::max(budget, added.size()));
  rows.insert(rows.end(), added.begin(), added.end());
  return rows;
}

std::vector<Set> sized_candidate_sets(const SelectionSettings& s, std::vector<SizeCount>* plan) {
  const CandidatePool pools = candidate_pool(s);
  const std::size_t k = pools.include.size();
  linalg::Xoshiro256pp rng = linalg::Xoshiro256pp::make(s.seed);
  std::vector<Set> out;
  std::vector<SizeCount> rows = sized_plan(s);
  std::vector<SizeState> state(rows.size());
  std::size_t wanted = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    SizeCount& row = rows[r];
    wanted += row.taken;
    const std::size_t a = row.size - k;
    if (a == 0) {
      if (s.affordable(pools.include)) {
        out.push_back(pools.include);
      } else {
        row.over_budget = 1;
        row.taken = 0;
      }
    } else if (row.exhaustive || 4.0 * static_cast<double>(row.taken) >= row.distinct) {
      // At most four times the sets taken: the enumeration costs no more
      // than the output.
      std::vector<Set> all = all_subsets(pools.pool, a);
      for (Set& c : all) c = with_include(pools.include, std::move(c));
      if (s.budget) {
        const auto over = std::stable_partition(all.begin(), all.end(),
                                                [&](const Set& c) { return s.affordable(c); });
        row.over_budget = static_cast<std::size_t>(all.end() - over);
        all.erase(over, all.end());
      }
      const std::size_t before = out.size();
      take_some(all, row.taken, out, rng);
      row.taken = out.size() - before;
      state[r].rest = std::move(all);
    } else {
      state[r].sampled = true;
      row.taken = draw_subsets(out, pools, s, a, row.taken, state[r].seen, row, rng);
    }
  }
  // Under a budget a size may hold fewer affordable sets than its share:
  // the shortfall goes to the sizes that have more, smallest first.
  for (std::size_t r = 0; r < rows.size() && out.size() < wanted; ++r) {
    const std::size_t spare = wanted - out.size(), a = rows[r].size - k, before = out.size();
    if (state[r].sampled) {
      draw_subsets(out, pools, s, a, spare, state[r].seen, rows[r], rng);
    } else {
      take_some(state[r].rest, spare, out, rng);
    }
    rows[r].taken += out.size() - before;
  }
  if (plan != nullptr) *plan = std::move(rows);
  return out;
}

}  // namespace quintara::geo
