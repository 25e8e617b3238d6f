// Simplex-constrained weight solvers: oracle ordering rules, the projection,
// degenerate inputs, optimality on random problems against an independent
// projected-gradient reference (exact breakpoint projection, long double),
// KKT conditions, and bit-reproducibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/linalg/kernels.hpp"
#include "core/linalg/simplex.hpp"

namespace quintara::linalg {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using V = std::vector<double>;

V randn(std::size_t n, std::mt19937_64& gen, double scale = 1.0) {
  std::normal_distribution<double> nd;
  V v(n);
  for (double& e : v) e = scale * nd(gen);
  return v;
}

Mat randn_mat(std::size_t r, std::size_t c, std::mt19937_64& gen) {
  Mat m(r, c);
  m.data = randn(r * c, gen);
  return m;
}

bool bit_equal(const SimplexSolution& a, const SimplexSolution& b) {
  return a.weights.size() == b.weights.size() && a.iterations == b.iterations &&
         std::memcmp(&a.gap, &b.gap, sizeof(double)) == 0 &&
         std::memcmp(a.weights.data(), b.weights.data(), a.weights.size() * sizeof(double)) == 0;
}

// Exact projection onto {sum = 1, lo <= w <= hi}: the clamped sum is
// piecewise linear in the shift; find the segment that crosses 1 among the
// sorted breakpoints and interpolate.
V exact_projection(const V& x, double lo, double hi) {
  using LD = long double;
  std::vector<LD> bp;
  for (double v : x) bp.insert(bp.end(), {LD(v) - lo, LD(v) - hi});
  std::sort(bp.begin(), bp.end());
  auto phi = [&](LD t) {
    LD s = 0;
    for (double v : x) s += std::clamp(LD(v) - t, LD(lo), LD(hi));
    return s;
  };
  LD tau = bp.front();
  for (std::size_t k = 0; k + 1 < bp.size(); ++k) {
    const LD a = phi(bp[k]), b = phi(bp[k + 1]);
    if (a >= 1 && b <= 1) {
      tau = a == b ? bp[k] : bp[k] + (a - 1) * (bp[k + 1] - bp[k]) / (a - b);
      break;
    }
  }
  V w(x.size());
  for (std::size_t i = 0; i < x.size(); ++i)
    w[i] = double(std::clamp(LD(x[i]) - tau, LD(lo), LD(hi)));
  return w;
}

// Plain projected gradient with a Frobenius-bound step, run far past
// convergence; deliberately unlike the solvers under test.
V reference_solve(const Mat& G, const V& b, double lambda, double lo, double hi) {
  double frob = 0.0;
  for (double e : G.data) frob += e * e;
  const double step = 1.0 / (std::sqrt(frob) + lambda);
  V w(b.size(), 1.0 / b.size()), z(b.size());
  for (int it = 0; it < 20000; ++it) {
    const V g = grad(G, b, w, lambda);
    for (std::size_t i = 0; i < w.size(); ++i) z[i] = w[i] - step * g[i];
    w = exact_projection(z, lo, hi);
  }
  return w;
}

void expect_feasible(const V& w, double lo, double hi) {
  double s = 0.0;
  for (double e : w) {
    s += e;
    EXPECT_GE(e, lo - 1e-15);
    EXPECT_LE(e, hi + 1e-15);
  }
  EXPECT_NEAR(s, 1.0, 1e-12);
}

// KKT: some multiplier nu has g_i = nu on free coordinates, g_i >= nu at lo
// and g_i <= nu at hi.
void expect_kkt(const Mat& G, const V& b, const V& w, double lambda, double lo, double hi) {
  const V g = grad(G, b, w, lambda);
  double nu_lo = -kInf, nu_hi = kInf;
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (w[i] > lo + 1e-9) nu_lo = std::max(nu_lo, g[i]);
    if (w[i] < hi - 1e-9) nu_hi = std::min(nu_hi, g[i]);
  }
  EXPECT_LE(nu_lo, nu_hi + 1e-6);
}

TEST(SimplexObjective, HandComputed) {
  // G = [[2,1],[1,3]], b = [1,2], w = [.5,.5], lambda = 1: Gw = [1.5, 2],
  // f = 0.5*((0.5+1.5)*0.5 + (0.5+2)*0.5) - 1.5 = -0.375, g = [1, 0.5].
  Mat G(2, 2);
  G.data = {2, 1, 1, 3};
  EXPECT_EQ(objective(G, V{1, 2}, V{0.5, 0.5}, 1.0), -0.375);
  EXPECT_EQ(grad(G, V{1, 2}, V{0.5, 0.5}, 1.0), (V{1.0, 0.5}));
}

