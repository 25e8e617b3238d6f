#include "core/linalg/logit.hpp"

#include <algorithm>
#include <cmath>

#include "core/format.hpp"
#include "core/panic.hpp"

namespace quintara::linalg {

namespace {

// Logistic function and log(1 + e^eta), both without overflow.
double sigmoid(double eta) {
  if (eta >= 0.0) return 1.0 / (1.0 + std::exp(-eta));
  const double e = std::exp(eta);
  return e / (1.0 + e);
}

double softplus(double eta) {
  return eta > 0.0 ? eta + std::log1p(std::exp(-eta)) : std::log1p(std::exp(eta));
}

// The linear index and probabilities at `coef`.
struct State {
  std::vector<double> eta;
  std::vector<double> prob;
};

State evaluate(const MatView& X, std::span<const double> coef) {
  const std::size_t n = X.rows;
  State s{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  for (std::size_t k = 0; k < X.cols; ++k) {
    const std::span<const double> xk = X.col(k);
    for (std::size_t i = 0; i < n; ++i) s.eta[i] = s.eta[i] + xk[i] * coef[k];
  }
  for (std::size_t i = 0; i < n; ++i) s.prob[i] = sigmoid(s.eta[i]);
  return s;
}

double loglik(const State& s, std::span<const double> y, std::span<const double> w) {
  double ll = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double wi = w.empty() ? 1.0 : w[i];
    ll += wi * (y[i] * s.eta[i] - softplus(s.eta[i]));
  }
  return ll;
}

}  // namespace

Mat weighted_gram(const MatView& X, std::span<const double> v) {
  const std::size_t P = X.cols;
  Mat G(P, P);
  for (std::size_t a = 0; a < P; ++a) {
    const std::span<const double> xa = X.col(a);
    for (std::size_t b = 0; b <= a; ++b) {
      const std::span<const double> xb = X.col(b);
      double s = 0.0;
      for (std::size_t i = 0; i < X.rows; ++i) s += v[i] * xa[i] * xb[i];
      G(a, b) = s;
      G(b, a) = s;
    }
  }
  return G;
}

std::optional<Cholesky> factor_nonsingular(const MatView& A) {
  auto chol = Cholesky::make(A);
  if (!chol) return std::nullopt;
  double max_diag = 0.0;
  double min_pivot2 = 0.0;
  for (std::size_t k = 0; k < A.rows; ++k) {
    max_diag = std::max(max_diag, A(k, k));
    const double p = chol.value().l(k, k);
    min_pivot2 = k == 0 ? p * p : std::min(min_pivot2, p * p);
  }
  if (!(min_pivot2 > 1e-14 * max_diag)) return std::nullopt;
  return std::move(chol).value();
}

LogitFit logit(const MatView& X, std::span<const double> y, std::span<const double> w,
               std::size_t max_iter) {
  const std::size_t n = X.rows;
  const std::size_t P = X.cols;
  QUINTARA_ASSERT_EQ(y.size(), n, format("logit: {} responses for {} rows", y.size(), n));
  QUINTARA_ASSERT(w.empty() || w.size() == n, "logit: one weight per row");
  LogitFit out;
  out.coef.assign(P, 0.0);
  // The stopping rule's scale: the total weight bounds |loglik| / log 2 at
  // the start, where the likelihood is lowest on the path.
  double scale = 1.0;
  for (std::size_t i = 0; i < n; ++i) scale += w.empty() ? 1.0 : w[i];
  State s = evaluate(X, out.coef);
  std::vector<double> resid(n), info_w(n), score(P), trial(P);
  for (std::size_t it = 1; it <= max_iter; ++it) {
    out.iterations = it;
    for (std::size_t i = 0; i < n; ++i) {
      const double wi = w.empty() ? 1.0 : w[i];
      resid[i] = wi * (y[i] - s.prob[i]);
      info_w[i] = wi * s.prob[i] * (1.0 - s.prob[i]);
    }
    for (std::size_t k = 0; k < P; ++k) {
      const std::span<const double> xk = X.col(k);
      double g = 0.0;
      for (std::size_t i = 0; i < n; ++i) g += xk[i] * resid[i];
      score[k] = g;
    }
    const auto chol = factor_nonsingular(weighted_gram(X, info_w));
    if (!chol) {
      out.status = it == 1 ? LogitStatus::Singular : LogitStatus::Separated;
      out.prob = std::move(s.prob);
      return out;
    }
    const std::vector<double> step = chol->solve_vec(score);
    double decrement = 0.0;
    for (std::size_t k = 0; k < P; ++k) decrement += step[k] * score[k];
    const bool last = decrement <= 1e-16 * scale;

    // Far from the optimum, halve the step until the likelihood does not
    // fall; near it (where its change is below rounding) take the full step.
    const bool far = !(decrement <= 1e-8 * scale);
    const double ll = far ? loglik(s, y, w) : 0.0;
    double length = 1.0;
    for (int halvings = 0;; ++halvings) {
      for (std::size_t k = 0; k < P; ++k) trial[k] = out.coef[k] + length * step[k];
      State next = evaluate(X, trial);
      if (!far || loglik(next, y, w) >= ll) {
        s = std::move(next);
        break;
      }
      if (halvings == 60) {  // also the way out of a non-finite likelihood
        out.status = LogitStatus::NotConverged;
        out.prob = std::move(s.prob);
        return out;
      }
      length = 0.5 * length;
    }
    out.coef = trial;
    if (last) {
      out.status = LogitStatus::Converged;
      break;
    }
  }
  out.prob = std::move(s.prob);
  return out;
}

}  // namespace quintara::linalg
