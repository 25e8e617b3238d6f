// The saturated Sun & Abraham design described by its cells rather than by a
// design matrix: the estimation sample (always-treated units dropped), each
// unit's cohort, the (cohort, relative period) cells in (g, e) order, and the
// step both solvers share once they have the coefficients and the Gram and
// meat matrices: the cohort-size averages with their sandwich standard errors.
//
// Cohort k (adoption period g) owns the cells t = 0..T-1 except the reference
// period t = g - 1, so its cells are a contiguous run of T - 1 columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/estimators/did/sunab.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did::sunab {

struct Cell {
  std::size_t g;   // adoption period of the cell's cohort
  std::int64_t e;  // relative period
  std::size_t t() const { return static_cast<std::size_t>(static_cast<std::int64_t>(g) + e); }
};

class Design {
 public:
  // Drops always-treated units; asserts a never-treated unit remains.
  explicit Design(const Panel& full);
  Design(const Design&) = delete;
  Design& operator=(const Design&) = delete;

  const Panel& sample() const { return reduced_ ? *reduced_ : full_; }

  std::vector<std::size_t> cohorts;      // adoption periods >= 1, ascending
  std::vector<std::size_t> unit_cohort;  // index into cohorts; cohorts.size() if never treated
  std::vector<double> cohort_units;      // n_g per cohort, as a double
  std::vector<Cell> cells;               // (g, e) order
  std::vector<std::size_t> kept;         // the sample's units as indices of the full panel
  // Weight of each cell in the per-period averages; empty means its cohort's
  // size (every unit observed in every period, unweighted).
  std::vector<double> cell_mass;

  double mass(std::size_t p) const {
    return cell_mass.empty() ? cohort_units[cell_cohort(p)] : cell_mass[p];
  }

  // Column of cohort k's indicator at period t (t != g_k - 1).
  std::size_t cell(std::size_t k, std::size_t t) const {
    return k * (sample().n_periods() - 1) + (t < cohorts[k] - 1 ? t : t - 1);
  }
  // Cohort index of cell p.
  std::size_t cell_cohort(std::size_t p) const { return p / (sample().n_periods() - 1); }

 private:
  const Panel& full_;
  std::optional<Panel> reduced_;
};

// Cholesky factor of the ridge-regularised Gram matrix gram + 1e-10 I, whose
// inverse is the sandwich's bread B; the ridge keeps it defined when a cell's
// within-transformed indicator is nearly collinear. Failing to factor is an
// internal fault ("XtX SPD").
linalg::Cholesky bread_factor(const linalg::Mat& gram);

// Cohort-size-weighted averages of the cell coefficients per relative period
// (ascending) and over e >= 0. The standard error of a' beta is
// sqrt(max(a' B M B a, 0)); B a is solved for each average, so B itself is
// never formed. Given the unridged Gram, each B a gets one step of
// refinement against it, removing the ridge's pull on the standard errors
// as on the coefficients.
SaResult summarize(const Design& design, const std::vector<double>& beta,
                   const linalg::Cholesky& bread, const linalg::Mat& meat,
                   const linalg::Mat* gram = nullptr);

}  // namespace quintara::estimators::did::sunab
