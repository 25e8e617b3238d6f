// Design diagnostics for a treated-market set: a quick, plain-language
// verdict before an experiment is committed to.
//
// For a panel, a treated set S and a test-window length, this measures the
// treated markets' share of total volume, how well a synthetic control tracks
// them over the pre-period (relative to their own spread, and against a naive
// shifted donor average), how seasonal and how volatile the treated average
// is, and whether the donor pool and the history are long enough. Each
// statistic comes with fixed floors so that no division can see zero; the
// warnings have fixed wording and a fixed order, and one confidence score in
// [0, 100] summarises four of the statistics.
//
// `diagnostics` is pure: it reads its inputs and shares nothing, so market
// selection may call it from several worker threads at once.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::geo {

struct Diagnostics {
  std::vector<std::string> warnings;
  double holdout_pct = 0.0, pre_fit_rel = 0.0, improvement_vs_naive = 0.0,
         seasonality_strength = 0.0, stability_score = 0.0, confidence = 0.0;
};

// Per period, the mean of the listed units' outcomes (sum, then times
// 1/count); zeros when empty.
std::vector<double> unit_avg(const linalg::Mat& y, std::span<const std::size_t> units);

// Treated volume over total volume (every row of y); 0 when the total is
// not positive. Summed row by row, each row over its periods in order.
double holdout_share(const linalg::Mat& y, std::span<const std::size_t> treated);

// What the verdict is formed from, each computed elsewhere: the treated and
// donor averages over all periods, the treated share of volume, the donor
// count and the synthetic control's pre-period RMSPE. Market selection
// forms these from matrices it shares between candidates.
struct DiagnosticInputs {
  std::span<const double> treated_avg, donor_avg;
  double holdout_pct = 0.0;
  std::size_t n_donors = 0;
  double pre_rmspe = 0.0;
  std::size_t test_len = 1;  // 1 <= test_len < treated_avg.size()
};
Diagnostics diagnostics_from(const DiagnosticInputs& inputs);

// `treated`: distinct row indices of y leaving at least one donor. Requires
// 1 <= test_len < y.cols ("test_len must be in [1, n_periods); got {} with {}
// periods").
Diagnostics diagnostics(const linalg::Mat& y, std::span<const std::size_t> treated,
                        std::size_t test_len);

}  // namespace quintara::geo
