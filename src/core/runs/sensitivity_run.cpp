#include "core/runs/sensitivity_run.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/format.hpp"
#include "core/inference/arp_test.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/runs/user_error.hpp"
#include "core/runs/validate.hpp"

namespace quintara::runs {

namespace {

inference::SensitivityKind parse_kind(const std::string& kind) {
  if (kind == "relative_magnitude") return inference::SensitivityKind::relative_magnitude;
  if (kind == "smoothness") return inference::SensitivityKind::smoothness;
  throw UserError(format("unknown kind '{}' (expected relative_magnitude/smoothness)", kind));
}

// Square, matching betahat, finite, symmetric to rounding (then made exactly
// symmetric), with a positive diagonal.
void check_sigma(linalg::Mat& s, std::size_t n) {
  if (s.rows != s.cols) throw UserError(format("sigma must be square; got {}x{}", s.rows, s.cols));
  if (s.rows != n) {
    throw UserError(
        format("sigma must be {}x{} to match betahat; got {}x{}", n, n, s.rows, s.cols));
  }
  double scale = 0.0;
  for (const double v : s.data) {
    if (!std::isfinite(v)) throw UserError("sigma must be finite");
    scale = std::max(scale, std::abs(v));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!(s(i, i) > 0.0))
      throw UserError(
          format("sigma must have a positive diagonal; sigma[{}, {}] = {}", i, i, s(i, i)));
    for (std::size_t j = 0; j < i; ++j) {
      if (std::abs(s(i, j) - s(j, i)) > 1e-10 * scale) {
        throw UserError(
            format("sigma must be symmetric; sigma[{}, {}] != sigma[{}, {}]", i, j, j, i));
      }
      const double mean = (s(i, j) + s(j, i)) / 2.0;
      s(i, j) = mean;
      s(j, i) = mean;
    }
  }
  // A covariance: positive semi-definite to rounding, which a factor of
  // sigma + tol I finds (a negative eigenvalue beyond tol leaves a pivot
  // <= 0). Without it the tests' programs are unbounded or infeasible.
  const double tol = 1e-10 * static_cast<double>(n) * scale;
  if (!linalg::Cholesky::new_ridge(s.view(), tol)) {
    throw UserError("sigma must be positive semi-definite (a covariance matrix)");
  }
}

// The largest ratio of a coefficient to its standard error, and of a
// relative magnitude, the tests resolve: their programs' costs and
// constraints scale with these and overflow long before 1e300, while no
// event study has an estimate 1e8 standard errors from 0.
constexpr double kMaxStandardised = 1e8;
constexpr double kMaxMbar = 1e12;

void check_scale(const std::vector<double>& betahat, const linalg::Mat& sigma) {
  for (std::size_t i = 0; i < betahat.size(); ++i) {
    const double z = std::abs(betahat[i]) / std::sqrt(sigma(i, i));
    if (!(z <= kMaxStandardised)) {
      throw UserError(
          format("betahat[{}] is {} standard errors (the root of sigma[{}, {}]) from 0; the "
                 "sensitivity analysis takes estimates within {} of theirs",
                 i, format_float_debug(z), i, i, format_float_debug(kMaxStandardised)));
    }
  }
}

std::vector<double> check_l(const std::optional<std::vector<double>>& l_vec, std::size_t n_post) {
  if (!l_vec) {
    std::vector<double> l(n_post, 0.0);
    l[0] = 1.0;
    return l;
  }
  if (l_vec->size() != n_post) {
    throw UserError(format("l_vec must have {} entries (one per post-period coefficient); got {}",
                           n_post, l_vec->size()));
  }
  bool nonzero = false;
  for (const double v : *l_vec) {
    if (!std::isfinite(v)) throw UserError("l_vec must be finite");
    nonzero = nonzero || v != 0.0;
  }
  if (!nonzero) throw UserError("l_vec must have a non-zero entry");
  return *l_vec;
}

std::vector<double> default_m(const inference::SensitivityRequest& r) {
  std::vector<double> m(std::begin(kDefaultMbar), std::end(kDefaultMbar));
  if (r.kind == inference::SensitivityKind::smoothness) {
    double sd = 0.0;
    for (std::size_t i = 0; i < r.n_pre; ++i) sd = std::max(sd, std::sqrt(r.sigma(i, i)));
    for (double& v : m) v *= sd / 4.0;
  }
  return m;
}

}  // namespace

inference::SensitivityRequest check_sensitivity(SensitivityCall call) {
  inference::SensitivityRequest r;
  r.kind = parse_kind(call.kind);
  const std::size_t n = call.betahat.size();
  if (n == 0) throw UserError("betahat must not be empty");
  for (const double v : call.betahat) {
    if (!std::isfinite(v)) throw UserError("betahat must be finite");
  }
  check_sigma(call.sigma, n);
  check_scale(call.betahat, call.sigma);
  if (call.n_pre < 1) throw UserError(format("n_pre must be >= 1; got {}", call.n_pre));
  if (call.n_pre >= n) {
    throw UserError(
        format("n_pre must be < len(betahat) = {} (at least one post-period coefficient); got {}",
               n, call.n_pre));
  }
  r.n_pre = static_cast<std::size_t>(call.n_pre);
  r.l = check_l(call.l_vec, n - r.n_pre);
  validate::check_unit_interval("level", call.level);
  r.level = call.level;
  if (call.grid_points < 2 || call.grid_points > kMaxGridPoints) {
    throw UserError(
        format("grid_points must be in [2, {}]; got {}", kMaxGridPoints, call.grid_points));
  }
  r.grid_points = static_cast<std::size_t>(call.grid_points);
  validate::check_min_count("max_lp_solves", call.max_lp_solves);
  r.max_lp_solves = call.max_lp_solves;
  r.hybrid = call.hybrid;
  r.breakdown = call.breakdown;
  r.betahat = std::move(call.betahat);
  r.sigma = std::move(call.sigma);
  if (call.m) {
    for (const double v : *call.m) {
      validate::check_nonneg("m", v);
      if (r.kind == inference::SensitivityKind::relative_magnitude && v > kMaxMbar) {
        throw UserError(format("m = {} is no relative magnitude the analysis resolves (at most {})",
                               format_float_debug(v), format_float_debug(kMaxMbar)));
      }
    }
    r.m = std::move(*call.m);
  } else {
    r.m = default_m(r);
  }
  return r;
}

inference::SensitivityResult run_sensitivity(const inference::SensitivityRequest& request) {
  try {
    return inference::sensitivity(request);
  } catch (const inference::WorkBudgetExceeded&) {
    throw UserError(format(
        "the sensitivity analysis needs more than max_lp_solves = {} linear programs; use fewer "
        "grid_points or m values, breakdown=False, or raise max_lp_solves",
        request.max_lp_solves));
  }
}

}  // namespace quintara::runs
