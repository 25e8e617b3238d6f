// The staggered-adoption entries' computation after argument conversion: the
// cohort encoding turned into a Panel, the design checks that refuse panels
// identifying nothing, and the TWFE, Sun-Abraham and Goodman-Bacon runs.
//
// Cohort encoding: one signed integer per unit; 0 <= c < T is the adoption
// period, a negative value or c >= T means never treated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/estimators/did/effects.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// "treat_start has {} entries but the panel has {} units" unless they match.
void check_cohort_count(std::size_t n_cohorts, std::size_t n_units);

// The panel of an already checked outcome matrix and cohort list.
estimators::Panel staggered_panel(linalg::Mat y, std::span<const std::int64_t> cohorts);

// "{label} needs at least one never-treated unit (...) as a control. {hint}"
void require_never_treated(const estimators::Panel& panel, std::string_view label,
                           std::string_view hint);

// Fails unless some unit adopts at a period other than 0 and some treated
// unit is observed from its adoption on.
void require_estimable_cohort(const estimators::Panel& panel, std::string_view label);

// Each entry's design checks, in its order.
void check_twfe_design(const estimators::Panel& panel);
void check_sunab_design(const estimators::Panel& panel);
void check_bacon_design(const estimators::Panel& panel);

// Fails unless the observed (non-NaN) cells link every period to every other
// through units observed in both, directly or through other periods: with
// missing cells, the unit and period effects are identified only then. Units
// treated from period 0 are left out when `without_always_treated` (the
// Sun-Abraham sample).
void check_connected_periods(const estimators::Panel& panel, bool without_always_treated);

// Whether a fit needs the observed-cell path: missing cells, unit weights or
// clusters other than the units.
bool needs_observed_path(const estimators::Panel& panel, const estimators::Sampling& sampling);

// Each fits a copy of the panel normalised by a power of two (scale.hpp) and
// reports in y's units; `level` (in (0, 1)) is that of the normal intervals.
// The small-sample factor of a unit-clustered variance, with G clusters,
// n = N T observations and K parameters: G / (G - 1) alone ("cluster", TWFE's
// default), none (Sun-Abraham's default), or G / (G - 1) (n - 1) / (n - K)
// with the K of fixest (fixed effects nested in the clusters not counted) or
// of statsmodels' dummy regression (every dummy counted). TWFE has K = T + 1
// and N + T; Sun-Abraham, with its P cohort x relative-period cells, T + P
// and N + T - 1 + P, over the units left once always-treated ones drop.
enum class Ssc { Cluster, None, Fixest, Statsmodels };

// "cluster", "none", "fixest" or "statsmodels"; anything else is UserError.
Ssc parse_ssc(std::string_view text);

// With missing cells, weights or clusters (needs_observed_path) the fits run
// on the observed cells, weighted and clustered; n counts observed cells and
// G the clusters. The panel must then pass check_connected_periods.
PyDidResult run_twfe(const estimators::Panel& panel, double level, Ssc ssc = Ssc::Cluster,
                     const estimators::Sampling& sampling = {});
PyDidResult run_sunab(const estimators::Panel& panel, double level, Ssc ssc = Ssc::None,
                      const estimators::Sampling& sampling = {});
PyBaconResult run_bacon(const estimators::Panel& panel);

// "pretrends must be <= {max} (the most pre-periods of any cohort, minus
// one); got {}" past the largest identified K; nullopt takes that largest.
std::size_t check_pretrends(const estimators::Panel& panel, std::optional<std::uint64_t> pretrends);

// The imputation estimator with its pre-trend test of `pretrends` leads
// (checked); fails with a UserError when the untreated cells leave the
// periods unlinked.
PyDidResult run_imputation(const estimators::Panel& panel, double level,
                           const estimators::Sampling& sampling, std::size_t pretrends);

// Copies an event study (key, estimate, standard error per entry) into the
// result record's event_time, event_att and event_se.
void fill_event_study(PyDidResult& result, std::span<const estimators::did::AggEffect> events);

// Copies an E x E covariance into the record's row-major event_cov, scaled
// by factor^2, and runs the joint Wald test that every pre-period entry
// (event time < pre_before; earlier than 0 unless anticipation allows
// effects before adoption) is 0 when there is one and their covariance is
// positive definite.
void set_event_cov(PyDidResult& result, const linalg::Mat& cov, double factor = 1.0,
                   std::int64_t pre_before = 0);

// The normal intervals estimate +- z se, z = normal_critical(level), of the
// overall ATT, every event time, every cohort and the cohort average (when
// there is one), and `level` itself; from the record's estimates and SEs.
void set_normal_intervals(PyDidResult& result, double level);

}  // namespace quintara::runs
