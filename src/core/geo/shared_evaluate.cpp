#include "core/geo/shared_evaluate.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/prepared.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/geo/curve.hpp"
#include "core/geo/diagnostics.hpp"
#include "core/geo/period_weights.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/gram_columns.hpp"
#include "core/linalg/isolated_minimiser.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::geo {

namespace {

using Index = std::span<const std::size_t>;
using estimators::sc::Method;

// Candidates are many and their solves long: the solver's fast arithmetic
// (the same minimisers, to the KKT tolerance).
constexpr linalg::QpPath kPath = linalg::QpPath::kFast;

// The treated markets' average cross term with every control: the average
// of their columns of G, which is the controls' Gram product with the
// treated average series.
std::vector<double> cross_term(const linalg::Mat& G, Index controls, Index treated) {
  const double inv = 1.0 / static_cast<double>(treated.size());
  std::vector<double> c(controls.size());
  for (std::size_t k = 0; k < controls.size(); ++k) {
    double s = 0.0;
    for (const std::size_t i : treated) s += G(controls[k], i);
    c[k] = s * inv;
  }
  return c;
}

// `start`: the previous window's weights (empty for none). When the
// controls are most of the markets the problem is posed on G itself, the
// other markets left out: the same solve, without copying the submatrix.
// The solution's weights are the controls'.
linalg::SimplexSolution unit_solve(const linalg::Mat& G, Index controls, std::span<const double> c,
                                   double ridge, double lo, double hi,
                                   std::span<const double> start = {}) {
  const std::size_t n = G.cols, J = controls.size();
  if (4 * J < 3 * n) {
    linalg::GramColumns columns = linalg::GramColumns::principal(G, controls);
    return linalg::solve_simplex_qp(columns, c, ridge, lo, hi, start, kPath);
  }
  std::vector<unsigned char> keep(n, 0);
  std::vector<double> b(n, 0.0), w0;
  for (std::size_t k = 0; k < J; ++k) {
    keep[controls[k]] = 1;
    b[controls[k]] = c[k];
  }
  if (start.size() == J) {
    w0.assign(n, 0.0);
    for (std::size_t k = 0; k < J; ++k) w0[controls[k]] = start[k];
  }
  linalg::GramColumns columns(G.view());
  linalg::SimplexSolution out =
      linalg::solve_simplex_qp(columns, b, ridge, lo, hi, w0, kPath, keep);
  std::vector<double> w(J);
  for (std::size_t k = 0; k < J; ++k) w[k] = out.weights[controls[k]];
  out.weights = std::move(w);
  return out;
}

std::vector<double> unit_weights(const linalg::Mat& G, Index controls, std::span<const double> c,
                                 double ridge, double lo, double hi,
                                 std::span<const double> start = {}) {
  return unit_solve(G, controls, c, ridge, lo, hi, start).weights;
}

// sum_k w_k y(controls[k], t), zero weights skipped (they add nothing).
double weighted(const linalg::Mat& y, Index controls, std::span<const double> w, std::size_t t) {
  double s = 0.0;
  for (std::size_t k = 0; k < controls.size(); ++k) {
    if (w[k] != 0.0) s += w[k] * y(controls[k], t);
  }
  return s;
}

// acc_j <- acc_j + a y(j, t) for every market j (a = 1 adds y exactly).
void add_period(double* __restrict acc, const linalg::Mat& y, std::size_t t, double a) {
  const double* __restrict col = y.data.data() + t * y.rows;
  for (std::size_t j = 0; j < y.rows; ++j) acc[j] = acc[j] + a * col[j];
}

// SDID's noise level over the controls, from the window's change sums.
double noise_level(const SharedGrams& g, std::size_t w, Index controls) {
  const std::size_t t0 = g.windows[w];
  const double n = static_cast<double>(controls.size()) * static_cast<double>(t0 - 1);
  if (t0 < 2 || n < 2.0) return 0.0;
  double sum = 0.0, sq = 0.0;
  for (const std::size_t j : controls) {
    sum += g.change_sum[w][j];
    sq += g.change_sq[w][j];
  }
  return std::sqrt(std::max(sq - sum * sum / n, 0.0) / (n - 1.0));
}

// One window's fit, reduced to what re-assembles its effect for any
// treated post-period series.
struct WindowFit {
  double pre_level = 0.0, controls = 0.0;  // SDID
  std::vector<double> counterfactual;      // SC
};

// Where the solves begin. The unit weights: the candidate's previous
// window's, as its next window differs by a period; windows run in order
// within one task, so the starts never depend on scheduling. The time
// weights: the window's shared all-market ones, which a candidate's few
// left-out markets barely move. A start is used only where the minimiser is
// unique (a ridge, or a Gram matrix that can have full rank): on a singular
// problem another start may end at another minimiser, with another effect.
struct WarmStart {
  std::vector<double> omega;
  // SDID's unit weights over periods, where the problem has a ridge and
  // the plain simplex (absent otherwise).
  std::optional<PeriodWeights> periods;
};

std::span<const double> start_if(bool unique, const std::vector<double>& start) {
  return unique ? std::span<const double>(start) : std::span<const double>();
}

WindowFit sdid_window(const linalg::Mat& y, const SharedGrams& g, std::size_t w,
                      const linalg::Mat& K, Index controls, Index treated,
                      std::span<const double> ybar, const SelectionSettings& s, WarmStart& warm) {
  const std::size_t t0 = g.windows[w], P = g.test_len;
  const double ridge =
      estimators::sc::sdid::unit_ridge(noise_level(g, w, controls), treated.size(), P, t0, 1.0);
  const std::vector<double> c = cross_term(g.unit[w], controls, treated);
  std::vector<double> omega;
  if (warm.periods && ridge > 0.0) {
    const double level = linalg::mean_div(t0, [&](std::size_t t) { return ybar[t]; });
    std::vector<double> centred(t0);
    for (std::size_t t = 0; t < t0; ++t) centred[t] = ybar[t] - level;
    omega = warm.periods->solve(w, centred, c, ridge);
  }
  if (omega.empty()) {
    omega = unit_weights(g.unit[w], controls, c, ridge, s.min_weight, s.max_weight,
                         start_if(ridge > 0.0, warm.omega));
    if (warm.periods) warm.periods->follow(omega);
  }
  warm.omega = omega;

  // Centred over the controls, K's rank is below their count.
  const std::vector<double> lambda =
      time_weights(K, t0, P, start_if(controls.size() > t0, g.time_start[w]), kPath);

  WindowFit out;
  for (std::size_t t = 0; t < t0; ++t) out.pre_level += lambda[t] * ybar[t];
  // The periods of nonzero weight, a few of t0: the only terms each
  // control's weighted pre-period level takes.
  std::vector<std::size_t> support;
  for (std::size_t t = 0; t < t0; ++t) {
    if (lambda[t] != 0.0) support.push_back(t);
  }
  // Every market's post-period mean and weighted pre-period level, period
  // by period down the contiguous market columns: each market's terms in
  // the order of a per-market loop, so the same bits.
  const std::size_t n = y.rows;
  std::vector<double> post(n, 0.0), level(n, 0.0);
  for (std::size_t p = 0; p < P; ++p) add_period(post.data(), y, t0 + p, 1.0);
  for (std::size_t j = 0; j < n; ++j) post[j] = post[j] / static_cast<double>(P);
  for (const std::size_t t : support) add_period(level.data(), y, t, lambda[t]);
  for (std::size_t k = 0; k < controls.size(); ++k) {
    if (omega[k] == 0.0) continue;
    const std::size_t j = controls[k];
    out.controls += omega[k] * (post[j] - level[j]);
  }
  return out;
}

// SC's weights (no ridge) begun at `start` where the answer is provably
// the one minimiser (the cold solve's, to rounding), else solved cold as a
// refit would: with more controls than periods the Gram matrix is
// singular and the minimiser need not be unique.
std::vector<double> sc_weights(const linalg::Mat& G, Index controls, std::span<const double> c,
                               double lo, double hi, std::span<const double> start) {
  if (lo == 0.0 && start.size() == controls.size()) {
    linalg::SimplexSolution warmed = unit_solve(G, controls, c, 0.0, lo, hi, start);
    if (linalg::isolated_minimiser(warmed, lo, hi)) return std::move(warmed.weights);
  }
  return unit_weights(G, controls, c, 0.0, lo, hi);
}

WindowFit sc_window(const linalg::Mat& y, const SharedGrams& g, std::size_t w, Index controls,
                    Index treated, const SelectionSettings& s, WarmStart& warm) {
  const std::size_t t0 = g.windows[w];
  const linalg::Mat& G = g.unit[w];
  const std::vector<double> c = cross_term(G, controls, treated);
  // Where the Gram matrix can have full rank the start is used as it is.
  std::vector<double> omega =
      controls.size() <= t0
          ? unit_weights(G, controls, c, 0.0, s.min_weight, s.max_weight, warm.omega)
          : sc_weights(G, controls, c, s.min_weight, s.max_weight, warm.omega);

  WindowFit out;
  out.counterfactual.resize(g.test_len);
  for (std::size_t p = 0; p < g.test_len; ++p) {
    out.counterfactual[p] = weighted(y, controls, omega, t0 + p);
  }
  warm.omega = std::move(omega);
  return out;
}

double window_att(const WindowFit& f, Method method, std::span<const double> post) {
  if (method == Method::Sdid) {
    return estimators::sc::sdid::did_from_parts(post, f.pre_level, f.controls);
  }
  return linalg::mean_div(post.size(),
                          [&](std::size_t p) { return post[p] - f.counterfactual[p]; });
}

// `last_omega`: the last window's unit weights on return.
PowerResult shared_curve(const linalg::Mat& y, const SharedGrams& g, Index controls, Index treated,
                         std::span<const double> ybar, const SelectionSettings& s,
                         std::vector<double>& last_omega) {
  const std::size_t W = g.windows.size(), P = g.test_len;
  linalg::Mat K;
  if (g.method == Method::Sdid) K = control_time_gram(g, controls);
  std::vector<WindowFit> fits(W);
  std::vector<double> null_atts(W);
  WarmStart warm;
  // Over periods only for the plain simplex: its free set is all the
  // period-space steps track.
  if (g.method == Method::Sdid && s.min_weight <= 0.0 && s.max_weight >= 1.0 &&
      controls.size() >= 2) {
    warm.periods.emplace(g, controls);
  }
  for (std::size_t w = 0; w < W; ++w) {
    fits[w] = g.method == Method::Sdid ? sdid_window(y, g, w, K, controls, treated, ybar, s, warm)
                                       : sc_window(y, g, w, controls, treated, s, warm);
    null_atts[w] = window_att(fits[w], g.method, ybar.subspan(g.windows[w], P));
  }
  last_omega = std::move(warm.omega);
  const auto atts_at = [&](double lift) {
    std::vector<double> atts(W);
    for (std::size_t w = 0; w < W; ++w) {
      const std::vector<double> post =
          estimators::injected_treated_post(y, treated, g.windows[w], P, lift);
      atts[w] = window_att(fits[w], g.method, post);
    }
    return atts;
  };
  const std::vector<double> lifts = selection_lifts(s.target_lift);
  return curve_from_atts(g.method, null_atts, lifts, atts_at, treated_baseline(y, treated), P,
                         s.alpha, s.target_power, s.alternative);
}

// diagnostics() on the candidate's fit rows, its synthetic control solved
// on the shared Gram matrix; `start`: SC's weights of the last window,
// whose pre-period is most of the diagnostics' (empty for none).
Diagnostics shared_diagnostics(const linalg::Mat& y, const SharedGrams& g, Index controls,
                               Index treated, Index rows, std::span<const double> ybar,
                               const SelectionSettings& s, std::span<const double> start) {
  const std::vector<double> c = cross_term(g.diagnostics, controls, treated);
  const std::vector<double> omega = controls.size() > g.n_pre
                                        ? sc_weights(g.diagnostics, controls, c, 0.0, 1.0, start)
                                        : unit_weights(g.diagnostics, controls, c, 0.0, 0.0, 1.0);
  std::vector<double> gap(g.n_pre);
  for (std::size_t t = 0; t < g.n_pre; ++t) gap[t] = ybar[t] - weighted(y, controls, omega, t);

  double treated_sum = 0.0, total = 0.0;
  for (const std::size_t i : treated) {
    for (std::size_t t = 0; t < y.cols; ++t) treated_sum += y(i, t);
  }
  if (rows.size() == g.n_markets()) {
    total = g.volume;
  } else {
    for (const std::size_t i : rows) {
      for (std::size_t t = 0; t < y.cols; ++t) total += y(i, t);
    }
  }
  const std::vector<double> donor_avg = unit_avg(y, controls);
  return diagnostics_from({ybar, donor_avg, total > 0.0 ? treated_sum / total : 0.0,
                           controls.size(), estimators::rmspe(gap), s.test_len});
}

}  // namespace

MarketCandidate evaluate_shared(const linalg::Mat& y, const SharedGrams& grams,
                                std::span<const std::size_t> treated, const SelectionSettings& s) {
  QUINTARA_ASSERT_EQ(grams.n_markets(), y.rows, "evaluate_shared: grams of another panel");
  const std::vector<std::size_t> rows = fit_rows(y.rows, treated, s);
  std::vector<std::size_t> controls;
  std::set_difference(rows.begin(), rows.end(), treated.begin(), treated.end(),
                      std::back_inserter(controls));
  if (treated.empty()) panic("no treated units");
  if (controls.empty()) panic("no control units");
  const std::vector<double> ybar = unit_avg(y, treated);
  std::vector<double> last_omega;
  const PowerResult curve = shared_curve(y, grams, controls, treated, ybar, s, last_omega);
  if (grams.method != Method::Sc) last_omega.clear();
  const Diagnostics d = shared_diagnostics(y, grams, controls, treated, rows, ybar, s, last_omega);
  return scored_candidate(curve, d, treated, s.target_lift);
}

}  // namespace quintara::geo
