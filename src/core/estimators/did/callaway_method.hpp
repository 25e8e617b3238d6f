// How each Callaway & Sant'Anna group-time cell adjusts for covariates, and
// the failure of a cell whose propensity score or outcome regression cannot
// be fitted on the data.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace quintara::estimators::did {

// Reg: outcome regression of the comparison units' changes (DRDID's
// reg_did_panel). Ipw: standardised inverse probability weighting with a
// logit propensity score of being in the cohort rather than the comparison
// group (std_ipw_did_panel). Dr: the locally efficient doubly robust
// estimator combining both (drdid_panel). Without covariates all three are
// the unconditional two-period difference in differences.
enum class EstMethod { Reg, Ipw, Dr };

// Thrown by the ipw and dr cells (never by reg, which falls back to the
// unadjusted cell instead) when the propensity score fails to converge, the
// covariates separate the cohort from its comparison units, the score's
// information matrix or the outcome regression's Gram matrix is singular,
// the fitted propensity reaches 0.999 (the overlap condition fails), or
// trimming leaves no comparison weight. `what()` says which, in words that
// the entry completes into its message; cohort, period and base are column
// indices of the panel.
class CellFitError : public std::runtime_error {
 public:
  CellFitError(std::size_t cohort, std::size_t period, std::size_t base, const std::string& why)
      : std::runtime_error(why), cohort(cohort), period(period), base(base) {}

  std::size_t cohort;
  std::size_t period;
  std::size_t base;
};

}  // namespace quintara::estimators::did