TEST(SimplexDegenerate, EmptySingleAndZeroIterations) {
  for (const SimplexSolution& s : {solve_fw(Mat(), {}, 10, 0.0, 1e-10),
                                   solve_bounded(Mat(), {}, 10, 0.0, 0.1, 0.5, 1e-10),
                                   sc_weights_bounded(Mat(5, 0), V(5, 1.0), 0.0, 0.1, 0.5)}) {
    EXPECT_TRUE(s.weights.empty());
    EXPECT_EQ(s.iterations, 0u);
    EXPECT_EQ(s.gap, 0.0);
  }
  Mat G1(1, 1);
  G1.data = {3.0};
  const SimplexSolution one = solve_fw(G1, V{-5.0}, 100, 0.5, 0.0);
  EXPECT_EQ(one.weights, V{1.0});
  EXPECT_EQ(one.iterations, 0u);
  EXPECT_EQ(one.gap, 0.0);

  std::mt19937_64 gen(3);
  const Mat G = syrk_ata(randn_mat(6, 4, gen));
  const V b = randn(4, gen);
  for (const SimplexSolution& s :
       {solve_fw(G, b, 0, 0.0, 1e-10), solve_bounded(G, b, 0, 0.0, 0.0, 0.4, 1e-10)}) {
    EXPECT_EQ(s.weights, V(4, 0.25));
    EXPECT_EQ(s.gap, kInf);
  }
  // Hitting the cap reports max_iter and the gap measured at that iteration.
  const SimplexSolution capped = solve_fw(G, b, 1, 0.0, 0.0);
  EXPECT_EQ(capped.iterations, 1u);
  const V g = grad(G, b, V(4, 0.25), 0.0);
  const double gw = g[0] * 0.25 + g[1] * 0.25 + g[2] * 0.25 + g[3] * 0.25;
  EXPECT_EQ(capped.gap, gw - *std::min_element(g.begin(), g.end()));
}

TEST(SimplexDegenerate, BoundsInactiveOrPinned) {
  std::mt19937_64 gen(5);
  const Mat X = randn_mat(12, 4, gen);
  const V y = randn(12, gen);
  const Mat G = syrk_ata(X);
  const V b = randn(4, gen, 3.0);
  const SimplexSolution fw = solve_fw(G, b, 700, 0.2, 1e-10);
  EXPECT_TRUE(bit_equal(solve_bounded(G, b, 700, 0.2, 0.0, 1.0, 1e-10), fw));
  EXPECT_TRUE(bit_equal(solve_bounded(G, b, 700, 0.2, -1.0, 3.0, 1e-10), fw));
  EXPECT_EQ(sc_weights_bounded(X, y, 0.0, 0.25, 0.25).weights, V(4, 0.25));
  // lo above 1/n (or hi below it) acts as 1/n, which pins every weight.
  for (double w : sc_weights_bounded(X, y, 0.0, 0.6, 0.9).weights) EXPECT_NEAR(w, 0.25, 1e-15);
  for (double w : sc_weights_bounded(X, y, 0.0, 0.0, 0.1).weights) EXPECT_NEAR(w, 0.25, 1e-15);
}

TEST(SimplexProjection, ExampleNonFiniteAndExactReference) {
  // tau = 0.05 (by hand): [0.2, 0.9, -0.5] - 0.05 clamped to [0, 1].
  const V w = project_bounded_simplex(V{0.2, 0.9, -0.5}, 0, 1);
  EXPECT_NEAR(w[0], 0.15, 1e-12);
  EXPECT_NEAR(w[1], 0.85, 1e-12);
  EXPECT_EQ(w[2], 0.0);
  EXPECT_EQ(project_bounded_simplex(V{0.2, kNaN, 0.9, kInf, -0.5, -kInf}, 0, 1),
            project_bounded_simplex(V{0.2, 0.0, 0.9, 0.0, -0.5, 0.0}, 0, 1));
  EXPECT_TRUE(project_bounded_simplex(V{}, 0, 1).empty());

  std::mt19937_64 gen(21);
  std::uniform_real_distribution<double> ulo(-0.1, 0.15), uhi(0.1, 1.3);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 1 + trial % 13;
    const V v = randn(n, gen, trial % 2 ? 1.0 : 50.0);
    const double lo = ulo(gen), hi = uhi(gen), u = 1.0 / n;
    const double lo2 = std::min(u, std::max(0.0, lo)), hi2 = std::min(1.0, std::max(u, hi));
    const V p = project_bounded_simplex(v, lo, hi);
    expect_feasible(p, lo2, hi2);
    if (lo2 == u || hi2 == u) {  // the box pins every weight to 1/n
      for (double e : p) EXPECT_NEAR(e, u, 1e-15);
      continue;
    }
    const V ref = exact_projection(v, lo2, hi2);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(p[i], ref[i], 1e-12) << "trial " << trial;
  }
}

TEST(SimplexOracle, ExampleTiesAndTotalOrder) {
  const V s = lmo_bounded(V{3, 1, 2}, 0.1, 0.5);
  EXPECT_EQ(s[0], 0.1);
  EXPECT_NEAR(s[1], 0.5, 1e-15);
  EXPECT_NEAR(s[2], 0.4, 1e-15);
  EXPECT_EQ(lmo_bounded(V{2, 1, 1, 1}, 0.0, 0.5), (V{0, 0.5, 0.5, 0}));  // ties: index order
  EXPECT_EQ(lmo_bounded(V{0.0, -0.0}, 0.0, 0.75), (V{0.25, 0.75}));      // -0 before +0
  EXPECT_EQ(lmo_bounded(V{kNaN, 5.0, -kInf}, 0.0, 0.5), (V{0.0, 0.5, 0.5}));
  const V neg = lmo_bounded(V{-kInf, -kNaN, 0.0}, 0.0, 0.6);  // -NaN sorts first
  EXPECT_EQ(neg[1], 0.6);
  EXPECT_NEAR(neg[0], 0.4, 1e-15);
  EXPECT_EQ(neg[2], 0.0);
  for (double e : lmo_bounded(V{1, 2, 3}, 0.0, 0.2)) EXPECT_NEAR(e, 1.0 / 3.0, 1e-15);
}

