// In-space placebo test for the synthetic-control family.
//
// Each donor in turn (or each set of as many donors as there are treated
// units) is treated as if it were the treated unit and the estimator is
// refitted on the remaining donors alone; the real fit's statistic is ranked
// among the placebo statistics. The matched test ranks a statistic that
// compares across units of different scales: the RMSPE ratio, or |att| over
// the pre-period RMSPE where the estimator ranks |att|. Refits run on the worker pool and land
// in donor order, so the result does not depend on the number of workers.
// The donors' series are gathered once and shared read-only by all refits;
// all but robust synthetic-control refits read their pools in place and
// share the Gram matrix of all donors (columns centred where the estimator
// centres them), whose principal submatrices are their pools' (bit for bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/method.hpp"

namespace quintara::inference {

// Which placebos a test refits and which it keeps. The defaults are the
// single-donor test with every placebo kept.
struct PlaceboOptions {
  // Each placebo treats one donor and is refitted on the other donors, or
  // treats as many units as the panel treats, drawn from every unit, and is
  // refitted on all the others (placebo_matched.hpp).
  bool matched = false;
  // Single-donor only: at most n_placebo donors play the treated unit, a
  // uniform draw without replacement (every donor when there are no more),
  // so a pool of thousands costs n_placebo refits, not one per donor. Each
  // is still refitted on all the other donors.
  bool sampled = false;
  std::size_t n_placebo = 1000;  // matched or sampled: the most placebos refitted
  std::uint64_t seed = 0;        // matched or sampled: the substreams of the draws
  // > 0: a placebo whose pre-period RMSPE exceeds this multiple of the real
  // fit's is left out (and counted); 0 keeps every placebo.
  double max_pre_ratio = 0.0;
  double level = 0.95;  // of the inverted interval
};

struct PlaceboResult {
  std::vector<double> att_path;                        // real fit
  std::vector<double> placebo_stats;                   // kept placebo statistics, placebo order
  std::vector<double> placebo_atts;                    // their att, same order
  std::vector<std::size_t> placebo_ids;                // one-donor placebos: the donor's panel row
  std::vector<std::vector<std::size_t>> placebo_sets;  // each placebo's donor rows
  std::vector<std::vector<double>>
      placebo_gaps;  // each one's observed minus synthetic path, T values
  double att = 0.0;
  double stat = 0.0;
  double p_value = 1.0;  // (count(stat_j >= stat) + 1) / (m + 1)
  estimators::sc::Statistic statistic = estimators::sc::Statistic::RmspeRatio;
  std::size_t n_refitted = 0;  // placebos refitted, before any was left out
  std::size_t n_excluded = 0;  // left out for their pre-period fit
  std::size_t set_size = 1;    // units treated in each placebo
  std::size_t n_donors = 0;    // single-donor: the donors the placebos were drawn from
  bool matched = false;        // placebos drawn from every unit
  // The effects the test does not reject at options.level (inversion.hpp);
  // meaningful when placebo_stats is not empty.
  double test_lower = 0.0;
  double test_upper = 0.0;
};

// A refit's gap path over every period: its treated series minus its
// synthetic path before t0, then its effect path.
std::vector<double> gap_path(const estimators::ScFit& fit, std::span<const double> treated);

// Requires a panel with exactly one adoption period ("placebo test requires a
// single common treatment time").
PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method);
// The same test around a real fit the caller already has (`method.fit_at`
// of this panel at its treatment time), which is then not computed again.
PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method,
                                const estimators::ScFit& fit);
// The test with `options`; the defaults give the two forms above.
PlaceboResult sc_placebo_method(const estimators::Panel& panel,
                                const estimators::sc::ScMethod& method,
                                const estimators::ScFit& fit, const PlaceboOptions& options);

}  // namespace quintara::inference
