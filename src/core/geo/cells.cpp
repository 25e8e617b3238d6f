#include "core/geo/cells.hpp"

#include <algorithm>
#include <compare>
#include <iterator>
#include <optional>
#include <set>
#include <utility>

#include "core/geo/power.hpp"
#include "core/geo/shared_evaluate.hpp"
#include "core/geo/shared_grams.hpp"
#include "core/linalg/rng.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::geo {

namespace {

using Set = std::vector<std::size_t>;
using Tuple = std::vector<std::size_t>;

// Designs are listed outright when their budget-free count is at most this,
// or a few times n_candidates up to the hard cap: listing is cheap next to one
// evaluation, but a huge n_candidates must not list without bound.
constexpr double kListLimit = 262144.0;
constexpr double kListCap = 4194304.0;

// Draws per design sought before a sampled tuple gives up on its share.
constexpr std::size_t kDrawsPerDesign = 64;

// Every size tuple, lexicographic: 1 <= s_k <= max_treated_k, sum <= p.
void size_tuples(const std::vector<CellSpec>& cells, std::size_t p, Tuple& t,
                 std::vector<Tuple>& out) {
  std::size_t used = 0;
  for (const std::size_t s : t) used += s;
  if (t.size() == cells.size()) {
    out.push_back(t);
    return;
  }
  const std::size_t hi = std::min(cells[t.size()].max_treated, p - std::min(p, used));
  for (std::size_t s = 1; s <= hi; ++s) {
    t.push_back(s);
    size_tuples(cells, p, t, out);
    t.pop_back();
  }
}

// The designs of one tuple without budgets: prod_k C(p - s_1 - ... - s_{k-1}, s_k).
double tuple_count(const Tuple& t, std::size_t p) {
  double total = 1.0;
  for (const std::size_t s : t) {
    double c = 1.0;
    for (std::size_t i = 0; i < s; ++i)
      c = c * static_cast<double>(p - i) / static_cast<double>(i + 1);
    total *= c;
    p -= s;
  }
  return total;
}

bool affordable(const CellSpec& cell, const Set& set) {
  if (!cell.budget) return true;
  double cost = 0.0;
  for (const std::size_t i : set) cost += cell.market_cost[i];
  return cost <= *cell.budget;
}

// Every feasible design of tuple t: cell k's sets from the markets the
// earlier cells left, each in lexicographic order, over budget sets pruned.
void list_tuple(const std::vector<CellSpec>& cells, const Tuple& t, const Set& free,
                JointDesign& partial, std::vector<JointDesign>& out) {
  const std::size_t k = partial.size();
  if (k == t.size()) {
    out.push_back(partial);
    return;
  }
  const std::size_t s = t[k], n = free.size();
  std::vector<std::size_t> idx(s);
  for (std::size_t i = 0; i < s; ++i) idx[i] = i;
  while (true) {
    Set set(s), rest;
    for (std::size_t i = 0; i < s; ++i) set[i] = free[idx[i]];
    if (affordable(cells[k], set)) {
      std::set_difference(free.begin(), free.end(), set.begin(), set.end(),
                          std::back_inserter(rest));
      partial.push_back(std::move(set));
      list_tuple(cells, t, rest, partial, out);
      partial.pop_back();
    }
    // The next combination in lexicographic order.
    std::size_t i = s;
    while (i > 0 && idx[i - 1] == n - s + (i - 1)) --i;
    if (i == 0) return;
    ++idx[i - 1];
    for (std::size_t j = i; j < s; ++j) idx[j] = idx[j - 1] + 1;
  }
}

// Water-filling: groups whose count fits in an equal share of what is left
// are taken whole, the rest share the remainder (the first ones one more).
std::vector<std::size_t> quotas(const std::vector<double>& counts, std::size_t budget) {
  const std::size_t g = counts.size();
  std::vector<std::size_t> q(g, 0);
  std::vector<char> done(g, 0);
  std::size_t left = budget, open = g;
  bool moved = true;
  while (open > 0 && moved) {
    moved = false;
    const std::size_t share = left / open;
    for (std::size_t i = 0; i < g; ++i) {
      if (done[i] || counts[i] > static_cast<double>(share)) continue;
      q[i] = static_cast<std::size_t>(counts[i]);
      left -= q[i];
      done[i] = 1;
      --open;
      moved = true;
    }
  }
  if (open == 0) return q;
  const std::size_t share = left / open;
  std::size_t extra = left % open;
  for (std::size_t i = 0; i < g; ++i) {
    if (done[i]) continue;
    q[i] = share + (extra > 0 ? 1 : 0);
    if (extra > 0) --extra;
  }
  return q;
}

// A seeded subset of q of the n listed designs, kept in listing order.
std::vector<std::size_t> subset(std::size_t n, std::size_t q, linalg::Xoshiro256pp& rng) {
  std::vector<std::size_t> idx(n);
  for (std::size_t i = 0; i < n; ++i) idx[i] = i;
  for (std::size_t i = 0; i < q; ++i) {
    const std::size_t j = i + static_cast<std::size_t>(rng.gen_range(n - i));
    std::swap(idx[i], idx[j]);
  }
  idx.resize(q);
  std::sort(idx.begin(), idx.end());
  return idx;
}

// Distinct random designs of tuple t: the first sum(t) markets of a partial
// shuffle of the pool, dealt to the cells in order.
void draw_tuple(const std::vector<CellSpec>& cells, const Tuple& t, const Set& pool,
                std::size_t wanted, linalg::Xoshiro256pp& rng, std::vector<JointDesign>& out) {
  std::size_t total = 0;
  for (const std::size_t s : t) total += s;
  std::set<JointDesign> seen;
  std::size_t found = 0;
  for (std::size_t attempt = 0; found < wanted && attempt < kDrawsPerDesign * wanted; ++attempt) {
    Set shuffled = pool;
    for (std::size_t i = 0; i < total; ++i) {
      const std::size_t j = i + static_cast<std::size_t>(rng.gen_range(pool.size() - i));
      std::swap(shuffled[i], shuffled[j]);
    }
    JointDesign d;
    bool ok = true;
    auto first = shuffled.begin();
    for (std::size_t k = 0; k < t.size() && ok; ++k) {
      Set set(first, first + static_cast<std::ptrdiff_t>(t[k]));
      first += static_cast<std::ptrdiff_t>(t[k]);
      std::sort(set.begin(), set.end());
      ok = affordable(cells[k], set);
      d.push_back(std::move(set));
    }
    if (!ok || !seen.insert(d).second) continue;
    out.push_back(std::move(d));
    ++found;
  }
}

// Best first: the higher weakest-cell score, then the higher sum.
bool ranks_before(const CellDesign& a, const CellDesign& b) {
  const std::strong_ordering by_min = std::strong_order(a.score, b.score);
  if (by_min != std::strong_ordering::equal) return by_min == std::strong_ordering::greater;
  return std::strong_order(a.total, b.total) == std::strong_ordering::greater;
}

}  // namespace

