#include "core/geo/shared_grams.hpp"

#include <algorithm>

#include "core/linalg/kernels.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/wide_clones.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::geo {

namespace {

using estimators::sc::Method;

// periods x markets, one column per market: the layout the fits' blocks use.
linalg::Mat by_market(const linalg::Mat& y) {
  linalg::Mat out(y.cols, y.rows);
  for (std::size_t t = 0; t < y.cols; ++t) {
    for (std::size_t j = 0; j < y.rows; ++j) out(t, j) = y(j, t);
  }
  return out;
}

// The first t0 periods of every market, each centred over them as SDID's
// unit weights centre their block (the mean is sum / count).
linalg::Mat centred_pre(const linalg::Mat& x, std::size_t t0) {
  linalg::Mat out(t0, x.cols);
  for (std::size_t j = 0; j < x.cols; ++j) {
    const double* a = x.data.data() + j * x.rows;
    const double mu = linalg::mean_div(t0, [&](std::size_t t) { return a[t]; });
    for (std::size_t t = 0; t < t0; ++t) out(t, j) = a[t] - mu;
  }
  return out;
}

// Each market's first differences over periods 1 .. t0 - 1, taken about
// their mean over every market: close to any control set's own mean, so
// the noise level follows from these sums without cancellation.
void change_sums(const linalg::Mat& x, std::size_t t0, double& ref, std::vector<double>& sum,
                 std::vector<double>& sq) {
  const std::size_t n = x.cols;
  sum.assign(n, 0.0);
  sq.assign(n, 0.0);
  ref = 0.0;
  if (t0 < 2) return;
  double total = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    const double* a = x.data.data() + j * x.rows;
    for (std::size_t t = 1; t < t0; ++t) total += a[t] - a[t - 1];
  }
  ref = total / (static_cast<double>(n) * static_cast<double>(t0 - 1));
  for (std::size_t j = 0; j < n; ++j) {
    const double* a = x.data.data() + j * x.rows;
    for (std::size_t t = 1; t < t0; ++t) {
      const double d = (a[t] - a[t - 1]) - ref;
      sum[j] += d;
      sq[j] += d * d;
    }
  }
}

// K <- K + sign * d d^T (K n x n): both triangles, each entry's product
// formed the same way, so K stays exactly symmetric.
QUINTARA_WIDE_CLONES void rank_one(double* __restrict K, const double* __restrict d, double sign,
                                   std::size_t n) {
  for (std::size_t u = 0; u < n; ++u) {
    const double du = sign * d[u];
    double* col = K + u * n;
    for (std::size_t t = 0; t < n; ++t) col[t] = col[t] + d[t] * du;
  }
}

// The lower triangle of K <- K + sum_c sign_c d_c d_c^T (K n x n, by
// columns) for C columns in one pass over K, each entry its terms in column
// order: the bits of one rank-one update after another.
template <std::size_t C>
void rank_lower(double* __restrict K, const double* const* d, const double* sign, std::size_t n) {
  for (std::size_t u = 0; u < n; ++u) {
    double du[C];
    for (std::size_t c = 0; c < C; ++c) du[c] = sign[c] * d[c][u];
    double* __restrict col = K + u * n;
    for (std::size_t t = u; t < n; ++t) {
      double v = col[t];
      for (std::size_t c = 0; c < C; ++c) v = v + d[c][t] * du[c];
      col[t] = v;
    }
  }
}

QUINTARA_WIDE_CLONES void rank_lower_columns(double* K, const double* const* d, const double* sign,
                                             std::size_t m, std::size_t n) {
  std::size_t c = 0;
  for (; c + 4 <= m; c += 4) rank_lower<4>(K, d + c, sign + c, n);
  if (m - c == 3) rank_lower<3>(K, d + c, sign + c, n);
  if (m - c == 2) rank_lower<2>(K, d + c, sign + c, n);
  if (m - c == 1) rank_lower<1>(K, d + c, sign + c, n);
}

// The level matrices of SharedGrams (SDID's unit weights over periods).
void level_sums(const linalg::Mat& x, SharedGrams& g) {
  const std::size_t R = g.windows.back(), n = x.cols;
  g.level = linalg::Mat::uninitialised(R, n);
  for (std::size_t j = 0; j < n; ++j) {
    const double* a = x.data.data() + j * x.rows;
    const double mu = linalg::mean_div(R, [&](std::size_t t) { return a[t]; });
    double* e = g.level.data.data() + j * R;
    for (std::size_t t = 0; t < R; ++t) e[t] = a[t] - mu;
  }
  g.level_outer = linalg::Mat(R, R);
  std::vector<const double*> cols(n);
  for (std::size_t j = 0; j < n; ++j) cols[j] = g.level.data.data() + j * R;
  const std::vector<double> plus(n, 1.0);
  rank_lower_columns(g.level_outer.data.data(), cols.data(), plus.data(), n, R);
  g.level_mean.resize(g.windows.size());
  g.unit_diag.resize(g.windows.size());
  for (std::size_t w = 0; w < g.windows.size(); ++w) {
    const std::size_t t0 = g.windows[w];
    g.unit_diag[w].resize(n);
    for (std::size_t j = 0; j < n; ++j) g.unit_diag[w][j] = g.unit[w](j, j);
    g.level_mean[w].resize(n);
    for (std::size_t j = 0; j < n; ++j) {
      const double* e = g.level.data.data() + j * R;
      g.level_mean[w][j] = linalg::mean_div(t0, [&](std::size_t t) { return e[t]; });
    }
  }
}

}  // namespace

