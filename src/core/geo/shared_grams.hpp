// The matrices every candidate of one market selection shares.
//
// A candidate's fits differ from its neighbours' only in which markets are
// treated and which are controls, so the sums over periods they are built
// from are formed once for all markets:
// - per placebo window, the Gram matrix of every market's pre-period series,
//   centred over that pre-period (SDID) or not (SC); a candidate's control
//   Gram matrix is its principal submatrix, entry for entry the sum a fit on
//   the copied controls forms, and its cross term with the treated average
//   is the average of the treated markets' columns;
// - the period-by-period Gram matrix of the markets' deviations from the
//   all-market mean of each period, which SDID's time weights need centred
//   over the controls instead: a candidate downdates it by the rows it leaves
//   out (or sums its controls' rows when they are fewer) and corrects the
//   centring by one rank-one term;
// - per window, each market's sums of first differences about a common
//   reference, from which SDID's noise level over any control set follows;
// - per window (SDID), the time weights with every market a control: a
//   candidate leaves out a few markets, so its own time weights are near
//   these and its solve begins there;
// - each market's pre-period series about a level of its own, and the sum
//   of their outer products, from which a candidate's unit weights are
//   solved over periods instead of controls (period_weights.hpp);
// - the Gram matrix of the diagnostics' synthetic control (every period
//   before the test window).
//
// Memory is n_markets^2 doubles per window and per kind, so a 210-market
// search with 26 windows holds about 9 MB. Every sum runs in a fixed order
// and each window is formed by one task, so the matrices are the same bits
// for any number of workers.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/estimators/sc/method.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

struct SharedGrams {
  std::vector<std::size_t> windows;  // each window's first test period t0
  std::size_t test_len = 0;
  std::size_t span = 0;  // periods any window reads: the last t0 + test_len
  estimators::sc::Method method = estimators::sc::Method::Sdid;
  // Per window, n x n: SDID's centred pre-period Gram, or SC's plain one.
  std::vector<linalg::Mat> unit;
  // Per window and market (SDID): the sum of the pre-period first
  // differences minus change_ref[w] and the sum of their squares.
  std::vector<double> change_ref;
  std::vector<std::vector<double>> change_sum, change_sq;
  // span x n (SDID): each market's outcome minus the all-market mean of
  // its period, one column per market; and span x span, the sum over
  // markets of dev_j dev_j^T.
  linalg::Mat dev, time;
  // Per window (SDID): time_weights(time, t0, test_len, {}).
  std::vector<std::vector<double>> time_start;
  // SDID's unit weights solved over periods (period_weights.hpp): every
  // market's series before the last window less its mean there (rows x n,
  // rows = windows.back(), one column per market), the lower triangle of
  // the sum of their outer products over the markets (rows x rows), and per
  // window each column's mean over the window's pre-period.
  linalg::Mat level, level_outer;
  std::vector<std::vector<double>> level_mean;
  // Per window (SDID): the diagonal of unit[w], read where the columns of
  // unit[w] are not.
  std::vector<std::vector<double>> unit_diag;
  // n x n: the plain Gram over the periods before the test window.
  linalg::Mat diagnostics;
  std::size_t n_pre = 0;  // those periods
  // Every market's outcome over every period, summed market by market in
  // order: the volume a candidate's share is taken of when all markets are
  // its fit's rows, the same sum for every such candidate.
  double volume = 0.0;

  std::size_t n_markets() const { return diagnostics.rows; }
};

// Whether the shared path scores `method` (SDID and SC); every other method
// refits each candidate.
bool shares_grams(estimators::sc::Method method);

// The matrices for y (markets x periods) and the given windows, formed in
// parallel over windows. Requires shares_grams(method), windows ascending
// and non-empty, and 1 <= test_len < y.cols.
SharedGrams shared_grams(const linalg::Mat& y, std::span<const std::size_t> windows,
                         std::size_t test_len, estimators::sc::Method method);

// SDID's time-weight Gram matrix over `controls` (ascending market
// indices): span x span, sum_j (x_j - mu)(x_j - mu)^T over the controls
// with mu their period means, formed from `grams.time`.
linalg::Mat control_time_gram(const SharedGrams& grams, std::span<const std::size_t> controls);

// outer <- outer + sum_c signs[c] e_c e_c^T on its lower triangle, e_c the
// column of grams.level of markets[c] (outer: level.rows x level.rows, by
// columns), in that order: the bits of one market after another.
void level_update(const SharedGrams& grams, double* outer, std::span<const std::size_t> markets,
                  std::span<const double> signs);

// SDID's time weights for the window beginning at t0, from a span x span
// time Gram K: the pre-periods predicting the post-period mean, whose cross
// term is the mean of K's post-period columns. Begun at `start` (t0 weights
// on the simplex; empty for the cheapest vertex).
std::vector<double> time_weights(const linalg::Mat& K, std::size_t t0, std::size_t test_len,
                                 std::span<const double> start, linalg::QpPath path);

}  // namespace quintara::geo
