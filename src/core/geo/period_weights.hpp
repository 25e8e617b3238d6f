// SDID's unit weights for one candidate, window after window, solved over
// the pre-periods instead of over the controls.
//
// The weights minimise 1/2 |y - X w|^2 + lambda/2 |w|^2 over the simplex,
// X the controls' pre-period series centred over the window and y the
// treated average's. With lambda > 0 the minimiser is
//   w_j = max(0, x_j^T r - mu) / lambda,
// r = y - X w the residual and mu the sum constraint's multiplier, and on a
// free set F the pair solves a system of t0 periods, however many controls
// carry weight:
//   (lambda I + X_F X_F^T) r = lambda y + mu X_F 1,  1^T X_F^T r - |F| mu = lambda.
// SDID's weights are dense (most of 200 controls free) over fewer periods
// (75 to 100 in a national design), so a factorisation there costs t0^3 / 6
// instead of |F|^3 / 6. The free set is found by primal-dual active-set
// steps: the controls of positive score x_j^T r - mu, recomputed until the
// set stands. Begun at the previous window's set, which differs by a few
// controls, most windows take one factorisation and a few rank-one
// corrections of it.
//
// Carried between windows: R = sum over F of e_j e_j^T, e_j the market's
// series less a level of its own (SharedGrams::level). Centring is a
// projection C, so X_F X_F^T of any window is R's leading block centred on
// both sides, C R C, O(t0^2) instead of O(t0^2 |F|).
//
// Trust: weights are returned only when they pass the active-set solver's
// KKT test (active_set.hpp), its tolerance from the window's Gram matrix and
// the gradient formed from the weights afresh (X^T X w over the periods), so
// they are the minimiser to that solver's tolerance (not its bits). Otherwise (an iteration cap, a
// factor or a downdate that loses curvature, a sum off 1) solve() returns nothing and the caller
// solves the window by that solver, then carries the sums to its support
// (follow()).
//
// Numerical caveats: the double centring cancels where a market's mean
// over a window lies far from its level relative to its variation over the
// window; the KKT test catches what that costs. Every sum runs in a fixed
// order, so the weights are the same bits for any number of workers.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/geo/shared_grams.hpp"

namespace quintara::geo {

class PeriodWeights {
 public:
  // The candidate's controls (ascending market indices, at least two), all
  // free to begin with. Requires SDID grams.
  PeriodWeights(const SharedGrams& grams, std::span<const std::size_t> controls);

  // Window w's weights in control order, or empty (see above). y: the
  // treated average's pre-period series centred over the window (t0
  // entries); c: the cross term of each control with it on grams.unit[w];
  // lambda > 0 the ridge.
  std::vector<double> solve(std::size_t w, std::span<const double> y, std::span<const double> c,
                            double lambda);

  // Carries the sums to the support of `omega` (control order), weights
  // found by another solver.
  void follow(std::span<const double> omega);

 private:
  void flip(std::span<const std::size_t> changed);
  void centre_sum(std::size_t t0);
  bool factor(std::size_t t0, double lambda);
  bool correct(std::size_t t0, std::span<const std::size_t> changed, double lambda);
  void scores(std::span<const double> y, double lambda);
  bool kkt_holds(std::size_t w, std::span<const double> c, double lambda,
                 std::span<const double> omega);

  const SharedGrams& g_;
  std::span<const std::size_t> controls_;
  std::size_t rows_;                 // SharedGrams::level's rows
  std::vector<double> outer_;        // R, lower triangle, rows_ x rows_
  std::vector<double> sum_;          // sum over F of e_j
  std::vector<unsigned char> free_;  // per control
  std::size_t n_free_ = 0;
  const double* current_mean_ = nullptr;  // the window's column means
  // Scratch: the factor (t0 x t0), the centred sum, the two solves, the
  // scores, a centred column.
  std::vector<double> L_, s_, ra_, rb_, score_, x_, ones_;
  std::vector<const double*> cols_;   // kkt_holds()'s weighted columns
  std::vector<double> steps_;         // and their weights
  std::vector<std::size_t> markets_;  // flip()'s markets and signs
  std::vector<double> signs_;
};

}  // namespace quintara::geo