void level_update(const SharedGrams& g, double* outer, std::span<const std::size_t> markets,
                  std::span<const double> signs) {
  QUINTARA_ASSERT_EQ(markets.size(), signs.size(), "level_update: one sign per market");
  const std::size_t R = g.level.rows, m = markets.size();
  // Four columns per pass, as rank_lower_columns groups them.
  for (std::size_t c0 = 0; c0 < m; c0 += 4) {
    const std::size_t k = std::min<std::size_t>(4, m - c0);
    const double* cols[4];
    for (std::size_t c = 0; c < k; ++c) cols[c] = g.level.data.data() + markets[c0 + c] * R;
    rank_lower_columns(outer, cols, signs.data() + c0, k, R);
  }
}

bool shares_grams(Method method) { return method == Method::Sdid || method == Method::Sc; }

SharedGrams shared_grams(const linalg::Mat& y, std::span<const std::size_t> windows,
                         std::size_t test_len, Method method) {
  QUINTARA_ASSERT(shares_grams(method), "shared_grams: method not supported");
  QUINTARA_ASSERT(!windows.empty(), "shared_grams: no windows");
  QUINTARA_ASSERT(test_len >= 1 && test_len < y.cols, "shared_grams: test_len out of range");
  const std::size_t n = y.rows, W = windows.size();
  SharedGrams g;
  g.windows.assign(windows.begin(), windows.end());
  g.test_len = test_len;
  g.span = windows.back() + test_len;
  g.method = method;
  g.n_pre = y.cols - test_len;
  const linalg::Mat x = by_market(y);
  const bool sdid = method == Method::Sdid;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t t = 0; t < y.cols; ++t) g.volume += y(i, t);
  }

  g.unit.resize(W);
  g.change_ref.assign(W, 0.0);
  g.change_sum.resize(W);
  g.change_sq.resize(W);
  // One task per window, and one more for the diagnostics' matrix.
  parallel::parallel_for(W + 1, [&](std::size_t w) {
    if (w == W) {
      g.diagnostics = linalg::syrk_ata(x.view().block(0, 0, g.n_pre, n));
      return;
    }
    const std::size_t t0 = windows[w];
    if (sdid) {
      g.unit[w] = linalg::syrk_ata(centred_pre(x, t0));
      change_sums(x, t0, g.change_ref[w], g.change_sum[w], g.change_sq[w]);
    } else {
      g.unit[w] = linalg::syrk_ata(x.view().block(0, 0, t0, n));
    }
  });
  if (!sdid) return g;
  level_sums(x, g);

  const std::size_t S = g.span;
  g.dev = linalg::Mat(S, n);
  for (std::size_t t = 0; t < S; ++t) {
    const double m = linalg::mean_div(n, [&](std::size_t j) { return y(j, t); });
    for (std::size_t j = 0; j < n; ++j) g.dev(t, j) = y(j, t) - m;
  }
  g.time = linalg::Mat(S, S);
  for (std::size_t j = 0; j < n; ++j) {
    rank_one(g.time.data.data(), g.dev.data.data() + j * S, 1.0, S);
  }
  // The candidates' solves are fast-path ones, and so is their start.
  g.time_start.resize(W);
  parallel::parallel_for(W, [&](std::size_t w) {
    g.time_start[w] = time_weights(g.time, windows[w], test_len, {}, linalg::QpPath::kFast);
  });
  return g;
}

std::vector<double> time_weights(const linalg::Mat& K, std::size_t t0, std::size_t test_len,
                                 std::span<const double> start, linalg::QpPath path) {
  const std::size_t S = K.rows;
  QUINTARA_ASSERT(t0 + test_len <= S, "time_weights: window past the Gram's periods");
  std::vector<double> b(t0);
  for (std::size_t t = 0; t < t0; ++t) {
    b[t] = linalg::mean_div(test_len, [&](std::size_t p) { return K.data[t + (t0 + p) * S]; });
  }
  const linalg::MatView pre{K.data.data(), t0, t0, S};
  linalg::GramColumns columns(pre);
  return linalg::solve_simplex_qp(columns, b, 0.0, 0.0, 1.0, start, path).weights;
}

linalg::Mat control_time_gram(const SharedGrams& g, std::span<const std::size_t> controls) {
  const std::size_t n = g.n_markets(), S = g.span, J = controls.size();
  QUINTARA_ASSERT(J > 0, "control_time_gram: no controls");
  std::vector<bool> is_control(n, false);
  for (const std::size_t j : controls) is_control[j] = true;
  const auto dev = [&](std::size_t j) { return g.dev.data.data() + j * S; };

  // Whichever side is smaller: the controls' own rows, or every row less
  // those of the markets left out.
  linalg::Mat K(S, S);
  if (2 * J <= n) {
    for (const std::size_t j : controls) rank_one(K.data.data(), dev(j), 1.0, S);
  } else {
    K = g.time;
    for (std::size_t j = 0; j < n; ++j) {
      if (!is_control[j]) rank_one(K.data.data(), dev(j), -1.0, S);
    }
  }
  // The centring moves from the all-market means to the controls' means:
  // minus s s^T / J with s the controls' summed deviations.
  std::vector<double> s(S, 0.0);
  for (const std::size_t j : controls) {
    const double* d = dev(j);
    for (std::size_t t = 0; t < S; ++t) s[t] += d[t];
  }
  for (std::size_t u = 0; u < S; ++u) {
    for (std::size_t t = 0; t < S; ++t) K(t, u) = K(t, u) - s[t] * s[u] / static_cast<double>(J);
  }
  return K;
}

}  // namespace quintara::geo