Set cell_pool(const CellSettings& settings) {
  Set eligible = settings.shared.eligible, drop = settings.shared.exclude, out;
  std::sort(eligible.begin(), eligible.end());
  eligible.erase(std::unique(eligible.begin(), eligible.end()), eligible.end());
  std::sort(drop.begin(), drop.end());
  std::set_difference(eligible.begin(), eligible.end(), drop.begin(), drop.end(),
                      std::back_inserter(out));
  return out;
}

SelectionSettings cell_settings(const CellSettings& settings, const JointDesign& design,
                                std::size_t k) {
  SelectionSettings s = settings.shared;
  for (std::size_t j = 0; j < design.size(); ++j) {
    if (j != k) s.exclude.insert(s.exclude.end(), design[j].begin(), design[j].end());
  }
  const CellSpec& cell = settings.cells[k];
  s.include = design[k];
  s.exact_size = design[k].size();
  s.max_treated = cell.max_treated;
  s.target_lift = cell.target_lift;
  s.budget = cell.budget;
  s.market_cost = cell.market_cost;
  s.search = Search::Random;
  s.swaps = 0;
  s.n_candidates = 1;
  return s;
}

CellPlan cell_designs(const CellSettings& settings) {
  const Set pool = cell_pool(settings);
  const std::size_t p = pool.size();
  std::vector<Tuple> tuples;
  Tuple t;
  size_tuples(settings.cells, p, t, tuples);
  std::vector<double> raw(tuples.size());
  double raw_total = 0.0;
  for (std::size_t i = 0; i < tuples.size(); ++i) raw_total += raw[i] = tuple_count(tuples[i], p);

  const std::size_t budget = settings.shared.n_candidates;
  linalg::Xoshiro256pp rng = linalg::Xoshiro256pp::make(settings.shared.seed);
  CellPlan plan;
  const double list_limit =
      std::max(kListLimit, std::min(kListCap, 4.0 * static_cast<double>(budget)));
  if (raw_total <= list_limit) {
    std::vector<std::vector<JointDesign>> listed(tuples.size());
    std::vector<double> feasible(tuples.size());
    for (std::size_t i = 0; i < tuples.size(); ++i) {
      JointDesign partial;
      list_tuple(settings.cells, tuples[i], pool, partial, listed[i]);
      feasible[i] = static_cast<double>(listed[i].size());
      plan.n_designs += feasible[i];
    }
    plan.listed = true;
    plan.exhaustive = plan.n_designs <= static_cast<double>(budget);
    const std::vector<std::size_t> q = quotas(feasible, budget);
    for (std::size_t i = 0; i < tuples.size(); ++i) {
      if (q[i] == listed[i].size()) {
        std::move(listed[i].begin(), listed[i].end(), std::back_inserter(plan.designs));
        continue;
      }
      for (const std::size_t j : subset(listed[i].size(), q[i], rng)) {
        plan.designs.push_back(std::move(listed[i][j]));
      }
    }
    return plan;
  }
  plan.n_designs = raw_total;
  const std::vector<std::size_t> q = quotas(raw, budget);
  for (std::size_t i = 0; i < tuples.size(); ++i) {
    if (q[i] > 0) draw_tuple(settings.cells, tuples[i], pool, q[i], rng, plan.designs);
  }
  return plan;
}