TEST(SimplexFrankWolfe, TiedDonorsFavourLowerIndex) {
  // Donors 0 = 1 = target, donors 2 = 3 unrelated. From the uniform start the
  // gradients tie pairwise and the FW gap equals the away gap, so a toward
  // step is taken to the lowest index of the tied minimum and the exact line
  // search lands on e_0.
  Mat X(5, 4);
  const V c{1, -2, 0.5, 3, 1}, d{0, 1, 2, -1, 0};
  for (std::size_t t = 0; t < 5; ++t) {
    X(t, 0) = X(t, 1) = c[t];
    X(t, 2) = X(t, 3) = d[t];
  }
  const SimplexSolution s = sc_weights(X, c, 0.0);
  EXPECT_NEAR(s.weights[0], 1.0, 1e-12);
  EXPECT_EQ(s.weights[1], 0.0);
  EXPECT_LT(s.weights[2] + s.weights[3], 1e-12);
}

struct Problem {
  Mat G;
  V b;
  Mat X;
  V y;
  double lambda;
  bool unique;  // strongly convex: full-rank Gram or lambda > 0
};

std::vector<Problem> random_problems() {
  std::vector<Problem> out;
  std::mt19937_64 gen(2024);
  const std::size_t shapes[][2] = {{30, 3}, {40, 6}, {25, 8}, {60, 12}, {6, 10}, {15, 15}};
  for (const auto& sh : shapes) {
    for (const double lambda : {0.0, 0.5}) {
      Mat X = randn_mat(sh[0], sh[1], gen);
      V y = randn(sh[0], gen);
      // Pull the target toward two donors so several weights are interior.
      for (std::size_t t = 0; t < sh[0]; ++t) y[t] += 0.6 * X(t, 0) + 0.4 * X(t, 1);
      V b(sh[1]);
      gemv_t(X, y, b, 1.0, 0.0);
      out.push_back({syrk_ata(X), b, X, y, lambda, lambda > 0 || sh[0] > sh[1] + 2});
    }
  }
  return out;
}

void check_against_reference(const Problem& p, const V& w, double lo, double hi) {
  expect_feasible(w, lo, hi);
  const V ref = reference_solve(p.G, p.b, p.lambda, lo, hi);
  const double fs = objective(p.G, p.b, w, p.lambda), fr = objective(p.G, p.b, ref, p.lambda);
  EXPECT_LE(fs, fr + 1e-9 * (1 + std::fabs(fr))) << "n=" << w.size() << " box " << lo << "," << hi;
  expect_kkt(p.G, p.b, w, p.lambda, lo, hi);
  if (!p.unique) return;
  for (std::size_t i = 0; i < w.size(); ++i) EXPECT_NEAR(w[i], ref[i], 1e-5);
}

TEST(SimplexOptimality, PlainSimplexAgainstReference) {
  for (const Problem& p : random_problems())
    check_against_reference(p, sc_weights(p.X, p.y, p.lambda).weights, 0.0, 1.0);
}

TEST(SimplexOptimality, BoundedSimplexAgainstReference) {
  int by_first_polish = 0, total = 0;
  for (const Problem& p : random_problems()) {
    for (const auto& [lo, hi] : {std::pair{0.0, 0.3}, std::pair{0.02, 0.45}, std::pair{0.05, 0.25}}) {
      const SimplexSolution s = sc_weights_bounded(p.X, p.y, p.lambda, lo, hi);
      const double u = 1.0 / p.b.size();
      check_against_reference(p, s.weights, std::min(u, lo), std::max(u, hi));
      ++total;
      if (s.iterations <= 25) ++by_first_polish;
    }
  }
  // On these well-conditioned problems the first polish (iteration 25) lands
  // on the active-set solution and the next gap test stops the solve; the
  // accelerated steps alone need 35-90 iterations for most of them.
  EXPECT_GE(by_first_polish, total * 3 / 4);
}

TEST(SimplexReproducibility, RepeatedRunsBitIdentical) {
  for (const Problem& p : random_problems()) {
    EXPECT_TRUE(bit_equal(sc_weights(p.X, p.y, p.lambda), sc_weights(p.X, p.y, p.lambda)));
    EXPECT_TRUE(bit_equal(sc_weights_bounded(p.X, p.y, p.lambda, 0.02, 0.3),
                          sc_weights_bounded(p.X, p.y, p.lambda, 0.02, 0.3)));
  }
}

}  // namespace
}  // namespace quintara::linalg
