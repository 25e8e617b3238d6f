// The geo_select entry's own checks, its computation after validation, and
// the conversion of evaluated candidates into MarketCandidate records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/geo/selection.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// max_treated < n_units, else UserError "max_treated={} would allow treating
// all {} markets; at least one market must remain as a control".
void check_max_treated(std::uint64_t max_treated, std::size_t n_units);

// exact_size < n_units, else UserError "exact_size={} would treat all {}
// markets; ..."; then n_include <= exact_size, else UserError "include forces
// {} markets but exact_size={}; ...". exact_size >= 1 is checked before.
void check_exact_size(std::uint64_t exact_size, std::size_t n_include, std::size_t n_units);

// At least one eligible market, else UserError "eligible must list at least
// one market": with none, every candidate would be include alone.
void check_eligible(std::size_t n_eligible);

// n_include < n_units, else UserError "include treats every market; need at
// least one market left as a control".
void check_include_leaves_control(std::size_t n_include, std::size_t n_units);

// Each market's required investment for the target lift: `spend` as given,
// or cost_per_unit x target_lift x test_len x the market's mean of y per
// period (the incremental units the lift brings). UserErrors: budget must be
// finite and > 0; exactly one of cost_per_unit and spend with a budget, and
// neither without one; cost_per_unit finite and > 0; spend one finite value
// >= 0 per market a candidate may treat (`treatable`, see below). The other
// markets' spend is never summed, so it may be missing (NaN): their cost is 0.
std::vector<double> market_costs(const linalg::Mat& y, std::optional<double> budget,
                                 std::optional<double> cost_per_unit,
                                 const std::optional<std::vector<double>>& spend,
                                 double target_lift, std::size_t test_len,
                                 std::span<const char> treatable);

// 1 for each of n_units markets some candidate may treat: the eligible and
// the included, less the excluded.
std::vector<char> treatable_markets(std::size_t n_units, std::span<const std::size_t> eligible,
                                    std::span<const std::size_t> include,
                                    std::span<const std::size_t> exclude);

// A go-dark test's target lift: finite and < 0, else UserError
// "target_lift must be finite and < 0 for alternative='less'; got {}".
void check_decrease(double target_lift);

// "random" or "sized"; anything else is UserError "unknown search '{}'
// (expected random/sized)".
geo::Search parse_search(std::string_view text);

// "refit" or "shared"; anything else is UserError "unknown solver '{}'
// (expected refit/shared)".
geo::Solver parse_solver(std::string_view text);

// With `exclude` or `control_pool` given: the fewest and the most controls
// any candidate keeps (the controls are the pool, or every market, less the
// excluded ones and the candidate's). UserError "include and exclude share
// market {}" when they overlap, and "exclude and control_pool leave no
// control for a candidate of {} markets; at least one must remain" when a
// candidate of the largest size could be left without one.
std::pair<std::size_t, std::size_t> check_controls(
    std::size_t n_units, const std::vector<std::size_t>& eligible,
    const std::vector<std::size_t>& include_sorted,
    const std::optional<std::vector<std::size_t>>& exclude,
    const std::optional<std::vector<std::size_t>>& control_pool, std::uint64_t largest);

// The record with the same values, field for field.
PyMarketCandidate candidate_record(const geo::MarketCandidate& candidate);

// A validated request: y owned; the settings passed every entry check.
struct SelectionRequest {
  linalg::Mat y;
  geo::SelectionSettings settings;
};

// The ranked candidates as records, best first. Evaluated on y normalised by a power
// of two (scale.hpp), as are run_evaluation's; every field is relative.
std::vector<PyMarketCandidate> run_selection(const SelectionRequest& request);

// The same search in its three steps, for callers that split the evaluation
// (across processes) and merge the pieces: the sets in production order; the
// records of some sets in the given order; geo::rank_order on the scores.
std::vector<std::vector<std::size_t>> run_candidate_sets(const SelectionRequest& request);
std::vector<PyMarketCandidate> run_evaluation(const SelectionRequest& request,
                                              const std::vector<std::vector<std::size_t>>& sets);

// Sets handed in for evaluation must be sets the search could produce under
// `settings` (which passed the entry's checks), so that each keeps a control
// and is scored as geo_select scores it. Each is non-empty, strictly
// ascending, every index below n_units, fewer than n_units markets (else
// UserError "candidates[{}] must be a non-empty, strictly ascending list of
// market indices below {} that leaves at least one control"); treats no
// excluded market ("candidates[i] treats market m, which exclude names") and
// only included or eligible ones ("..., which is neither eligible nor
// included"); holds every included market ("candidates[i] leaves out market
// m, which include names"); has exact_size markets, or all of the pool when
// that holds fewer ("candidates[i] has n markets where exact_size=e gives
// w"), else at most max_treated, or the include set's size when larger
// ("candidates[i] has n markets, more than the w a candidate may have
// (max_treated=t)"); and fits the budget ("candidates[i] costs c, above the
// budget b"). The first failing set, in order, is reported.
void check_candidates(const std::vector<std::vector<std::size_t>>& sets,
                      const geo::SelectionSettings& settings, std::size_t n_units);

}  // namespace quintara::runs