std::vector<CellDesign> select_cells(const linalg::Mat& y, const CellSettings& settings,
                                     const CellPlan& plan) {
  const std::size_t k = settings.cells.size();
  // The shared matrices depend on neither the cells' lifts nor their
  // exclusions, so every cell of every design reads the same ones.
  const SelectionSettings& s = settings.shared;
  std::optional<SharedGrams> grams;
  if (s.solver == Solver::Shared && shares_grams(s.method)) {
    const std::vector<std::size_t> windows = window_set(y.cols, s.test_len, s.min_pre, s.lookback);
    if (!windows.empty()) grams = shared_grams(y, windows, s.test_len, s.method);
  }
  // One task per (design, cell); each power curve opens its own loops.
  std::vector<MarketCandidate> scored =
      parallel::parallel_map<MarketCandidate>(plan.designs.size() * k, [&](std::size_t i) {
        const JointDesign& d = plan.designs[i / k];
        const SelectionSettings cell = cell_settings(settings, d, i % k);
        return grams ? evaluate_shared(y, *grams, d[i % k], cell) : evaluate(y, d[i % k], cell);
      });
  std::vector<CellDesign> out(plan.designs.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    CellDesign& d = out[i];
    for (std::size_t c = 0; c < k; ++c) {
      d.cells.push_back(std::move(scored[i * k + c]));
      const double s = d.cells.back().score;
      if (c == 0 || std::strong_order(s, d.score) == std::strong_ordering::less) d.score = s;
      d.total += s;
    }
  }
  std::stable_sort(out.begin(), out.end(), ranks_before);
  return out;
}

}  // namespace quintara::geo
