#include "core/runs/selection_run.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/format.hpp"
#include "core/linalg/means.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

void check_max_treated(std::uint64_t max_treated, std::size_t n_units) {
  if (max_treated >= n_units) {
    throw UserError(format(
        "max_treated={} would allow treating all {} markets; at least one market must remain "
        "as a control",
        max_treated, n_units));
  }
}

void check_exact_size(std::uint64_t exact_size, std::size_t n_include, std::size_t n_units) {
  if (exact_size >= n_units) {
    throw UserError(
        format("exact_size={} would treat all {} markets; at least one market must remain as a "
               "control",
               exact_size, n_units));
  }
  if (n_include > exact_size) {
    throw UserError(format(
        "include forces {} markets but exact_size={}; raise exact_size or include fewer markets",
        n_include, exact_size));
  }
}

void check_eligible(std::size_t n_eligible) {
  if (n_eligible == 0) throw UserError("eligible must list at least one market");
}

void check_include_leaves_control(std::size_t n_include, std::size_t n_units) {
  if (n_include >= n_units) {
    throw UserError("include treats every market; need at least one market left as a control");
  }
}

std::pair<std::size_t, std::size_t> check_controls(
    std::size_t n_units, const std::vector<std::size_t>& eligible,
    const std::vector<std::size_t>& include_sorted,
    const std::optional<std::vector<std::size_t>>& exclude,
    const std::optional<std::vector<std::size_t>>& control_pool, std::uint64_t largest) {
  std::vector<char> excluded(n_units, 0), included(n_units, 0), control(n_units, 0);
  if (exclude) {
    for (const std::size_t i : *exclude) excluded[i] = 1;
  }
  for (const std::size_t i : include_sorted) {
    if (excluded[i]) throw UserError(format("include and exclude share market {}", i));
    included[i] = 1;
  }
  for (std::size_t i = 0; i < n_units; ++i) control[i] = control_pool ? 0 : 1;
  if (control_pool) {
    for (const std::size_t i : *control_pool) control[i] = 1;
  }
  // Controls no candidate can take, and those a candidate may treat.
  std::size_t fixed = 0, treatable = 0;
  std::vector<char> eligible_mark(n_units, 0);
  for (const std::size_t i : eligible) eligible_mark[i] = 1;
  for (std::size_t i = 0; i < n_units; ++i) {
    if (!control[i] || excluded[i] || included[i]) continue;
    if (eligible_mark[i]) {
      ++treatable;
    } else {
      ++fixed;
    }
  }
  const std::size_t k = include_sorted.size();
  const std::size_t added = largest > k ? static_cast<std::size_t>(largest) - k : 0;
  const std::size_t most = fixed + treatable;
  const std::size_t fewest = most - std::min(added, treatable);
  if (fewest == 0) {
    throw UserError(
        format("exclude and control_pool leave no control for a candidate of {} "
               "markets; at least one must remain",
               largest));
  }
  return {fewest, most};
}

std::vector<double> market_costs(const linalg::Mat& y, std::optional<double> budget,
                                 std::optional<double> cost_per_unit,
                                 const std::optional<std::vector<double>>& spend,
                                 double target_lift, std::size_t test_len,
                                 std::span<const char> treatable) {
  if (!budget) {
    throw UserError("cost_per_unit and spend need a budget; pass budget= as well");
  }
  if (!std::isfinite(*budget) || !(*budget > 0.0)) {
    throw UserError(format("budget must be finite and > 0; got {}", *budget));
  }
  if (cost_per_unit.has_value() == spend.has_value()) {
    throw UserError("a budget needs exactly one of cost_per_unit and spend");
  }
  std::vector<double> cost(y.rows);
  if (spend) {
    if (spend->size() != y.rows) {
      throw UserError(
          format("spend must have one entry per market ({}); got {}", y.rows, spend->size()));
    }
    for (std::size_t i = 0; i < y.rows; ++i) {
      const double v = (*spend)[i];
      if (!treatable[i]) continue;
      if (!std::isfinite(v) || v < 0.0) {
        throw UserError(format("spend must be finite and >= 0; got {} for market {}", v, i));
      }
      cost[i] = v;
    }
    return cost;
  }
  if (!std::isfinite(*cost_per_unit) || !(*cost_per_unit > 0.0)) {
    throw UserError(format("cost_per_unit must be finite and > 0; got {}", *cost_per_unit));
  }
  // A go-dark test withholds the units a heavy-up of the same size would
  // buy: its cost is the magnitude of the lift.
  const double per_unit_of_level =
      *cost_per_unit * std::fabs(target_lift) * static_cast<double>(test_len);
  for (std::size_t i = 0; i < y.rows; ++i) {
    cost[i] = per_unit_of_level * linalg::mean_div(y.cols, [&](std::size_t j) { return y(i, j); });
  }
  return cost;
}

std::vector<char> treatable_markets(std::size_t n_units, std::span<const std::size_t> eligible,
                                    std::span<const std::size_t> include,
                                    std::span<const std::size_t> exclude) {
  std::vector<char> out(n_units, 0);
  for (const std::size_t i : eligible) out[i] = 1;
  for (const std::size_t i : include) out[i] = 1;
  for (const std::size_t i : exclude) out[i] = 0;
  return out;
}

void check_decrease(double target_lift) {
  // A decrease of 100% or more would leave no outcome to lose.
  if (!std::isfinite(target_lift) || !(target_lift < 0.0 && target_lift > -1.0)) {
    throw UserError(format(
        "target_lift must be finite and in (-1, 0) for alternative='less'; got {}", target_lift));
  }
}

geo::Search parse_search(std::string_view text) {
  if (text == "random") return geo::Search::Random;
  if (text == "sized") return geo::Search::Sized;
  throw UserError(format("unknown search '{}' (expected random/sized)", text));
}

geo::Solver parse_solver(std::string_view text) {
  if (text == "refit") return geo::Solver::Refit;
  if (text == "shared") return geo::Solver::Shared;
  throw UserError(format("unknown solver '{}' (expected refit/shared)", text));
}

PyMarketCandidate candidate_record(const geo::MarketCandidate& c) {
  PyMarketCandidate r;
  r.treated = c.treated;
  r.power_at_target = c.power_at_target;
  r.mde_pct = c.mde_pct;
  r.holdout_pct = c.holdout_pct;
  r.pre_fit_rel = c.pre_fit_rel;
  r.stability_score = c.stability_score;
  r.confidence = c.confidence;
  r.score = c.score;
  return r;
}

namespace {

// With a budget each record also carries its set's cost, summed as the
// search's affordability check sums it.
std::vector<PyMarketCandidate> records(const std::vector<geo::MarketCandidate>& candidates,
                                       const geo::SelectionSettings& settings) {
  std::vector<PyMarketCandidate> out;
  out.reserve(candidates.size());
  for (const geo::MarketCandidate& c : candidates) {
    PyMarketCandidate r = candidate_record(c);
    if (settings.budget) {
      double cost = 0.0;
      for (const std::size_t i : c.treated) cost += settings.market_cost[i];
      r.cost = cost;
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace

// Every field of a candidate is relative (power, lifts, shares, scores), so
// the normalised panel's candidates are the caller's.
std::vector<PyMarketCandidate> run_selection(const SelectionRequest& request) {
  return records(geo::select_markets(normalised_copy(request.y).first, request.settings),
                 request.settings);
}

std::vector<std::vector<std::size_t>> run_candidate_sets(const SelectionRequest& request) {
  return geo::candidate_sets(request.settings);
}

std::vector<PyMarketCandidate> run_evaluation(const SelectionRequest& request,
                                              const std::vector<std::vector<std::size_t>>& sets) {
  return records(geo::evaluate_all(normalised_copy(request.y).first, sets, request.settings),
                 request.settings);
}

void check_candidates(const std::vector<std::vector<std::size_t>>& sets,
                      const geo::SelectionSettings& settings, std::size_t n_units) {
  // What a set may hold: the include set, and markets of the pool the
  // searches add from (eligible, neither included nor excluded).
  const geo::CandidatePool pools = geo::candidate_pool(settings);
  std::vector<char> role(n_units, 0);  // 1 included, 2 in the pool, 3 excluded
  for (const std::size_t i : settings.exclude) role[i] = 3;
  for (const std::size_t i : pools.include) role[i] = 1;
  for (const std::size_t i : pools.pool) role[i] = 2;
  const std::size_t k = pools.include.size(), p = pools.pool.size();
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const std::vector<std::size_t>& c = sets[i];
    bool ok = !c.empty() && c.size() < n_units && c.back() < n_units;
    for (std::size_t j = 1; ok && j < c.size(); ++j) ok = c[j - 1] < c[j];
    if (!ok) {
      throw UserError(
          format("candidates[{}] must be a non-empty, strictly ascending list of market indices "
                 "below {} that leaves at least one control",
                 i, n_units));
    }
    for (const std::size_t m : c) {
      if (role[m] == 3) {
        throw UserError(format("candidates[{}] treats market {}, which exclude names", i, m));
      }
      if (role[m] == 0) {
        throw UserError(format(
            "candidates[{}] treats market {}, which is neither eligible nor included", i, m));
      }
    }
    for (const std::size_t m : pools.include) {
      if (!std::binary_search(c.begin(), c.end(), m)) {
        throw UserError(format("candidates[{}] leaves out market {}, which include names", i, m));
      }
    }
    // The sizes the searches produce: exact_size (all of the pool when it
    // holds fewer), or up to max_treated (the include set alone when larger).
    if (settings.exact_size) {
      const std::size_t want = std::min(std::max<std::size_t>(*settings.exact_size, 1), k + p);
      if (c.size() != want) {
        throw UserError(format("candidates[{}] has {} markets where exact_size={} gives {}", i,
                               c.size(), *settings.exact_size, want));
      }
    } else if (c.size() > std::max(settings.max_treated, k)) {
      throw UserError(
          format("candidates[{}] has {} markets, more than the {} a candidate may "
                 "have (max_treated={})",
                 i, c.size(), std::max(settings.max_treated, k), settings.max_treated));
    }
    // With the entry's check_controls passed, a set of these markets and
    // sizes keeps a control; the budget is the search's own test.
    if (!settings.affordable(c)) {
      double cost = 0.0;
      for (const std::size_t m : c) cost += settings.market_cost[m];
      throw UserError(
          format("candidates[{}] costs {}, above the budget {}", i, cost, *settings.budget));
    }
  }
}

}  // namespace quintara::runs
